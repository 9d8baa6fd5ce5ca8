#pragma once
// Files built into g19-hostsim (embed_files.cmake generates their source): the web console's
// page under "console/", and the example scenarios under "examples/" by their base name.

#include <cstddef>

struct EmbeddedFile {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};

extern const EmbeddedFile EMBEDDED_FILES[];
extern const std::size_t EMBEDDED_FILE_COUNT;
