// Stopping the listener wherever it waits: stop() returns within the bound, the thread
// writes its last line, and the display program sees its connection closed.

#include "listener_fixture.h"

#include <thread>

namespace {

constexpr auto LONG_PAUSE = std::chrono::milliseconds(60s);

class StopTest : public ListenerTest {
protected:
    // Stops, checks the bound and the thread's last line.
    void expectStopped(std::chrono::milliseconds bound = STOP_BOUND)
    {
        expectPromptStop(bound);
        EXPECT_EQ(diagnostics(), lastLines());
    }
};

struct PauseState {
    const char* name;
    std::chrono::milliseconds ServerSettings::*pause;
    bool listening;  // the socket listens during the pause
};

void PrintTo(const PauseState& state, std::ostream* out)
{
    *out << state.name;
}

class StopInPauseTest : public StopTest, public ::testing::WithParamInterface<PauseState> {};

TEST_P(StopInPauseTest, EndsThePause)
{
    ServerSettings settings = quickSettings();
    settings.*GetParam().pause = LONG_PAUSE;
    start(settings, GetParam().listening);
    std::this_thread::sleep_for(50ms);
    expectStopped();
}

INSTANTIATE_TEST_SUITE_P(
    Pauses, StopInPauseTest,
    ::testing::Values(PauseState{"ThreadStart", &ServerSettings::threadStartDelay, false},
                      PauseState{"ServerLife", &ServerSettings::serverLifeDelay, false},
                      PauseState{"BeforeAccept", &ServerSettings::acceptDelay, true}),
    [](const ::testing::TestParamInfo<PauseState>& info) { return std::string(info.param.name); });

TEST_F(StopTest, EndsAWaitInAccept)
{
    const std::uint16_t port = start();
    ASSERT_NE(port, 0);
    std::this_thread::sleep_for(100ms);
    expectStopped();
    // The listening socket is gone with the thread.
    EXPECT_FALSE(Peer(port, 0ms).connected());
}

TEST_F(StopTest, EndsAReceiveFromASilentPeer)
{
    Peer peer(start());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send({0x02}));
    ASSERT_EQ(peer.read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));

    expectStopped();
    const Peer::ToEnd rest = peer.readToEnd(1s);
    EXPECT_TRUE(rest.bytes.empty());
    EXPECT_TRUE(rest.closed);
}

TEST_F(StopTest, EndsASendToAPeerThatDoesNotRead)
{
    sim::Model model = serverNamed(SERVER_NAME);
    sim::Connection& connection = model.connections.front();
    connection.self = 1;
    connection.channels.push_back({1, "Lobby", 0, {}});
    // About 10 MB: more than the send buffer of a loopback socket can grow to.
    for (anyID id = 1; id <= 10000; ++id) {
        connection.clients.push_back({id, std::string(1000, 'n'), 1, {}, true});
    }
    sim::setModel(model);
    sim::setLogging(false);
    const std::size_t fullSize = answer({0x05}).size();

    Peer peer(start(), 5s, 4096);
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send({0x05}));
    // The first bytes mean the answer is built and being sent; it cannot all fit into
    // the buffers of a peer that reads nothing more. Building it takes seconds in a
    // sanitized build on a busy machine.
    ASSERT_TRUE(peer.readable(30s));
    std::this_thread::sleep_for(200ms);

    expectStopped();
    const Peer::ToEnd received = peer.readToEnd(5s);
    EXPECT_TRUE(received.closed);
    EXPECT_LT(received.bytes.size(), fullSize) << "the whole answer went out before the stop";
    sim::setLogging(true);
}

// A control request in its pause when the plug-in stops: the pause gives way at once, and the
// request, received before the stop, is still carried out.
TEST_F(StopTest, EndsThePauseOfAControlRequestThatStillActs)
{
    Peer peer(start());
    ASSERT_TRUE(peer.connected());
    // A kick from a channel waits 500 ms before it asks the host for anything but a return code.
    ASSERT_TRUE(peer.send({0x04, 0x08, 0x00, 0x07}));
    ASSERT_TRUE(waitForCalls("createReturnCode", 1)) << "the request was not received";

    expectStopped(250ms);
    EXPECT_EQ(callsOf("requestClientKickFromChannel").size(), 1u);
}

TEST_F(StopTest, MayStartAgainAfterAStop)
{
    const std::uint16_t first = start();
    ASSERT_NE(first, 0);
    expectStopped();

    Peer peer(start());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send({0x02}));
    EXPECT_EQ(peer.read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));
    expectStopped();
}

}  // namespace
