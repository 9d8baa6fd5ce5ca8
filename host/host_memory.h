#pragma once
// An owner for a string or array that the host hands over through an out-parameter.
//
// Host memory must go back through the host's own freeMemory, never through delete or
// free. The owner is handed to the host call as its out-parameter (out()), so it holds the
// block from the moment the call returns and gives it back when it goes, on every way out:
// a normal end, an early return, or an exception such as std::bad_alloc while the answer
// grows.

#include "host/ts3_functions.h"

#include <cstddef>
#include <string_view>
#include <utility>

template <typename T>
class HostMemory {
public:
    // Whether the owner calls freeMemory when the host handed nothing over. The rule is to
    // release only what a successful call handed over; the server-name read has always
    // released its out-value after a failed call too, which the host accepts as null.
    enum class Release { HANDED_OVER, ALSO_NULL };

    explicit HostMemory(const TS3Functions& host, Release release = Release::HANDED_OVER) noexcept
        : m_host(&host), m_release(release)
    {
    }
    ~HostMemory() { release(); }

    HostMemory(HostMemory&& other) noexcept
        : m_host(other.m_host), m_release(other.m_release), m_pointer(std::exchange(other.m_pointer, nullptr))
    {
        other.m_release = Release::HANDED_OVER;
    }
    HostMemory& operator=(HostMemory&& other) noexcept
    {
        if (this != &other) {
            release();
            m_host = other.m_host;
            m_release = std::exchange(other.m_release, Release::HANDED_OVER);
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    HostMemory(const HostMemory&) = delete;
    HostMemory& operator=(const HostMemory&) = delete;

    // The out-parameter of one host call. A failed call leaves it null (see
    // host/ts3_functions.h), so after a failure the owner holds nothing. A block still held
    // from an earlier call goes back first.
    T** out() noexcept
    {
        if (m_pointer != nullptr) {
            m_host->freeMemory(std::exchange(m_pointer, nullptr));
        }
        return &m_pointer;
    }

    T* get() const noexcept { return m_pointer; }
    T& operator[](std::size_t index) const noexcept { return m_pointer[index]; }

    // Gives the block back now, where the host must see the release before the next call.
    void release() noexcept
    {
        if (m_pointer != nullptr || m_release == Release::ALSO_NULL) {
            m_host->freeMemory(std::exchange(m_pointer, nullptr));
            m_release = Release::HANDED_OVER;
        }
    }

private:
    const TS3Functions* m_host;
    Release m_release;
    T* m_pointer = nullptr;
};

// A zero-terminated text of the host.
class HostString : public HostMemory<char> {
public:
    using HostMemory<char>::HostMemory;

    // The text up to its terminating zero; empty when the host handed nothing over.
    std::string_view text() const noexcept
    {
        return get() != nullptr ? std::string_view(get()) : std::string_view();
    }
};
