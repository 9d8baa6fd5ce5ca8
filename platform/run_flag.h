#pragma once
// The flag that keeps the listener running, with a wait that ends as soon as the flag is
// cleared. Every delay of the listener, and the pauses it gives the requests, wait on it,
// so that a stop is seen at once instead of after a full sleep.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

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

}  // namespace platform
