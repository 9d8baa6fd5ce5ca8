// Peers that misbehave, against the connection loop on an ephemeral loopback port.

#include "abuse_fixture.h"

#include <algorithm>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t LARGE_CLIENT_COUNT = 10000;
// About 10 MB of answer: more than the socket buffers of both ends hold together.
constexpr std::size_t LARGE_NAME_BYTES = 1000;
constexpr std::size_t BURST_BYTES = 64 * 1024;

TEST_F(AbuseTest, PeerResetsInTheMiddleOfAnAnswer)
{
    sim::setLogging(false);
    sim::setModel(crowdedServer(SERVER_NAME, LARGE_CLIENT_COUNT, LARGE_NAME_BYTES));
    const std::uint16_t port = start();
    {
        Peer peer(port, 5s, 4096);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send({0x05}));
        ASSERT_EQ(peer.read(4096, 5s).size(), 4096u) << "the answer did not start";
        peer.reset();
    }
    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

TEST_F(AbuseTest, PeersCloseAtOnce)
{
    const std::uint16_t port = start();
    for (int i = 0; i < 5; ++i) {
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
    }
    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

// States of a peer at the moment the plug-in is stopped.
struct PeerAtStop {
    const char* name;
    bool largeAnswer;  // sends 05 on a crowded server and never reads
};

void PrintTo(const PeerAtStop& state, std::ostream* out)
{
    *out << state.name;
}

class ShutdownWithPeerTest : public AbuseTest, public ::testing::WithParamInterface<PeerAtStop> {};

TEST_P(ShutdownWithPeerTest, StopsWithinTheBoundAndServesAfterARestart)
{
    if (GetParam().largeAnswer) {
        sim::setLogging(false);
        sim::setModel(crowdedServer(SERVER_NAME, LARGE_CLIENT_COUNT, LARGE_NAME_BYTES));
    }
    {
        Peer peer(start(), 5s, 4096);
        ASSERT_TRUE(peer.connected());
        if (GetParam().largeAnswer) {
            ASSERT_TRUE(peer.send({0x05}));
            ASSERT_TRUE(peer.readable(5s)) << "the answer did not start";
        }
        // Long enough for the listener to be blocked in its receive or its send.
        std::this_thread::sleep_for(200ms);
        expectPromptStop();
        EXPECT_TRUE(peer.readToEnd(5s).closed) << "the peer's connection stayed open";
    }
    sim::setModel(serverNamed(SERVER_NAME));
    expectServes(start());
    expectPromptStop();
    expectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Peers, ShutdownWithPeerTest,
                         ::testing::Values(PeerAtStop{"Silent", false},
                                           PeerAtStop{"NotReadingALargeAnswer", true}),
                         [](const ::testing::TestParamInfo<PeerAtStop>& info) {
                             return std::string(info.param.name);
                         });

// 64 KiB of 02 in one send: every receive of it is one request, and each gets one answer.
TEST_F(AbuseTest, BurstOfRequestsInOneSendIsAnsweredReceiveByReceive)
{
    const std::uint16_t port = start();
    const Bytes answer = serverNameAnswer(SERVER_NAME);
    {
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(Bytes(BURST_BYTES, 0x02)));
        peer.closeSending();
        const Peer::ToEnd received = peer.readToEnd(10s);
        ASSERT_TRUE(received.closed);
        ASSERT_FALSE(received.bytes.empty());
        EXPECT_EQ(received.bytes.back(), RECV_ERROR_REPLY) << "the end of the peer's data was not answered";

        const std::size_t answers = (received.bytes.size() - 1) / answer.size();
        ASSERT_EQ(answers * answer.size() + 1, received.bytes.size());
        for (std::size_t i = 0; i < answers; ++i) {
            ASSERT_TRUE(std::equal(answer.begin(), answer.end(), received.bytes.begin() + i * answer.size()))
                << "answer " << i << " is not the server name answer";
        }
        EXPECT_GE(answers, BURST_BYTES / RECV_BUFFER_SIZE) << "a receive took more than 512 bytes";
        EXPECT_EQ(callsOf("getServerVariableAsString").size(), answers)
            << "requests served without an answer, or answers without a request";
    }
    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

// 64 KiB of noise in one send: whatever the commands in it do, the connection is served to its
// end and the listener goes on.
TEST_F(AbuseTest, BurstOfNoiseInOneSend)
{
    allowClientListDiagnostics();
    const std::uint16_t port = start();
    {
        std::mt19937 random(12132);
        Bytes noise(BURST_BYTES);
        std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(noise));
        peer.closeSending();
        const Peer::ToEnd received = peer.readToEnd(20s);
        ASSERT_TRUE(received.closed);
        ASSERT_FALSE(received.bytes.empty());
        EXPECT_EQ(received.bytes.back(), RECV_ERROR_REPLY);
    }
    // The noise may have disconnected the simulated server.
    sim::setModel(serverNamed(SERVER_NAME));
    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

TEST_F(AbuseTest, TwoHundredConnectAndDisconnectCycles)
{
    ServerSettings settings = quickSettings();
    settings.acceptDelay = 1ms;
    settings.failedReceiveDelay = 1ms;
    const std::uint16_t port = start(settings);
    const Resources serving = resources();
    const Bytes answer = serverNameAnswer(SERVER_NAME);

    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        switch (cycle % 4) {
            case 0:  // a request, its answer, and away
                ASSERT_TRUE(peer.send({0x02}));
                ASSERT_EQ(peer.read(answer.size()), answer);
                break;
            case 1:  // gone before saying anything
                break;
            case 2:  // a request, then a reset instead of reading the answer
                ASSERT_TRUE(peer.send({0x02}));
                peer.reset();
                break;
            default:  // done sending: the plug-in answers the end and closes
                peer.closeSending();
                EXPECT_EQ(peer.readToEnd(2s).bytes, Bytes{RECV_ERROR_REPLY});
                break;
        }
    }
    EXPECT_TRUE(waitForResources(serving, 2s)) << "connections left open on the plug-in's side";
    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

// Twenty peers arrive while a first one holds the listener. Ten connect one after another and
// wait in the backlog in that order; ten more connect at the same moment from their own
// threads, when the backlog is about full, and get in as it drains. Each asks to kick a
// client of its own number, so the host's call log shows the order in which they were served.
TEST_F(AbuseTest, TwentyPeersAtOnceAreServedOneByOneInAcceptOrder)
{
    constexpr anyID QUEUED = 10;
    constexpr anyID CONCURRENT = 10;
    const std::uint16_t port = start();
    const auto kickRequest = [](anyID number) {
        return Bytes{0x04, 0x09, 0x00, static_cast<std::uint8_t>(number)};
    };

    auto holder = std::make_unique<Peer>(port);
    ASSERT_TRUE(holder->connected());
    ASSERT_TRUE(holder->send({0x02}));
    ASSERT_EQ(holder->read(serverNameAnswer(SERVER_NAME).size()), serverNameAnswer(SERVER_NAME));

    std::vector<std::unique_ptr<Peer>> peers;
    for (anyID number = 1; number <= QUEUED; ++number) {
        peers.push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers.back()->connected());
        ASSERT_TRUE(peers.back()->send(kickRequest(number)));
        peers.back()->closeSending();
        std::this_thread::sleep_for(2ms);
    }

    std::vector<std::unique_ptr<Peer>> concurrent(CONCURRENT);
    std::promise<void> go;
    const std::shared_future<void> ready = go.get_future().share();
    std::vector<std::thread> threads;
    for (anyID i = 0; i < CONCURRENT; ++i) {
        threads.emplace_back([&, i] {
            ready.wait();
            // A connection the full backlog turns away is tried again by the peer's system.
            concurrent[i] = std::make_unique<Peer>(port, 20s);
            if (concurrent[i]->connected()) {
                concurrent[i]->send(kickRequest(static_cast<anyID>(QUEUED + 1 + i)));
                concurrent[i]->closeSending();
            }
        });
    }
    go.set_value();
    std::this_thread::sleep_for(50ms);
    holder.reset();
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (auto& peer : concurrent) {
        ASSERT_TRUE(peer->connected());
        peers.push_back(std::move(peer));
    }

    for (std::size_t i = 0; i < peers.size(); ++i) {
        const Peer::ToEnd received = peers[i]->readToEnd(20s);
        EXPECT_TRUE(received.closed) << "peer " << i + 1 << " was never served to the end";
        EXPECT_EQ(received.bytes, Bytes{RECV_ERROR_REPLY}) << "peer " << i + 1;
    }
    peers.clear();

    std::vector<anyID> served;
    for (const sim::Call& call : callsOf("requestClientKickFromServer")) {
        served.push_back(*call.client);
    }
    ASSERT_EQ(served.size(), std::size_t{QUEUED + CONCURRENT}) << "a peer was lost or served twice";
    for (anyID number = 1; number <= QUEUED; ++number) {
        EXPECT_EQ(served[number - 1], number) << "the peers in the backlog were not served in their order";
    }
    std::vector<anyID> late(served.begin() + QUEUED, served.end());
    std::sort(late.begin(), late.end());
    for (anyID i = 0; i < CONCURRENT; ++i) {
        EXPECT_EQ(late[i], QUEUED + 1 + i);
    }

    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

TEST_F(AbuseTest, PortHeldByAnotherProcessAtStartIsTakenOnceFree)
{
    PortHolder holder(LOOPBACK_ADDRESS, 0);
    ASSERT_TRUE(holder.holding());
    ServerSettings settings = quickSettings();
    settings.port = holder.port();

    start(settings, false);
    // Several server lives try the port meanwhile.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(lives(), 0) << "listened on a port another process held";
    holder.release();
    const std::uint16_t port = waitForLives(1, 3s);
    ASSERT_EQ(port, settings.port) << "did not take the port once it was free";

    expectServes(port);
    expectPromptStop();
    // The retries wrote nothing: the last line is all.
    expectNothingLeft();
}

}  // namespace
