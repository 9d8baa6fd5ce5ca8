#include "platform/client.h"

#include <algorithm>
#include <atomic>

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before it.
#include <windows.h>

namespace platform {

namespace {

// Waits run in slices of this length and look at the stop flag between them: the console
// runs its control handler on a thread of its own, which can set a flag but cannot end a
// wait on a socket.
constexpr std::chrono::milliseconds WAIT_SLICE{50};

std::atomic<bool> g_stopRequested{false};

BOOL WINAPI onConsoleEvent(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    g_stopRequested = true;
    return TRUE;
}

std::string errorText(int code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? "error " + std::to_string(code) : result;
}

// Winsock is started once for the program and left to end with it.
bool socketsStarted()
{
    static const bool started = startSockets();
    return started;
}

enum class Direction { READ, WRITE };

// A connect that fails shows in the exception set, not as writable.
WaitStatus waitForSocket(SocketHandle socket, Direction direction, SteadyClock::time_point deadline)
{
    const SOCKET s = static_cast<SOCKET>(socket);
    for (;;) {
        if (g_stopRequested) {
            return WaitStatus::INTERRUPTED;
        }
        const auto left = deadline - SteadyClock::now();
        const auto slice =
            std::max(SteadyClock::duration::zero(), std::min<SteadyClock::duration>(left, WAIT_SLICE));
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
        timeval timeout{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        const int count = direction == Direction::READ ? ::select(0, &ready, nullptr, &failed, &timeout)
                                                       : ::select(0, nullptr, &ready, &failed, &timeout);
        if (count == SOCKET_ERROR) {
            return WaitStatus::FAILED;
        }
        if (count > 0) {
            return WaitStatus::READY;
        }
        if (left <= WAIT_SLICE) {
            return g_stopRequested ? WaitStatus::INTERRUPTED : WaitStatus::TIMEOUT;
        }
    }
}

}  // namespace

void catchStopRequests()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested()
{
    return g_stopRequested;
}

WaitStatus pauseUntil(SteadyClock::time_point deadline)
{
    for (;;) {
        if (g_stopRequested) {
            return WaitStatus::INTERRUPTED;
        }
        const auto left = deadline - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) {
            return WaitStatus::TIMEOUT;
        }
        const auto slice = std::min<SteadyClock::duration>(left, WAIT_SLICE);
        Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    }
}

ClientConnection connectTo(const std::string& host, std::uint16_t port, SteadyClock::time_point deadline)
{
    ClientConnection result;
    if (!socketsStarted()) {
        result.error = "cannot start Winsock: " + errorText(WSAGetLastError());
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
        error != 0) {
        result.error = "cannot resolve " + host + ": " + errorText(error);
        return result;
    }

    result.error = "no address";
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const SOCKET s = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        u_long nonBlocking = 1;
        if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
            result.error = errorText(WSAGetLastError());
            if (s != INVALID_SOCKET) {
                ::closesocket(s);
            }
            continue;
        }
        int error = ::connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0
                        ? 0
                        : WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const WaitStatus wait = waitForSocket(static_cast<SocketHandle>(s), Direction::WRITE, deadline);
            if (wait == WaitStatus::READY) {
                int length = sizeof(error);
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            } else {
                result.error = wait == WaitStatus::TIMEOUT       ? "timed out"
                               : wait == WaitStatus::INTERRUPTED ? "interrupted"
                                                                 : errorText(WSAGetLastError());
                ::closesocket(s);
                if (wait != WaitStatus::FAILED) {
                    result.status = wait;
                    break;  // the deadline is shared, so no later address could do better
                }
                continue;
            }
        }
        if (error == 0) {
            result = ClientConnection{static_cast<SocketHandle>(s), WaitStatus::READY, {}};
            break;
        }
        ::closesocket(s);
        result.error = errorText(error);
        result.refused = error == WSAECONNREFUSED || error == WSAECONNRESET;
    }
    freeaddrinfo(addresses);
    return result;
}

WaitStatus waitUntilReadable(SocketHandle socket, SteadyClock::time_point deadline)
{
    return waitForSocket(socket, Direction::READ, deadline);
}

WaitStatus waitUntilWritable(SocketHandle socket, SteadyClock::time_point deadline)
{
    return waitForSocket(socket, Direction::WRITE, deadline);
}

IoResult sendSome(SocketHandle socket, const void* bytes, std::size_t size)
{
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 0x40000000u));
    const int sent = ::send(static_cast<SOCKET>(socket), static_cast<const char*>(bytes), chunk, 0);
    if (sent >= 0) {
        return {static_cast<std::size_t>(sent), IoStatus::DONE, {}};
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        return {0, IoStatus::WOULD_BLOCK, {}};
    }
    return {0, IoStatus::FAILED, errorText(error)};
}

IoResult receiveSome(SocketHandle socket, void* buffer, std::size_t size)
{
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 0x40000000u));
    const int received = ::recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer), chunk, 0);
    if (received > 0) {
        return {static_cast<std::size_t>(received), IoStatus::DONE, {}};
    }
    if (received == 0) {
        return {0, IoStatus::CLOSED, {}};
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        return {0, IoStatus::WOULD_BLOCK, {}};
    }
    return {0, IoStatus::FAILED, errorText(error)};
}

std::string lastSocketError()
{
    return errorText(WSAGetLastError());
}

}  // namespace platform
