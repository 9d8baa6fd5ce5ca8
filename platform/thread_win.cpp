#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {

struct Mutex::Native {
    SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : m_native(std::make_unique<Native>()) {}

Mutex::~Mutex() = default;

void Mutex::lock()
{
    AcquireSRWLockExclusive(&m_native->lock);
}

void Mutex::unlock()
{
    ReleaseSRWLockExclusive(&m_native->lock);
}

namespace {

struct Start {
    void (*entry)(void*);
    void* argument;
};

DWORD WINAPI runThread(LPVOID argument)
{
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    start.entry(start.argument);
    return 0;
}

}  // namespace

struct Thread::Native {
    HANDLE handle = nullptr;
};

Thread::Thread() = default;

Thread::~Thread()
{
    // Closing the handle lets the thread go; it ends by itself.
    if (m_native) {
        CloseHandle(m_native->handle);
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
    auto* start = new Start{entry, argument};
    native->handle = CreateThread(nullptr, 0, runThread, start, 0, nullptr);
    if (native->handle == nullptr) {
        delete start;
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
    const auto ms = limit.count() > 0 ? limit.count() : 0;
    const bool ended = WaitForSingleObject(m_native->handle, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
    CloseHandle(m_native->handle);
    m_native.reset();
    return ended;
}

}  // namespace platform
