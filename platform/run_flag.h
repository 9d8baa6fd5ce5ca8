#pragma once
// The flag that keeps the listener running, with a wait that ends as soon as the flag is
// cleared. Every delay of the listener, and the pauses it gives the requests, wait on it,
// so that a stop is seen at once instead of after a full sleep. Written on the system's
// own lock and condition: pthreads with the monotonic clock (run_flag_posix.cpp), Win32
// (run_flag_win.cpp).

#include <atomic>
#include <chrono>
#include <memory>

namespace platform {

class RunFlag {
public:
    RunFlag();
    ~RunFlag();
    RunFlag(const RunFlag&) = delete;
    RunFlag& operator=(const RunFlag&) = delete;

    void set();
    // Clears the flag and wakes every waiter.
    void clear();
    bool isSet() const { return m_running.load(std::memory_order_acquire); }

    // Waits for `duration`, or less when the flag is clear or becomes clear. Returns
    // whether the flag is still set. A change of the wall clock changes nothing.
    bool sleepFor(std::chrono::milliseconds duration);

private:
    struct Native;
    std::atomic<bool> m_running{false};
    std::unique_ptr<Native> m_native;
};

}  // namespace platform
