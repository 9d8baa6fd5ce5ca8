#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

namespace platform {

namespace {

int fd(SocketHandle socket)
{
    return static_cast<int>(socket);
}

// A call that failed because interrupt() shut its socket down reports the stop, not the
// error number the shutdown happened to produce (EINVAL from accept, EPIPE from send).
SocketError classify(int error, const Interrupter& interrupter)
{
    if (interrupter.interrupted()) {
        return SocketError::INTERRUPTED;
    }
    switch (error) {
        case ECONNRESET:
        case EPIPE:
        case ETIMEDOUT:
            return SocketError::CONNECTION_LOST;
        default:
            return SocketError::FAILED;
    }
}

// A signal that the host's own handlers catch must not end a wait that nothing asked to end.
bool retryable(int error, const Interrupter& interrupter)
{
    return error == EINTR && !interrupter.interrupted();
}

}  // namespace

void Interrupter::interrupt()
{
    MutexLock lock(m_mutex);
    m_interrupted.store(true, std::memory_order_release);
    // Shutting a socket down, unlike closing it, wakes every thread blocked on it and
    // makes every later call on it return at once. On Linux this holds for a listening
    // socket too: accept fails with EINVAL.
    for (const SocketHandle socket : m_watched) {
        ::shutdown(fd(socket), SHUT_RDWR);
    }
}

bool startSockets()
{
    return true;
}

void stopSockets() {}

SocketHandle openStreamSocket()
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return socket < 0 ? INVALID_SOCKET_HANDLE : socket;
}

bool bindIPv4(SocketHandle socket, std::uint32_t address, std::uint16_t port)
{
    const int reuse = 1;
    ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool listenOn(SocketHandle socket, int backlog)
{
    return ::listen(fd(socket), backlog) == 0;
}

std::uint16_t localPort(SocketHandle socket)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void closeSocket(SocketHandle socket)
{
    ::close(fd(socket));
}

AcceptResult acceptConnection(SocketHandle listener, const Interrupter& interrupter)
{
    for (;;) {
        const int socket = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (socket >= 0) {
            return {socket, SocketError::NONE};
        }
        const int error = errno;
        if (!retryable(error, interrupter)) {
            return {INVALID_SOCKET_HANDLE, classify(error, interrupter)};
        }
    }
}

ReceiveResult receive(SocketHandle socket, void* buffer, std::size_t size, const Interrupter& interrupter)
{
    for (;;) {
        const ssize_t count = ::recv(fd(socket), buffer, size, 0);
        if (count > 0) {
            return {static_cast<std::size_t>(count), SocketError::NONE};
        }
        if (count == 0) {
            // A shut-down socket reads as closed by the peer.
            return {0, interrupter.interrupted() ? SocketError::INTERRUPTED : SocketError::NONE};
        }
        const int error = errno;
        if (!retryable(error, interrupter)) {
            return {0, classify(error, interrupter)};
        }
    }
}

SocketError sendAll(SocketHandle socket, const void* bytes, std::size_t size, const Interrupter& interrupter)
{
    const auto* next = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t sent = ::send(fd(socket), next, size, MSG_NOSIGNAL);
        if (sent < 0) {
            const int error = errno;
            if (retryable(error, interrupter)) {
                continue;
            }
            return classify(error, interrupter);
        }
        next += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return SocketError::NONE;
}

}  // namespace platform
