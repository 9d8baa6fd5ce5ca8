#include "serve_loop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds TICK_INTERVAL{1000};
constexpr std::size_t READ_CHUNK = 64 * 1024;

// The self-pipe: the handler only writes one byte, the serving loop polls the other end.
int g_wakeRead = -1;
int g_wakeWrite = -1;

extern "C" void onStopSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a wakeup; nothing else is worth doing in a handler.
    [[maybe_unused]] const ssize_t written = write(g_wakeWrite, &byte, 1);
    errno = savedErrno;
}

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

bool makePipe(int fds[2])
{
    if (pipe(fds) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        fcntl(fds[i], F_SETFD, FD_CLOEXEC);
        fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    }
    return true;
}

// Splits what standard input delivered into lines; the rest waits for the next read.
class LineSplitter {
public:
    void add(const char* bytes, std::size_t count, const std::function<void(const std::string&)>& onLine)
    {
        m_pending.append(bytes, count);
        std::size_t start = 0;
        for (std::size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1) {
            deliver(m_pending.substr(start, end - start), onLine);
        }
        m_pending.erase(0, start);
    }

    // The last line may lack its line end.
    void finish(const std::function<void(const std::string&)>& onLine)
    {
        deliver(m_pending, onLine);
        m_pending.clear();
    }

private:
    static void deliver(std::string line, const std::function<void(const std::string&)>& onLine)
    {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") != std::string::npos) {
            onLine(line);
        }
    }

    std::string m_pending;
};

}  // namespace

void installStopHandlers()
{
    int fds[2];
    if (!makePipe(fds)) {
        std::perror("hostsim: pipe");
        std::exit(1);
    }
    g_wakeRead = fds[0];
    g_wakeWrite = fds[1];

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps this thread's own writes to standard error from failing with EINTR;
    // SA_RESETHAND makes a second signal end a shutdown that hangs.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

StopReason serveUntilStopped(const ServeHooks& hooks)
{
    // Only this thread takes the stop signals; one that came early is delivered here.
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

    const bool readInput = static_cast<bool>(hooks.onControlLine);
    LineSplitter lines;
    auto nextTick = Clock::now() + TICK_INTERVAL;
    for (;;) {
        pollfd fds[2] = {{g_wakeRead, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const auto untilTick = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        const int ready =
            poll(fds, readInput ? 2 : 1, static_cast<int>(std::max<long long>(0, untilTick.count())));
        if (ready < 0 && errno != EINTR) {
            std::perror("hostsim: poll");
            return StopReason::SIGNAL;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            return StopReason::SIGNAL;
        }
        if (ready > 0 && readInput && fds[1].revents != 0) {
            char buffer[READ_CHUNK];
            const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
            if (count > 0) {
                lines.add(buffer, static_cast<std::size_t>(count), hooks.onControlLine);
            } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                lines.finish(hooks.onControlLine);
                return StopReason::END_OF_INPUT;
            }
        }
        if (Clock::now() >= nextTick) {
            if (hooks.onTick) {
                hooks.onTick();
            }
            nextTick = Clock::now() + TICK_INTERVAL;
        }
    }
}
