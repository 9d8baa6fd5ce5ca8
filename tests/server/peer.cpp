#include "peer.h"

#include <algorithm>
#include <thread>

#if defined(_WIN32)
// Winsock 2 must come before windows.h, which would bring in the older Winsock.
#include <winsock2.h>

#include <windows.h>
using NativeSocket = SOCKET;
using Length = int;
#define CLOSE_SOCKET closesocket
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
using Length = socklen_t;
#define CLOSE_SOCKET ::close
#endif

namespace {

#if defined(_WIN32)
// The peers of one test process share one Winsock start-up.
struct Winsock {
    Winsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};
void startWinsock()
{
    static Winsock winsock;
}
#else
void startWinsock() {}
#endif

NativeSocket native(std::intptr_t socket)
{
    return static_cast<NativeSocket>(socket);
}

int msLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool waitReadable(std::intptr_t socket, int timeoutMs)
{
#if defined(_WIN32)
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(socket), &set);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) > 0;
#else
    pollfd entry{native(socket), POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
#endif
}

}  // namespace

Peer::Peer(std::uint16_t port, std::chrono::milliseconds timeout, int receiveBuffer)
{
    startWinsock();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    do {
        const NativeSocket socket = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                       sizeof receiveBuffer);
        }
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            m_socket = static_cast<std::intptr_t>(socket);
            return;
        }
        CLOSE_SOCKET(socket);
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
}

Peer::~Peer()
{
    close();
}

bool Peer::connected() const
{
    return m_socket != -1;
}

bool Peer::send(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto sent = ::send(native(m_socket), reinterpret_cast<const char*>(bytes.data() + done),
                                 static_cast<int>(bytes.size() - done), 0);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

Bytes Peer::read(std::size_t count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes bytes;
    while (bytes.size() < count && waitReadable(m_socket, msLeft(deadline))) {
        std::uint8_t buffer[4096];
        const std::size_t wanted = std::min(sizeof buffer, count - bytes.size());
        const auto got =
            ::recv(native(m_socket), reinterpret_cast<char*>(buffer), static_cast<int>(wanted), 0);
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

Peer::ToEnd Peer::readToEnd(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ToEnd result;
    while (waitReadable(m_socket, msLeft(deadline))) {
        std::uint8_t buffer[65536];
        const auto got = ::recv(native(m_socket), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
        if (got <= 0) {
            // A reset after the plug-in's last bytes ends the connection as well.
            result.closed = true;
            break;
        }
        result.bytes.insert(result.bytes.end(), buffer, buffer + got);
    }
    return result;
}

bool Peer::readable(std::chrono::milliseconds timeout)
{
    return waitReadable(m_socket, static_cast<int>(timeout.count()));
}

void Peer::closeSending()
{
#if defined(_WIN32)
    shutdown(native(m_socket), SD_SEND);
#else
    shutdown(native(m_socket), SHUT_WR);
#endif
}

void Peer::reset()
{
    linger option{1, 0};
    setsockopt(native(m_socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
    close();
}

void Peer::close()
{
    if (m_socket != -1) {
        CLOSE_SOCKET(native(m_socket));
        m_socket = -1;
    }
}

std::optional<std::size_t> openHandleCount()
{
#if defined(_WIN32)
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) {
        return std::nullopt;
    }
    return count;
#else
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return std::nullopt;
    }
    std::size_t count = 0;
    while (readdir(directory) != nullptr) {
        ++count;
    }
    closedir(directory);
    return count;
#endif
}
