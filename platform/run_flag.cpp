#include "platform/run_flag.h"

namespace platform {

void RunFlag::set()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running.store(true, std::memory_order_release);
}

void RunFlag::clear()
{
    {
        // Storing under the mutex means a waiter cannot test the flag and then miss
        // the notification before it starts waiting.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running.store(false, std::memory_order_release);
    }
    m_cleared.notify_all();
}

bool RunFlag::sleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_cleared.wait_for(lock, duration, [this] { return !isSet(); });
}

}  // namespace platform
