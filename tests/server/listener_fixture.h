#pragma once
// Runs the real listener on an ephemeral loopback port, in front of the simulated host,
// with pauses short enough for tests.

#include "peer.h"
#include "plugin/plugin_state.h"
#include "protocol/request.h"
#include "server/listener.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>

inline constexpr std::uint32_t LOOPBACK_ADDRESS = 0x7F000001;

inline sim::Model serverNamed(const std::string& name)
{
    sim::Model model;
    model.current = 1;
    sim::Connection connection;
    connection.schid = 1;
    connection.serverName = name;
    model.connections.push_back(connection);
    return model;
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setModel(serverNamed(SERVER_NAME));
        pluginState().functions = sim::functionTable();
    }

    void TearDown() override
    {
        m_listener.stop();
        const sim::MemoryReport memory = sim::memory();
        EXPECT_EQ(memory.live, 0u) << "host memory leaked";
        EXPECT_EQ(memory.invalid, 0u) << "host memory released wrongly";
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
        EXPECT_TRUE(m_listener.start(std::move(settings)));
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

    static inline const std::string SERVER_NAME = "Loopback";

private:
    Listener m_listener{pluginState().running};
    std::mutex m_mutex;
    std::condition_variable m_listening;
    std::uint16_t m_port = 0;
    int m_lives = 0;
};
