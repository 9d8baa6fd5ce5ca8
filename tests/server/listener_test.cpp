// The connection loop as a display program sees it.

#include "listener_fixture.h"

#include "platform/socket.h"

#include <thread>

namespace {

TEST_F(ListenerTest, AnswersEveryRequestOnOneConnectionInTurn)
{
    Peer peer(start());
    ASSERT_TRUE(peer.connected());

    struct Exchange {
        Bytes request;
        Bytes answer;
    };
    const std::vector<Exchange> exchanges = {
        {{0x02}, serverNameAnswer(SERVER_NAME)},
        {{0x07, 0xAA, 0xBB}, {0x00}},
        // An empty answer puts nothing on the connection; the next answer must follow
        // directly.
        {{0x04}, {}},
        {{0x02, 0xAA}, serverNameAnswer(SERVER_NAME)},
    };
    for (const Exchange& exchange : exchanges) {
        ASSERT_TRUE(peer.send(exchange.request));
        if (exchange.answer.empty()) {
            // Let the request be received alone rather than together with the next one.
            EXPECT_FALSE(peer.readable(200ms));
        } else {
            EXPECT_EQ(peer.read(exchange.answer.size()), exchange.answer);
        }
    }
    EXPECT_FALSE(peer.readable(50ms)) << "more bytes than the answers";
}

TEST_F(ListenerTest, TakesALongRequestAsRequestsOfAtMost512Bytes)
{
    Peer peer(start());
    ASSERT_TRUE(peer.connected());

    // 512 bytes of an unknown command, then 02: the 513th byte starts a request of its own.
    Bytes request(RECV_BUFFER_SIZE, 0x07);
    request.push_back(0x02);
    ASSERT_TRUE(peer.send(request));

    Bytes expected{0x00};
    const Bytes nameAnswer = serverNameAnswer(SERVER_NAME);
    expected.insert(expected.end(), nameAnswer.begin(), nameAnswer.end());
    EXPECT_EQ(peer.read(expected.size()), expected);
}

TEST_F(ListenerTest, ServesASecondPeerOnlyAfterTheFirstHasLeft)
{
    const std::uint16_t port = start();
    Peer first(port);
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(first.send({0x02}));
    ASSERT_EQ(first.read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));

    // The second connection waits in the backlog.
    Peer second(port);
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(second.send({0x02}));
    EXPECT_FALSE(second.readable(300ms)) << "served while the first peer was still connected";

    first.close();
    EXPECT_EQ(second.read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));
}

// How a peer can leave, and what it still sees of the plug-in afterwards.
struct Departure {
    const char* name;
    void (*leave)(Peer&);
    Bytes seenAfterLeaving;  // only a peer that still reads can see anything
    bool stillReads;
};

void PrintTo(const Departure& departure, std::ostream* out)
{
    *out << departure.name;
}

class PeerDepartureTest : public ListenerTest, public ::testing::WithParamInterface<Departure> {};

TEST_P(PeerDepartureTest, EndsTheConnectionAndServesTheNextPeer)
{
    const Departure& departure = GetParam();
    const std::uint16_t port = start();
    Peer leaving(port);
    ASSERT_TRUE(leaving.connected());
    ASSERT_TRUE(leaving.send({0x02}));
    ASSERT_EQ(leaving.read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));

    departure.leave(leaving);
    if (departure.stillReads) {
        const Peer::ToEnd rest = leaving.readToEnd(2s);
        EXPECT_EQ(rest.bytes, departure.seenAfterLeaving);
        EXPECT_TRUE(rest.closed) << "the connection was not closed";
    }

    Peer next(port);
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(next.send({0x02}));
    EXPECT_EQ(next.read(serverNameAnswer(SERVER_NAME).size(), 3s), serverNameAnswer(SERVER_NAME));
}

INSTANTIATE_TEST_SUITE_P(
    Departures, PeerDepartureTest,
    ::testing::Values(
        // The plug-in's receive returns no bytes: the connection ends as after a failed receive.
        Departure{"ClosesItsSendingSide", [](Peer& peer) { peer.closeSending(); }, {RECV_ERROR_REPLY}, true},
        // The plug-in's receive fails.
        Departure{"Resets", [](Peer& peer) { peer.reset(); }, {}, false},
        Departure{"Closes", [](Peer& peer) { peer.close(); }, {}, false}),
    [](const ::testing::TestParamInfo<Departure>& info) { return std::string(info.param.name); });

TEST_F(ListenerTest, SendsALargeAnswerToTheEnd)
{
    sim::Model model = serverNamed(SERVER_NAME);
    sim::Connection& connection = model.connections.front();
    connection.self = 1;
    connection.channels.push_back({1, "Lobby", 0, {}});
    for (anyID id = 1; id <= 3000; ++id) {
        connection.clients.push_back({id, std::string(30, 'n'), 1, {}, true});
    }
    sim::setModel(model);
    const Bytes expected = answer({0x05});
    ASSERT_GT(expected.size(), 100000u);

    Peer peer(start(), 5s, 4096);
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send({0x05}));
    EXPECT_EQ(peer.read(expected.size()), expected);
}

TEST_F(ListenerTest, RetriesSilentlyWhileThePortIsTaken)
{
    ASSERT_TRUE(platform::startSockets());
    const platform::SocketHandle blocker = platform::openStreamSocket();
    ASSERT_TRUE(platform::bindIPv4(blocker, LOOPBACK_ADDRESS, 0));
    ASSERT_TRUE(platform::listenOn(blocker, 1));
    ServerSettings settings = quickSettings();
    settings.port = platform::localPort(blocker);

    start(settings, false);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(lives(), 0) << "listened on a port that was taken";

    platform::closeSocket(blocker);
    platform::stopSockets();
    EXPECT_EQ(waitForLives(1, 3s), settings.port) << "did not take the port once it was free";
    expectPromptStop();
    EXPECT_EQ(diagnostics(), lastLines());
}

}  // namespace
