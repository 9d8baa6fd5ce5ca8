#pragma once
// What the abuse and soak tests look at from the outside: the process's threads, descriptors
// and resident memory, and a second process that holds a port.

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <cstdint>

std::size_t threadCount();
std::size_t residentKiB();

struct Resources {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
};
Resources resources();

// A thread that was joined can still be listed for a moment while the system takes it down,
// so the counts are given a little time to come back.
bool waitForResources(const Resources& expected, std::chrono::milliseconds timeout);

// Listens on address:port (host byte order) in a child process, so that the port is taken by
// another program, as when a second copy of the voice client runs. Port 0 picks a free one.
class PortHolder {
public:
    PortHolder(std::uint32_t address, std::uint16_t port);
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    ~PortHolder();

    bool holding() const { return m_child > 0; }
    std::uint16_t port() const { return m_port; }
    // Ends the child process and waits until it is gone, and the port with it.
    void release();

private:
    pid_t m_child = -1;
    int m_release = -1;  // the child exits when this pipe is closed
    std::uint16_t m_port = 0;
};
