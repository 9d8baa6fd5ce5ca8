#pragma once
// The plug-in library loaded at run time and looked up the way the voice client does it,
// for every host-side program that runs the real library: g19-hostsim, the tests and the
// benchmarks.

#include "host/ts3_functions.h"

#include <string>

extern "C" {
typedef const char* (*PluginTextExport)(void);
typedef int (*PluginIntExport)(void);
typedef void (*PluginSetFunctionsExport)(TS3Functions functions);
typedef void (*PluginVoidExport)(void);
}

namespace sim {

// The eight entry points a plug-in of this host exports.
struct PluginExports {
    PluginTextExport name = nullptr;
    PluginTextExport version = nullptr;
    PluginIntExport apiVersion = nullptr;
    PluginTextExport author = nullptr;
    PluginTextExport description = nullptr;
    PluginSetFunctionsExport setFunctionPointers = nullptr;
    PluginIntExport init = nullptr;
    PluginVoidExport shutdown = nullptr;
};

class PluginLoader {
public:
    PluginLoader() = default;
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;
    ~PluginLoader() { unload(); }

    // Loads the library and looks up all eight exports before anything is called, so that
    // a library missing one is refused as a whole. On failure returns false with the reason.
    bool load(const std::string& path, std::string& error);
    bool loaded() const { return m_handle != nullptr; }
    const PluginExports& exports() const { return m_exports; }
    // Any other exported symbol, such as a test build's extra entry points, or null.
    void* symbol(const char* name) const;
    // The exports' code and strings are gone afterwards.
    void unload();

private:
    void* m_handle = nullptr;
    PluginExports m_exports;
};

}  // namespace sim
