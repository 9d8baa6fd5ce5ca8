#pragma once
// Runs the real listener on an ephemeral loopback port, in front of the simulated host,
// with pauses short enough for tests.

#include "peer.h"
#include "server/listener.h"
#include "support/models.h"
#include "support/sim_fixture.h"

#include <condition_variable>
#include <mutex>
#include <string>

inline constexpr std::uint32_t LOOPBACK_ADDRESS = 0x7F000001;
// The plug-in promises the host a stop within about a second in every state.
inline constexpr auto STOP_BOUND = 1000ms;

class ListenerTest : public SimHostTest {
protected:
    void SetUp() override
    {
        SimHostTest::SetUp();
        sim::setModel(serverNamed(SERVER_NAME));
    }

    void TearDown() override
    {
        m_listener.stop();
        SimHostTest::TearDown();
    }

    static ServerSettings quickSettings()
    {
        ServerSettings settings;
        settings.address = LOOPBACK_ADDRESS;
        settings.port = 0;
        settings.threadStartDelay = 0ms;
        settings.serverLifeDelay = 20ms;
        settings.acceptDelay = 10ms;
        settings.failedReceiveDelay = 10ms;
        return settings;
    }

    // Starts the listener; `waitForListening` waits until its socket listens.
    std::uint16_t start(ServerSettings settings, bool waitForListening = true)
    {
        settings.onListening = [this](std::uint16_t port) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_port = port;
            ++m_lives;
            m_listening.notify_all();
        };
        const int livesBefore = lives();
        EXPECT_TRUE(m_listener.start(std::move(settings), m_host, G19_VERSION, m_diagnostics));
        return waitForListening ? waitForLives(livesBefore + 1, 5s) : 0;
    }

    std::uint16_t start() { return start(quickSettings()); }

    // The port once sockets have started listening `lives` times in all, 0 on timeout.
    std::uint16_t waitForLives(int lives, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_listening.wait_for(lock, timeout, [&] { return m_lives >= lives; });
        return m_lives >= lives ? m_port : 0;
    }

    int lives()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lives;
    }

    // How long stop() takes.
    std::chrono::milliseconds timedStop()
    {
        const auto begin = std::chrono::steady_clock::now();
        m_listener.stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     begin);
    }

    void expectPromptStop(std::chrono::milliseconds bound = STOP_BOUND)
    {
        EXPECT_LT(timedStop(), bound);
        ++m_stops;
    }

    // What the listener writes when nothing goes wrong: its last line, once for every stop.
    std::string lastLines() const
    {
        std::string lines;
        for (int i = 0; i < m_stops; ++i) {
            lines += "Runable= 0 \n";
        }
        return lines;
    }

    static inline const std::string SERVER_NAME = "Loopback";

private:
    Listener m_listener;
    std::mutex m_mutex;
    std::condition_variable m_listening;
    std::uint16_t m_port = 0;
    int m_lives = 0;
    int m_stops = 0;
};
