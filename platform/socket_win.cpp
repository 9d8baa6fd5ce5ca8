#include "platform/socket.h"

#include <winsock2.h>

namespace platform {

namespace {

// How long one readiness wait lasts before the stop flag is looked at again. It bounds
// how late a stop is seen; a request that arrives ends the wait at once.
constexpr long WAIT_SLICE_US = 100 * 1000;

SOCKET sock(SocketHandle socket)
{
    return static_cast<SOCKET>(socket);
}

enum class Direction { READ, WRITE };

enum class Readiness { READY, TIMEOUT, FAILED };

Readiness waitReady(SocketHandle socket, Direction direction, long timeoutUs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock(socket), &set);
    timeval timeout{0, timeoutUs};
    // The first argument is ignored by Winsock.
    const int ready = direction == Direction::READ ? ::select(0, &set, nullptr, nullptr, &timeout)
                                                   : ::select(0, nullptr, &set, nullptr, &timeout);
    if (ready == SOCKET_ERROR) {
        return Readiness::FAILED;
    }
    return ready > 0 ? Readiness::READY : Readiness::TIMEOUT;
}

// Waits until `socket` is ready or the stop flag is set; NONE means ready.
SocketError waitUntilReady(SocketHandle socket, Direction direction, const Interrupter& interrupter)
{
    for (;;) {
        if (interrupter.interrupted()) {
            return SocketError::INTERRUPTED;
        }
        switch (waitReady(socket, direction, WAIT_SLICE_US)) {
            case Readiness::READY:
                return SocketError::NONE;
            case Readiness::FAILED:
                return SocketError::FAILED;
            case Readiness::TIMEOUT:
                break;
        }
    }
}

SocketError classify(int error)
{
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETRESET:
        case WSAETIMEDOUT:
        case WSAESHUTDOWN:
            return SocketError::CONNECTION_LOST;
        default:
            return SocketError::FAILED;
    }
}

// A blocking call on a socket cannot be ended reliably from another thread, so every
// socket is non-blocking and waits happen in waitUntilReady. This is the socket's I/O
// mode, not a socket option: no setsockopt is made on Windows.
bool makeNonBlocking(SocketHandle socket)
{
    u_long nonBlocking = 1;
    return ::ioctlsocket(sock(socket), FIONBIO, &nonBlocking) == 0;
}

}  // namespace

void Interrupter::interrupt()
{
    // The waits look at the flag between slices; there is nothing to wake.
    MutexLock lock(m_mutex);
    m_interrupted.store(true, std::memory_order_release);
}

bool startSockets()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void stopSockets()
{
    ::WSACleanup();
}

SocketHandle openStreamSocket()
{
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket == INVALID_SOCKET) {
        return INVALID_SOCKET_HANDLE;
    }
    const auto handle = static_cast<SocketHandle>(socket);
    if (!makeNonBlocking(handle)) {
        ::closesocket(socket);
        return INVALID_SOCKET_HANDLE;
    }
    return handle;
}

bool bindIPv4(SocketHandle socket, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    return ::bind(sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool listenOn(SocketHandle socket, int backlog)
{
    return ::listen(sock(socket), backlog) == 0;
}

std::uint16_t localPort(SocketHandle socket)
{
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(sock(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void closeSocket(SocketHandle socket)
{
    ::closesocket(sock(socket));
}

AcceptResult acceptConnection(SocketHandle listener, const Interrupter& interrupter)
{
    for (;;) {
        if (const SocketError error = waitUntilReady(listener, Direction::READ, interrupter);
            error != SocketError::NONE) {
            return {INVALID_SOCKET_HANDLE, error};
        }
        const SOCKET socket = ::accept(sock(listener), nullptr, nullptr);
        if (socket != INVALID_SOCKET) {
            const auto handle = static_cast<SocketHandle>(socket);
            if (!makeNonBlocking(handle)) {
                ::closesocket(socket);
                return {INVALID_SOCKET_HANDLE, SocketError::FAILED};
            }
            return {handle, SocketError::NONE};
        }
        // The connection that made the socket ready may have gone again before accept.
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return {INVALID_SOCKET_HANDLE, classify(error)};
        }
    }
}

ReceiveResult receive(SocketHandle socket, void* buffer, std::size_t size, const Interrupter& interrupter)
{
    for (;;) {
        if (const SocketError error = waitUntilReady(socket, Direction::READ, interrupter);
            error != SocketError::NONE) {
            return {0, error};
        }
        const int count = ::recv(sock(socket), static_cast<char*>(buffer), static_cast<int>(size), 0);
        if (count >= 0) {
            return {static_cast<std::size_t>(count), SocketError::NONE};
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return {0, classify(error)};
        }
    }
}

SocketError sendAll(SocketHandle socket, const void* bytes, std::size_t size, const Interrupter& interrupter)
{
    const auto* next = static_cast<const char*>(bytes);
    while (size > 0) {
        // Winsock takes an int count; a larger answer goes in several sends anyway.
        const int chunk = static_cast<int>(size < 0x40000000u ? size : 0x40000000u);
        const int sent = ::send(sock(socket), next, chunk, 0);
        if (sent >= 0) {
            next += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return classify(error);
        }
        if (const SocketError waited = waitUntilReady(socket, Direction::WRITE, interrupter);
            waited != SocketError::NONE) {
            return waited;
        }
    }
    return SocketError::NONE;
}

}  // namespace platform
