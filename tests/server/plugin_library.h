#pragma once
// The plug-in library, loaded at run time and looked up the way the voice client does it.

#include "host/ts3_functions.h"

#include <string>

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    // A test that failed half-way still stops the listener before the library goes away.
    ~PluginLibrary();

    // Whether the library and all eight entry points were found.
    bool complete() const;
    void unload();
    // Whether the library at `path` is mapped into the process at all.
    static bool isMapped(const std::string& path);
    // Any other exported symbol, or null.
    void* symbol(const char* name) const;

    const char* (*name)() = nullptr;
    const char* (*version)() = nullptr;
    int (*apiVersion)() = nullptr;
    const char* (*author)() = nullptr;
    const char* (*description)() = nullptr;
    void (*setFunctionPointers)(const TS3Functions) = nullptr;
    int (*init)() = nullptr;
    void (*shutdown)() = nullptr;

private:
    void* m_handle = nullptr;
};
