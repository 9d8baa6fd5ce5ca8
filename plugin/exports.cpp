// The eight functions the voice client looks up in this library. Nothing else is exported.
//
// The client calls every one of them on its own main thread, in this order: the five
// identity functions (any order, any number of times), ts3plugin_setFunctionPointers,
// ts3plugin_init, and later ts3plugin_shutdown, after which it may unload the library at
// once. No C++ exception leaves any of them.

#include "g19/version.h"
#include "host/ts3_functions.h"
#include "platform/text.h"
#include "plugin/listener_settings.h"
#include "plugin/plugin_state.h"
#include "protocol/commands.h"
#include "server/listener.h"

#include <cstring>
#include <string>

#if defined(_WIN32)
#define G19_EXPORT extern "C" __declspec(dllexport)
#else
#define G19_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr wchar_t PLUGIN_NAME_WIDE[] = L"Kestro G19 TS3 Plugin";
constexpr char PLUGIN_NAME[] = "Kestro G19 TS3 Plugin";
// Set by the build (G19_PLUGIN_API): the client loads only a library of its own version.
constexpr int PLUGIN_API_VERSION = G19_PLUGIN_API;
constexpr char PLUGIN_AUTHOR[] = "Kestro (Special thanks to Delvane)";
constexpr char PLUGIN_DESCRIPTION[] =
    "This plugin provides support for the Logitech G19 keyboard. Requires the Kestro G19 Display Manager to "
    "work.";

// Made on first use, after the state it refers to, so it is destroyed before that state
// when the library is unloaded.
Listener& listener()
{
    static Listener instance(pluginState().running);
    return instance;
}

char* copyOf(const std::string& text)
{
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

// Host's main thread, before init. Returns the plug-in's name in UTF-8, converted on the
// first call. The string belongs to the library and is the same pointer on every call
// until the library is unloaded; the caller must not free it.
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

// Host's main thread. Returns a constant of the library, valid until the library is
// unloaded; the caller must not free it.
G19_EXPORT const char* ts3plugin_version()
{
    return G19_VERSION;
}

// Host's main thread, before anything else: the plug-in interface version this library is
// built for. The client compares it with its own and loads nothing of another version.
G19_EXPORT int ts3plugin_apiVersion()
{
    return PLUGIN_API_VERSION;
}

// Host's main thread. Returns a constant of the library, valid until the library is
// unloaded; the caller must not free it.
G19_EXPORT const char* ts3plugin_author()
{
    return PLUGIN_AUTHOR;
}

// Host's main thread. Returns a constant of the library, valid until the library is
// unloaded; the caller must not free it.
G19_EXPORT const char* ts3plugin_description()
{
    return PLUGIN_DESCRIPTION;
}

// Host's main thread, once, before ts3plugin_init. The table arrives by value and the
// library keeps its own copy, so the caller's table need not outlive the call. It is
// written while no listener thread exists and only read afterwards.
G19_EXPORT void ts3plugin_setFunctionPointers(const struct TS3Functions funcs)
{
    pluginState().functions = funcs;
}

// Host's main thread, after ts3plugin_setFunctionPointers. Starts the listener thread,
// which serves the display program on TCP port 12132 and makes every call into the
// client's table from then on. Returns 0 when the thread runs, 1 when it could not be
// started.
G19_EXPORT int ts3plugin_init()
{
    try {
        return listener().start(pluginListenerSettings()) ? 0 : 1;
    } catch (...) {
        pluginState().running.clear();
        return 1;
    }
}

// Host's main thread. Stops the listener thread and returns once it has ended, within
// about a second wherever it was waiting; after that no code of the library runs until
// the next ts3plugin_init, and the host may unload the library at once.
G19_EXPORT void ts3plugin_shutdown()
{
    try {
        listener().stop();
    } catch (...) {
        // Joining can only fail if the thread is gone already; nothing is left to stop.
    }
}
