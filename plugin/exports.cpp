// The exports (plugin/exports.h) and the plug-in's process-wide state: the copy of the host's
// table and the cached name. The listener thread owns everything else.

#include "plugin/exports.h"

#include "g19/version.h"
#include "platform/library.h"
#include "platform/text.h"
#include "plugin/host_gate.h"
#include "plugin/listener_settings.h"
#include "server/listener.h"

#include <cstring>
#include <string>

namespace {

constexpr wchar_t PLUGIN_NAME_WIDE[] = L"Kestro G19 TS3 Plugin";
constexpr char PLUGIN_NAME[] = "Kestro G19 TS3 Plugin";
// Set by the build (G19_PLUGIN_API): the client loads only a library of its own version.
constexpr int PLUGIN_API_VERSION = G19_PLUGIN_API;
constexpr char PLUGIN_AUTHOR[] = "Kestro (Special thanks to Delvane)";
constexpr char PLUGIN_DESCRIPTION[] =
    "This plugin provides support for the Logitech G19 keyboard. Requires the Kestro G19 Display Manager to "
    "work.";

struct PluginState {
    TS3Functions functions{};
    // ts3plugin_name's answer, converted once; released when the library is unloaded.
    char* cachedName = nullptr;

    PluginState() = default;
    PluginState(const PluginState&) = delete;
    PluginState& operator=(const PluginState&) = delete;
    ~PluginState() { delete[] cachedName; }
};

// Both live while the library is loaded; the listener, made last, goes first. Neither is a
// function-local static: the Windows runtime guards the first use of those with a lock
// whose handle it never closes, one more each time the library is loaded.
PluginState g_state;
// Its thread reads its own copy of the table that openHostGate hands it. By the time the
// library is unloaded, the host has stopped it.
Listener g_listener;

char* copyOf(const std::string& text)
{
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

G19_EXPORT const char* ts3plugin_name()
{
    PluginState& state = g_state;
    if (state.cachedName == nullptr) {
        try {
            const std::string converted = platform::toUtf8(PLUGIN_NAME_WIDE);
            state.cachedName = copyOf(converted.empty() ? std::string(PLUGIN_NAME) : converted);
        } catch (...) {
            platform::keepMappedAfterException();
            return PLUGIN_NAME;
        }
    }
    return state.cachedName;
}

G19_EXPORT const char* ts3plugin_version()
{
    return G19_VERSION;
}

G19_EXPORT int ts3plugin_apiVersion()
{
    return PLUGIN_API_VERSION;
}

G19_EXPORT const char* ts3plugin_author()
{
    return PLUGIN_AUTHOR;
}

G19_EXPORT const char* ts3plugin_description()
{
    return PLUGIN_DESCRIPTION;
}

G19_EXPORT void ts3plugin_setFunctionPointers(const struct TS3Functions funcs)
{
    g_state.functions = funcs;
}

G19_EXPORT int ts3plugin_init()
{
    try {
        // A thread that missed its last stop may still be inside a host call, behind the
        // closed gate; the host may try again later.
        if (g_listener.lateThreadRunning()) {
            return 1;
        }
        const TS3Functions& gated = openHostGate(g_state.functions);
        // The listener's diagnostics, and those of the requests, go to the process's standard output.
        if (g_listener.start(pluginListenerSettings(), gated, G19_VERSION, platform::standardOutput())) {
            return 0;
        }
    } catch (...) {
        platform::keepMappedAfterException();
    }
    closeHostGate();
    return 1;
}

G19_EXPORT void ts3plugin_shutdown()
{
    const bool ended = g_listener.stop();
    closeHostGate();
    if (!ended) {
        // The thread is inside a host call that did not return in time: the host may hold
        // what the call waits for until this returns. Behind the closed gate it calls
        // nothing more of the host but freeMemory, and its code stays mapped after the
        // host unloads the library, until the process ends.
        platform::keepThisLibraryMapped();
    }
}
