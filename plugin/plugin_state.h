#pragma once
// The plug-in's process-wide state: the copy of the host's function table, the cached
// name, and the flag that keeps the listener thread running.

#include "host/ts3_functions.h"
#include "platform/run_flag.h"

struct PluginState {
    TS3Functions functions{};
    // ts3plugin_name's answer, converted once; released when the library is unloaded.
    char* cachedName = nullptr;
    platform::RunFlag running;

    PluginState() = default;
    PluginState(const PluginState&) = delete;
    PluginState& operator=(const PluginState&) = delete;
    ~PluginState();
};

PluginState& pluginState();

// The host's table as the handlers see it. It is written before the listener thread
// starts and only read afterwards.
inline const TS3Functions& hostFunctions()
{
    return pluginState().functions;
}
