// A send that a signal interrupts. The voice client installs signal handlers of its own,
// some without SA_RESTART; a blocking send that such a signal interrupts after moving part
// of the bytes returns that part, and the rest must still go out.

#include "platform/socket.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

volatile sig_atomic_t g_signals = 0;

void countSignal(int)
{
    g_signals = g_signals + 1;
}

TEST(SendAll, DeliversEveryByteThroughSignalsThatInterruptIt)
{
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::vector<std::uint8_t> bytes(4 << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }

    platform::Interrupter interrupter;
    std::atomic<platform::SocketError> result{platform::SocketError::FAILED};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        result = platform::sendAll(pair[0], bytes.data(), bytes.size(), interrupter);
        done = true;
        ::close(pair[0]);
    });
    const pthread_t senderThread = sender.native_handle();

    // The peer reads late: the sender blocks with the buffers full, and is interrupted there,
    // and again now and then while the peer reads.
    for (int i = 0; i < 10 && !done; ++i) {
        std::this_thread::sleep_for(10ms);
        pthread_kill(senderThread, SIGUSR1);
    }
    std::vector<std::uint8_t> received;
    std::uint8_t buffer[16384];
    for (int reads = 1;; ++reads) {
        const ssize_t count = ::recv(pair[1], buffer, sizeof buffer, 0);
        if (count <= 0) {
            break;
        }
        received.insert(received.end(), buffer, buffer + count);
        if (reads % 16 == 0 && !done) {
            pthread_kill(senderThread, SIGUSR1);
        }
    }
    sender.join();
    ::close(pair[1]);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(g_signals, 0);
    EXPECT_EQ(result.load(), platform::SocketError::NONE);
    EXPECT_EQ(received.size(), bytes.size());
    EXPECT_TRUE(received == bytes) << "the bytes arrived changed";
}

}  // namespace
