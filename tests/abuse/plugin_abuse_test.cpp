// Peers that misbehave, against the real plug-in library on port 12132 with its own start-up
// pauses. Each case costs a few seconds, so there are only two; the loop tests cover the rest.

#include "abuse_fixture.h"
#include "server/plugin_library.h"

#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

namespace {

constexpr std::uint16_t DISPLAY_PORT = 12132;
constexpr std::uint32_t ANY_ADDRESS = 0;
// Other copies of this test elsewhere on the machine may hold the port too: the process ID
// tells their answers from ours.
const std::string SERVER = "Abuse on 12132, process " + std::to_string(getpid());

// How long the about 10 MB answer to 05 on crowdedServer may take to start: the plug-in builds
// it whole first, which took over 30 s in the thread sanitizer's build on a busy machine.
constexpr auto ANSWER_START = 60s;

// The answer to 05 on crowdedServer begins with this header: tag, own ID 1, own channel 1, count.
Bytes crowdedHeader(std::size_t clients)
{
    return Wire().u8(5).i64(1).i64(1).i64(static_cast<std::int64_t>(clients));
}

// Connects to this test's plug-in once it serves: a peer whose 02 gets another server's answer
// (another program on the port) tries again.
std::unique_ptr<Peer> servedPeer()
{
    const Bytes expected = serverNameAnswer(SERVER);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto peer = std::make_unique<Peer>(DISPLAY_PORT, 10s, 4096);
        if (peer->connected() && peer->send({0x02}) && peer->read(expected.size(), 5s) == expected) {
            return peer;
        }
        std::this_thread::sleep_for(200ms);
    }
    return nullptr;
}

class PluginAbuseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setLogging(false);
        sim::setModel(crowdedServer(SERVER, CLIENTS, NAME_BYTES));
        m_before = resources();
        m_previous = std::cout.rdbuf(m_output.rdbuf());
    }

    void TearDown() override
    {
        // Nothing of the library runs once it is unloaded: the stream can go back.
        std::cout.rdbuf(m_previous);
        sim::setLogging(true);
    }

    void expectPromptShutdown(PluginLibrary& plugin)
    {
        const auto begin = std::chrono::steady_clock::now();
        plugin.shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, STOP_BOUND);
    }

    void expectNothingLeft(PluginLibrary& plugin)
    {
        plugin.unload();
        EXPECT_FALSE(PluginLibrary::isMapped(G19_PLUGIN_PATH));
        EXPECT_EQ(m_output.str(), "Runable= 0 \n") << "unexpected standard output";
        const bool back = waitForResources(m_before, 2s);
        const Resources now = resources();
        EXPECT_TRUE(back) << "descriptors " << m_before.descriptors << " -> " << now.descriptors << ", threads "
                          << m_before.threads << " -> " << now.threads;
        EXPECT_EQ(sim::memory().live, 0u);
        EXPECT_EQ(sim::memory().invalid, 0u);
    }

    static constexpr std::size_t CLIENTS = 10000;
    static constexpr std::size_t NAME_BYTES = 1000;

private:
    Resources m_before;
    std::ostringstream m_output;
    std::streambuf* m_previous = nullptr;
};

// Another process holds the port when the plug-in starts; the plug-in retries without a word
// and serves once the port is free. A peer resets in the middle of a large answer, the next is
// served, and shutdown comes while that peer says nothing more.
TEST_F(PluginAbuseTest, WaitsForAHeldPortThenSurvivesAResetAndStopsBesideASilentPeer)
{
    auto holder = std::make_unique<PortHolder>(ANY_ADDRESS, DISPLAY_PORT);
    for (int attempt = 0; attempt < 75 && !holder->holding(); ++attempt) {
        std::this_thread::sleep_for(200ms);
        holder = std::make_unique<PortHolder>(ANY_ADDRESS, DISPLAY_PORT);
    }
    ASSERT_TRUE(holder->holding()) << "port " << DISPLAY_PORT << " stayed busy";

    PluginLibrary plugin(G19_PLUGIN_PATH);
    ASSERT_TRUE(plugin.complete());
    plugin.setFunctionPointers(sim::functionTable());
    ASSERT_EQ(plugin.init(), 0);
    // The first two server lives find the port taken.
    std::this_thread::sleep_for(3500ms);
    holder->release();

    {
        std::unique_ptr<Peer> resetting = servedPeer();
        ASSERT_NE(resetting, nullptr) << "the plug-in did not serve once the port was free";
        ASSERT_TRUE(resetting->send({0x05}));
        ASSERT_EQ(resetting->read(crowdedHeader(CLIENTS).size(), ANSWER_START), crowdedHeader(CLIENTS));
        resetting->reset();
    }
    std::unique_ptr<Peer> silent = servedPeer();
    ASSERT_NE(silent, nullptr) << "the plug-in did not serve after a reset";

    expectPromptShutdown(plugin);
    EXPECT_TRUE(silent->readToEnd(2s).closed);
    silent.reset();
    holder.reset();
    expectNothingLeft(plugin);
}

TEST_F(PluginAbuseTest, StopsWhileAPeerDoesNotReadALargeAnswer)
{
    PluginLibrary plugin(G19_PLUGIN_PATH);
    ASSERT_TRUE(plugin.complete());
    plugin.setFunctionPointers(sim::functionTable());
    ASSERT_EQ(plugin.init(), 0);

    std::unique_ptr<Peer> stalled = servedPeer();
    ASSERT_NE(stalled, nullptr) << "the plug-in did not serve";
    ASSERT_TRUE(stalled->send({0x05}));
    ASSERT_EQ(stalled->read(crowdedHeader(CLIENTS).size(), ANSWER_START), crowdedHeader(CLIENTS));
    // The answer is about 10 MB; the listener is now blocked sending it.
    std::this_thread::sleep_for(200ms);
    expectPromptShutdown(plugin);
    EXPECT_TRUE(stalled->readToEnd(10s).closed);
    stalled.reset();
    expectNothingLeft(plugin);
}

}  // namespace
