#pragma once
// The two archive formats a player's report travels in: a gzip-compressed tar file, which
// every Linux desktop opens, and a zip file, which Windows' Explorer opens. Each build writes
// the one of its system; every build reads both, so that a report from either system can be
// replayed anywhere. Only what a report needs: regular files with short names, compressed
// with deflate (Boost.Beast's port of zlib), checked with CRC-32 (Boost.CRC).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace archive {

enum class Format { TAR_GZ, ZIP };

struct Entry {
    // A path with '/' between folders: at most 99 bytes after the last folder that ends
    // within the first 155 (the limits of tar).
    std::string name;
    std::string contents;
};

// The moment the entries were written: seconds since 1970 for tar and gzip, the local date
// and time for zip, which stores no time zone.
struct Stamp {
    std::int64_t unixSeconds = 0;
    int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// The usual ending of a file name of the format: ".tar.gz", ".zip".
const char* extensionOf(Format format);

// The archive's bytes.
std::string write(Format format, const std::vector<Entry>& entries, const Stamp& stamp);

// Whether `bytes` start as one of the two formats do.
bool looksLikeArchive(std::string_view bytes);

// The regular files of an archive of either format, in the archive's order. Nothing, with
// `error` set, for anything else, a damaged archive (a checksum that does not match) or one
// that unpacks to more than `limit` bytes.
std::optional<std::vector<Entry>> read(std::string_view bytes, std::string& error,
                                       std::size_t limit = 256 * 1024 * 1024);

}  // namespace archive
