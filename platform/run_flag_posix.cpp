#include "platform/monotonic_posix.h"
#include "platform/run_flag.h"

#include <cerrno>

namespace platform {

struct RunFlag::Native {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cleared;

    Native() { initMonotonicCondition(cleared); }
    ~Native()
    {
        pthread_cond_destroy(&cleared);
        pthread_mutex_destroy(&mutex);
    }
};

RunFlag::RunFlag() : m_native(std::make_unique<Native>()) {}

RunFlag::~RunFlag() = default;

void RunFlag::set()
{
    pthread_mutex_lock(&m_native->mutex);
    m_running.store(true, std::memory_order_release);
    pthread_mutex_unlock(&m_native->mutex);
}

void RunFlag::clear()
{
    // Storing under the mutex means a waiter cannot test the flag and then miss the
    // wake-up before it starts waiting.
    pthread_mutex_lock(&m_native->mutex);
    m_running.store(false, std::memory_order_release);
    pthread_mutex_unlock(&m_native->mutex);
    pthread_cond_broadcast(&m_native->cleared);
}

bool RunFlag::sleepFor(std::chrono::milliseconds duration)
{
    const timespec deadline = monotonicDeadline(duration);
    pthread_mutex_lock(&m_native->mutex);
    while (isSet()) {
        if (pthread_cond_timedwait(&m_native->cleared, &m_native->mutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool running = isSet();
    pthread_mutex_unlock(&m_native->mutex);
    return running;
}

}  // namespace platform
