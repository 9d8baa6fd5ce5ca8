#include "platform/run_flag.h"

#include <windows.h>

namespace platform {

struct RunFlag::Native {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE cleared = CONDITION_VARIABLE_INIT;
};

RunFlag::RunFlag() : m_native(std::make_unique<Native>()) {}

RunFlag::~RunFlag() = default;

void RunFlag::set()
{
    AcquireSRWLockExclusive(&m_native->lock);
    m_running.store(true, std::memory_order_release);
    ReleaseSRWLockExclusive(&m_native->lock);
}

void RunFlag::clear()
{
    // Storing under the lock means a waiter cannot test the flag and then miss the wake-up
    // before it starts waiting.
    AcquireSRWLockExclusive(&m_native->lock);
    m_running.store(false, std::memory_order_release);
    ReleaseSRWLockExclusive(&m_native->lock);
    WakeAllConditionVariable(&m_native->cleared);
}

bool RunFlag::sleepFor(std::chrono::milliseconds duration)
{
    // The tick count is monotonic; a wait may also wake early without cause, hence the loop.
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(duration.count() > 0 ? duration.count() : 0);
    AcquireSRWLockExclusive(&m_native->lock);
    for (ULONGLONG now = GetTickCount64(); isSet() && now < deadline; now = GetTickCount64()) {
        const ULONGLONG left = deadline - now;
        SleepConditionVariableSRW(&m_native->cleared, &m_native->lock,
                                  static_cast<DWORD>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF), 0);
    }
    const bool running = isSet();
    ReleaseSRWLockExclusive(&m_native->lock);
    return running;
}

}  // namespace platform
