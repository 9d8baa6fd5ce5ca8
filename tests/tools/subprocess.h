#pragma once
// POSIX helpers for tests that run a program and talk to it as a display would: a child
// process with pipes on its standard streams, and a TCP peer on the loopback interface.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class Subprocess {
public:
    // Starts `argv[0]` with the given arguments; check running() afterwards.
    explicit Subprocess(const std::vector<std::string>& argv);
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    // A child still running is killed, so that a failed test leaves nothing behind.
    ~Subprocess();

    bool running() const { return m_pid > 0 && !m_exitCode; }

    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number);

    // Collects the child's output until standard error contains `text`; false on timeout.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout);
    // The exit code (128 + the signal number for a child that a signal ended), or nothing
    // when the child is still running after `timeout`. Output is collected meanwhile.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    const std::string& errorText() const { return m_stderr; }
    const std::string& outputText() const { return m_stdout; }

private:
    // Reads whatever the child wrote within `timeout`.
    void collect(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_error = -1;
    std::string m_stdout;
    std::string m_stderr;
    std::optional<int> m_exitCode;
};

// One connection to 127.0.0.1.
class LoopbackPeer {
public:
    LoopbackPeer() = default;
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    ~LoopbackPeer() { close(); }

    // Tries again until something listens on `port` or the timeout passes.
    bool connect(std::uint16_t port, std::chrono::milliseconds timeout);
    bool send(const Bytes& bytes);
    // What arrives until `count` bytes are in, the peer closes, or the timeout passes.
    Bytes receive(std::size_t count, std::chrono::milliseconds timeout);
    void close();

private:
    int m_socket = -1;
};

// Whether anything accepts connections on 127.0.0.1:`port` right now.
bool somethingListensOn(std::uint16_t port);
