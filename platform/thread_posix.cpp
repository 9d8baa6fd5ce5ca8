#include "platform/monotonic_posix.h"
#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <new>

namespace platform {

struct Mutex::Native {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

Mutex::Mutex() : m_native(std::make_unique<Native>()) {}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&m_native->mutex);
}

void Mutex::lock()
{
    pthread_mutex_lock(&m_native->mutex);
}

void Mutex::unlock()
{
    pthread_mutex_unlock(&m_native->mutex);
}

namespace {

// What a thread shares with its owner. POSIX has no join with a time limit on the
// monotonic clock, so the thread announces its end here; the last of the two to let go
// frees it, since a thread that was let go may outlive its owner.
struct Shared {
    void (*entry)(void*);
    void* argument;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t endedCondition;
    bool ended = false;
    std::atomic<int> holders{2};

    Shared(void (*threadEntry)(void*), void* threadArgument) : entry(threadEntry), argument(threadArgument)
    {
        initMonotonicCondition(endedCondition);
    }
    ~Shared()
    {
        pthread_cond_destroy(&endedCondition);
        pthread_mutex_destroy(&mutex);
    }
};

void letGo(Shared* shared)
{
    if (shared->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete shared;
    }
}

void* runThread(void* argument)
{
    Shared* const shared = static_cast<Shared*>(argument);
    shared->entry(shared->argument);
    pthread_mutex_lock(&shared->mutex);
    shared->ended = true;
    pthread_mutex_unlock(&shared->mutex);
    pthread_cond_broadcast(&shared->endedCondition);
    letGo(shared);
    return nullptr;
}

}  // namespace

struct Thread::Native {
    pthread_t thread{};
    Shared* shared = nullptr;
};

Thread::Thread() = default;

Thread::~Thread()
{
    if (m_native) {
        pthread_detach(m_native->thread);
        letGo(m_native->shared);
    }
}

bool Thread::attached() const
{
    return m_native != nullptr;
}

bool Thread::start(void (*entry)(void*), void* argument)
{
    if (m_native) {
        return false;
    }
    auto native = std::make_unique<Native>();
    native->shared = new Shared(entry, argument);
    if (pthread_create(&native->thread, nullptr, runThread, native->shared) != 0) {
        delete native->shared;
        return false;
    }
    m_native = std::move(native);
    return true;
}

bool Thread::joinWithin(std::chrono::milliseconds limit)
{
    if (!m_native) {
        return true;
    }
    Shared* const shared = m_native->shared;
    const timespec deadline = monotonicDeadline(limit);
    pthread_mutex_lock(&shared->mutex);
    while (!shared->ended) {
        if (pthread_cond_timedwait(&shared->endedCondition, &shared->mutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool ended = shared->ended;
    pthread_mutex_unlock(&shared->mutex);
    // An ended thread has only its last instructions left: the join returns at once.
    if (ended) {
        pthread_join(m_native->thread, nullptr);
    } else {
        pthread_detach(m_native->thread);
    }
    letGo(shared);
    m_native.reset();
    return ended;
}

}  // namespace platform
