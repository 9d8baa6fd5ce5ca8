#pragma once
// The plug-in library as the tests drive it: loaded on construction, with its exports at
// hand as members.

#include "sim/plugin_loader.h"

#include <chrono>
#include <cstdint>
#include <string>

class PluginLibrary : public sim::PluginExports {
public:
    explicit PluginLibrary(const std::string& path);
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    // A test that failed half-way still stops the listener before the library goes away.
    ~PluginLibrary();

    // Whether the library and all eight entry points were found.
    bool complete() const { return m_loader.loaded(); }
    void unload();
    // Whether the library at `path` is mapped into the process at all.
    static bool isMapped(const std::string& path);
    // Any other exported symbol, or null.
    void* symbol(const char* name) const { return m_loader.symbol(name); }
    // The test build of the library (quick_plugin_settings.cpp) after init: the ephemeral port
    // its listener took, once it listens; 0 when it does not within `timeout`, or when the
    // library is not a test build.
    std::uint16_t waitForListeningPort(std::chrono::milliseconds timeout = std::chrono::seconds(1)) const;

private:
    sim::PluginLoader m_loader;
};
