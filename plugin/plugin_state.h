#pragma once
// The plug-in's process-wide state: the copy of the host's function table, the cached
// name, and the flag that keeps the listener thread running.

#include "host/ts3_functions.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The running flag, with a wait that ends as soon as the flag is cleared. Every delay of
// the listener and of the control commands waits on it, so that a stop is seen at once
// instead of after a full sleep.
class RunFlag {
public:
    void set();
    // Clears the flag and wakes every waiter.
    void clear();
    bool isSet() const { return m_running.load(std::memory_order_acquire); }

    // Waits for `duration`, or less when the flag is clear or becomes clear. Returns
    // whether the flag is still set.
    bool sleepFor(std::chrono::milliseconds duration);

private:
    std::atomic<bool> m_running{false};
    std::mutex m_mutex;
    std::condition_variable m_cleared;
};

struct PluginState {
    TS3Functions functions{};
    // ts3plugin_name's answer, converted once; released when the library is unloaded.
    char* cachedName = nullptr;
    RunFlag running;

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
