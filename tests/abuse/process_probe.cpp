#include "process_probe.h"

#include "server/peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

std::size_t threadCount()
{
    std::size_t count = 0;
    if (DIR* directory = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(directory)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(directory);
    }
    return count;
}

std::size_t residentKiB()
{
    std::ifstream status("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    status >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

namespace {

// Whether `thread` of this process has left /proc/self/task within `timeout`. A join returns
// as soon as the system has cleared the thread's ID, which it does before it takes the thread
// off the list: on a busy machine a count taken at once still sees the thread.
bool waitUntilUnlisted(pid_t thread, std::chrono::milliseconds timeout)
{
    const std::string entry = "/proc/self/task/" + std::to_string(thread);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (access(entry.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

Resources resources()
{
    // ThreadSanitizer starts a helper thread of its own when the program makes its first
    // thread; it happens here, before anything is counted. The first count is a test's
    // baseline, taken once: it must not include the thread that started the helper.
    static const bool runtimeThreadsStarted = [] {
        pid_t started = 0;
        std::thread([&started] { started = gettid(); }).join();
        return waitUntilUnlisted(started, std::chrono::seconds(5));
    }();
    (void)runtimeThreadsStarted;
    // On Linux the descriptor count is always known.
    return Resources{openHandleCount().value_or(0), threadCount()};
}

bool waitForResources(const Resources& expected, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const Resources now = resources();
        if (now.descriptors == expected.descriptors && now.threads == expected.threads) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PortHolder::PortHolder(std::uint32_t address, std::uint16_t port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0) {
        return;
    }
    // Connections of earlier tests may linger in TIME_WAIT on the port; they must not keep
    // the holder out, only another listener may.
    const int reuse = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = htons(port);
    socklen_t length = sizeof bound;
    int pipeEnds[2] = {-1, -1};
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        ::listen(socket, 1) != 0 || getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ::close(socket);
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        // Only system calls from here: the parent may have had other threads.
        ::close(pipeEnds[1]);
        char byte = 0;
        while (::read(pipeEnds[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    ::close(socket);
    ::close(pipeEnds[0]);
    if (child < 0) {
        ::close(pipeEnds[1]);
        return;
    }
    m_child = child;
    m_release = pipeEnds[1];
    m_port = ntohs(bound.sin_port);
}

PortHolder::~PortHolder()
{
    release();
}

void PortHolder::release()
{
    if (m_release >= 0) {
        ::close(m_release);
        m_release = -1;
    }
    if (m_child > 0) {
        int status = 0;
        waitpid(m_child, &status, 0);
        m_child = -1;
    }
}
