// The exports (plugin/exports.h) and the plug-in's process-wide state: the copy of the host's
// table and the cached name. The listener thread owns everything else.

#include "plugin/exports.h"

#include "g19/version.h"
#include "platform/text.h"
#include "plugin/listener_settings.h"
#include "server/listener.h"

#include <cstring>
#include <iostream>
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

PluginState& pluginState()
{
    static PluginState state;
    return state;
}

// Made on first use, after the state whose table its thread reads, so it is destroyed, and
// its thread ended, before that state when the library is unloaded.
Listener& listener()
{
    pluginState();
    static Listener instance;
    return instance;
}

char* copyOf(const std::string& text)
{
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

G19_EXPORT const char* ts3plugin_name()
{
    PluginState& state = pluginState();
    if (state.cachedName == nullptr) {
        try {
            const std::string converted = platform::toUtf8(PLUGIN_NAME_WIDE);
            state.cachedName = copyOf(converted.empty() ? std::string(PLUGIN_NAME) : converted);
        } catch (...) {
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
    pluginState().functions = funcs;
}

G19_EXPORT int ts3plugin_init()
{
    try {
        // The listener's diagnostics, and those of the requests, go to the process's standard output.
        const bool started =
            listener().start(pluginListenerSettings(), pluginState().functions, G19_VERSION, std::cout);
        return started ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

G19_EXPORT void ts3plugin_shutdown()
{
    try {
        listener().stop();
    } catch (...) {
        // Joining can only fail if the thread is gone already; nothing is left to stop.
    }
}
