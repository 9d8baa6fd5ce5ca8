#pragma once
// Timed waits of the POSIX sources on the monotonic clock: a change of the wall clock must
// neither end a wait early nor stretch it.

#include "platform/glibc_versions_posix.h"

#include <pthread.h>
#include <time.h>

#include <chrono>

namespace platform {

inline void initMonotonicCondition(pthread_cond_t& condition)
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

// The monotonic time `duration` from now, as pthread_cond_timedwait takes it.
inline timespec monotonicDeadline(std::chrono::milliseconds duration)
{
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto ms = duration.count() > 0 ? duration.count() : 0;
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace platform
