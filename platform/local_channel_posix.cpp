#include "platform/local_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long the running copy waits for a request's line once a copy has connected.
constexpr int REQUEST_TIME_MS = 2000;

std::string lockPath(const std::string& place)
{
    return place + ".lock";
}

std::string socketPath(const std::string& place)
{
    return place + ".sock";
}

std::string lastError()
{
    return std::strerror(errno);
}

bool fillAddress(const std::string& path, sockaddr_un& address, std::string& error)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "the path " + path + " is too long for a local socket";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Waits for `fd` to be readable, or for the stop pipe; false on the stop, a time-out or an error.
bool waitReadable(int fd, int stopFd, int timeoutMs)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && (stopFd < 0 || fds[1].revents == 0) && fds[0].revents != 0;
    }
}

}  // namespace

std::string localChannelPlace(std::string_view name, std::string_view posixFolder,
                              const std::string& fallbackFolder)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime != nullptr && runtime[0] == '/'
                             ? std::string(runtime) + "/" + std::string(posixFolder)
                             : fallbackFolder;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (folder.empty()) {
        return "";
    }
    // Made for the user alone; a folder that is there already keeps its rights.
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? folder : folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return "";
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    return folder + "/" + std::string(name);
}

InstanceLock::~InstanceLock()
{
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

InstanceLock::Result InstanceLock::acquire(const std::string& place, std::string& error)
{
    const std::string path = lockPath(place);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + lastError();
        return Result::FAILED;
    }
    // The system lets the lock go with the process, however it ends.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int savedErrno = errno;
        ::close(fd);
        if (savedErrno == EWOULDBLOCK) {
            return Result::HELD_BY_ANOTHER;
        }
        errno = savedErrno;
        error = "cannot lock " + path + ": " + lastError();
        return Result::FAILED;
    }
    m_handle = fd;
    return Result::ACQUIRED;
}

struct LocalChannelServer::Impl {
    int listening = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string path;
    Handler handler;
    std::thread thread;

    void serve()
    {
        for (;;) {
            if (!waitReadable(listening, wakeRead, -1)) {
                return;
            }
            const int connection = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection)
    {
        std::string request;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(REQUEST_TIME_MS);
        while (request.find('\n') == std::string::npos && request.size() < 4096) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !waitReadable(connection, wakeRead, static_cast<int>(left))) {
                return;
            }
            char buffer[512];
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(count));
        }
        request.erase(std::min(request.find('\n'), request.size()));
        handler(request, [connection](const std::string& line) { return writeAll(connection, line + "\n"); });
    }
};

LocalChannelServer::LocalChannelServer() : m_impl(std::make_unique<Impl>()) {}

LocalChannelServer::~LocalChannelServer()
{
    stop();
}

bool LocalChannelServer::start(const std::string& place, Handler handler, std::string& error)
{
    Impl& impl = *m_impl;
    sockaddr_un address;
    impl.path = socketPath(place);
    if (!fillAddress(impl.path, address, error)) {
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = "cannot make a pipe: " + lastError();
        return false;
    }
    impl.wakeRead = pipeFds[0];
    impl.wakeWrite = pipeFds[1];
    impl.listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // The lock is held, so a socket file there is left from a copy that ended without
    // cleaning up.
    ::unlink(impl.path.c_str());
    const mode_t previous = ::umask(077);
    const bool bound =
        impl.listening >= 0 &&
        ::bind(impl.listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::umask(previous);
    if (!bound || ::listen(impl.listening, 4) != 0) {
        error = "cannot serve " + impl.path + ": " + lastError();
        stop();
        return false;
    }
    impl.handler = std::move(handler);
    impl.thread = std::thread([&impl] { impl.serve(); });
    return true;
}

void LocalChannelServer::stop()
{
    Impl& impl = *m_impl;
    if (impl.wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(impl.wakeWrite, &byte, 1);
    }
    if (impl.thread.joinable()) {
        impl.thread.join();
    }
    if (impl.listening >= 0) {
        ::close(impl.listening);
        ::unlink(impl.path.c_str());
    }
    for (int fd : {impl.wakeRead, impl.wakeWrite}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    impl.listening = impl.wakeRead = impl.wakeWrite = -1;
}

bool localRequest(const std::string& place, const std::string& request,
                  const std::function<void(const std::string& line)>& onLine,
                  std::chrono::milliseconds timeout, std::string& error)
{
    sockaddr_un address;
    const std::string path = socketPath(place);
    if (!fillAddress(path, address, error)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = lastError();
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    bool ended = false;
    if (writeAll(fd, request + "\n")) {
        const Clock::time_point deadline = Clock::now() + timeout;
        std::string pending;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !waitReadable(fd, -1, static_cast<int>(left))) {
                break;
            }
            char buffer[4096];
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                ended = count == 0;
                break;
            }
            pending.append(buffer, static_cast<std::size_t>(count));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;
                 pending.erase(0, end + 1)) {
                onLine(pending.substr(0, end));
            }
        }
    }
    ::close(fd);
    if (!ended) {
        error = "the running copy did not answer in time";
    }
    return ended;
}

}  // namespace platform
