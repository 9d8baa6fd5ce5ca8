#include "subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

milliseconds remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left : milliseconds(0);
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv)
{
    int input[2];
    int output[2];
    int error[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(error, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 leaves the copies open across exec; every original is close-on-exec.
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        m_pid = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    ::close(error[1]);
    m_input = input[1];
    m_output = output[0];
    m_error = error[0];
    // A child that stopped reading must not block a test's write forever.
    fcntl(m_input, F_SETFL, O_NONBLOCK);
}

Subprocess::~Subprocess()
{
    if (running()) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    closeFd(m_input);
    closeFd(m_output);
    closeFd(m_error);
}

void Subprocess::writeInput(const std::string& text)
{
    std::size_t sent = 0;
    const auto deadline = Clock::now() + milliseconds(5000);
    while (m_input >= 0 && sent < text.size() && Clock::now() < deadline) {
        const ssize_t count = write(m_input, text.data() + sent, text.size() - sent);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            collect(milliseconds(10));
        }
    }
}

void Subprocess::closeInput()
{
    closeFd(m_input);
}

void Subprocess::signal(int number)
{
    if (running()) {
        kill(m_pid, number);
    }
}

void Subprocess::collect(milliseconds timeout)
{
    pollfd fds[2] = {{m_output, POLLIN, 0}, {m_error, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) {
        return;
    }
    std::string* const texts[2] = {&m_stdout, &m_stderr};
    int* const ends[2] = {&m_output, &m_error};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t count = read(*ends[i], buffer, sizeof buffer);
        if (count > 0) {
            texts[i]->append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            closeFd(*ends[i]);
        }
    }
}

bool Subprocess::waitForError(const std::string& text, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (m_stderr.find(text) == std::string::npos) {
        if (Clock::now() >= deadline || (m_output < 0 && m_error < 0)) {
            return false;
        }
        collect(std::min(remaining(deadline), milliseconds(50)));
    }
    return true;
}

std::optional<int> Subprocess::waitExit(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (m_pid > 0 && !m_exitCode) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (done < 0 || Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            collect(std::min(remaining(deadline), milliseconds(10)));
        }
    }
    // What the child wrote last; the pipes end with it (bounded, should a grandchild hold them).
    for (int round = 0; round < 100 && (m_output >= 0 || m_error >= 0); ++round) {
        collect(milliseconds(10));
    }
    return m_exitCode;
}

bool LoopbackPeer::connect(std::uint16_t port, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        close();
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_socket >= 0 &&
            ::connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            close();
            return false;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
}

bool LoopbackPeer::send(const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

Bytes LoopbackPeer::receive(std::size_t count, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    Bytes received;
    while (m_socket >= 0 && received.size() < count) {
        pollfd fd{m_socket, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(remaining(deadline).count())) <= 0) {
            break;
        }
        std::uint8_t buffer[4096];
        const ssize_t got = recv(m_socket, buffer, std::min(sizeof buffer, count - received.size()), 0);
        if (got <= 0) {
            break;
        }
        received.insert(received.end(), buffer, buffer + got);
    }
    return received;
}

void LoopbackPeer::close()
{
    closeFd(m_socket);
}

bool somethingListensOn(std::uint16_t port)
{
    LoopbackPeer probe;
    return probe.connect(port, milliseconds(0));
}
