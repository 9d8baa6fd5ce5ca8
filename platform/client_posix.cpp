#include "platform/client.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;
// While stop requests are caught, SIGINT and SIGTERM are blocked everywhere but inside a
// wait, which unblocks them with this mask (ppoll): a request either ends the wait it
// arrives in, or waits, blocked, for the next one.
sigset_t g_waitMask;
bool g_catching = false;

extern "C" void onStopSignal(int)
{
    g_stopRequested = 1;
}

timespec timeLeft(SteadyClock::time_point deadline)
{
    const auto left = std::max(SteadyClock::duration::zero(), deadline - SteadyClock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// `fds` may be null for a plain pause.
WaitStatus waitFor(pollfd* fds, SteadyClock::time_point deadline)
{
    for (;;) {
        if (g_stopRequested != 0) {
            return WaitStatus::INTERRUPTED;
        }
        const timespec timeout = timeLeft(deadline);
        const int ready = ppoll(fds, fds != nullptr ? 1 : 0, &timeout, g_catching ? &g_waitMask : nullptr);
        if (ready > 0) {
            return WaitStatus::READY;
        }
        if (ready == 0) {
            return WaitStatus::TIMEOUT;
        }
        if (errno != EINTR) {
            return WaitStatus::FAILED;
        }
    }
}

WaitStatus waitForSocket(SocketHandle socket, short events, SteadyClock::time_point deadline)
{
    pollfd fd{static_cast<int>(socket), events, 0};
    return waitFor(&fd, deadline);
}

}  // namespace

void catchStopRequests()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
    g_catching = true;
}

bool stopRequested()
{
    return g_stopRequested != 0;
}

WaitStatus pauseUntil(SteadyClock::time_point deadline)
{
    const WaitStatus status = waitFor(nullptr, deadline);
    return status == WaitStatus::READY ? WaitStatus::TIMEOUT : status;
}

ClientConnection connectTo(const std::string& host, std::uint16_t port, SteadyClock::time_point deadline)
{
    ClientConnection result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
        error != 0) {
        result.error = "cannot resolve " + host + ": " + gai_strerror(error);
        return result;
    }

    result.error = "no address";
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              address->ai_protocol);
        if (fd < 0) {
            result.error = std::strerror(errno);
            continue;
        }
        int error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            const WaitStatus wait = waitForSocket(fd, POLLOUT, deadline);
            if (wait == WaitStatus::READY) {
                socklen_t length = sizeof(error);
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            } else {
                result.error = wait == WaitStatus::TIMEOUT       ? "timed out"
                               : wait == WaitStatus::INTERRUPTED ? "interrupted"
                                                                 : std::strerror(errno);
                ::close(fd);
                if (wait != WaitStatus::FAILED) {
                    result.status = wait;
                    break;  // the deadline is shared, so no later address could do better
                }
                continue;
            }
        }
        if (error == 0) {
            result = ClientConnection{fd, WaitStatus::READY, {}};
            break;
        }
        ::close(fd);
        result.error = std::strerror(error);
        result.refused = error == ECONNREFUSED || error == ECONNRESET;
    }
    freeaddrinfo(addresses);
    return result;
}

WaitStatus waitUntilReadable(SocketHandle socket, SteadyClock::time_point deadline)
{
    return waitForSocket(socket, POLLIN, deadline);
}

WaitStatus waitUntilWritable(SocketHandle socket, SteadyClock::time_point deadline)
{
    return waitForSocket(socket, POLLOUT, deadline);
}

IoResult sendSome(SocketHandle socket, const void* bytes, std::size_t size)
{
    const ssize_t sent = send(static_cast<int>(socket), bytes, size, MSG_NOSIGNAL);
    if (sent >= 0) {
        return {static_cast<std::size_t>(sent), IoStatus::DONE, {}};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {0, IoStatus::WOULD_BLOCK, {}};
    }
    return {0, IoStatus::FAILED, std::strerror(errno)};
}

IoResult receiveSome(SocketHandle socket, void* buffer, std::size_t size)
{
    const ssize_t received = recv(static_cast<int>(socket), buffer, size, 0);
    if (received > 0) {
        return {static_cast<std::size_t>(received), IoStatus::DONE, {}};
    }
    if (received == 0) {
        return {0, IoStatus::CLOSED, {}};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {0, IoStatus::WOULD_BLOCK, {}};
    }
    return {0, IoStatus::FAILED, std::strerror(errno)};
}

std::string lastSocketError()
{
    return std::strerror(errno);
}

}  // namespace platform
