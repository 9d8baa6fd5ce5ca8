#pragma once
// The plug-in library loaded at run time, as the voice client loads it.

#include "host/ts3_functions.h"

#include <string>

extern "C" {
typedef const char* (*PluginTextExport)(void);
typedef int (*PluginIntExport)(void);
typedef void (*PluginSetFunctionsExport)(TS3Functions functions);
typedef void (*PluginVoidExport)(void);
}

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

class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary() { unload(); }

    // Loads the library and looks up all eight exports before anything is called, so that
    // a library missing one is refused as a whole. On failure returns false with the reason.
    bool load(const std::string& path, std::string& error);
    const PluginExports& exports() const { return m_exports; }
    // The exports' code and strings are gone afterwards.
    void unload();

private:
    void* m_handle = nullptr;
    PluginExports m_exports;
};
