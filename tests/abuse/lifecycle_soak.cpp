#include "lifecycle_soak.h"

#include "client/answers.h"
#include "server/peer.h"
#include "server/plugin_library.h"
#include "sim/sim_host.h"
#include "support/models.h"
#include "support/sim_calls.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace {

constexpr std::uint16_t DISPLAY_PORT = 12132;
constexpr auto STOP_BOUND = std::chrono::milliseconds(1000);
constexpr anyID SELF = 3;
constexpr anyID OTHER = 7;

// Other copies of this program on the machine may serve the display port too; the process
// ID tells their answers from ours.
const std::string SERVER = "Soak " + std::to_string(getpid());

sim::Model soakServer()
{
    return oneServer({{1, "Lobby", 0, {}}, {2, "Quiet", 1, {{12, 1}}}},
                     {{SELF, "me", 1, {{4, 1}}, true}, {OTHER, "other", 2, {}, true}}, SELF, SERVER);
}

struct Control {
    Bytes request;
    const char* action;  // the host call that shows the request was carried out
    bool pauses;         // the listener pauses before the action; shutdown comes during the pause
};

// One control request per cycle, in turn.
const Control CONTROLS[] = {
    {{0x04, 0x01}, "stopConnection", false},
    {{0x04, 0x02}, "flushClientSelfUpdates", false},
    {{0x04, 0x03}, "flushClientSelfUpdates", false},
    {{0x04, 0x04}, "flushClientSelfUpdates", false},
    {{0x04, 0x05}, "requestIsTalker", false},
    {{0x04, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}, "requestClientMove", true},
    {{0x04, 0x08, 0x00, OTHER}, "requestClientKickFromChannel", true},
    {{0x04, 0x09, 0x00, OTHER}, "requestClientKickFromServer", false},
    {{0x04, 0x0A, 0x00, OTHER, 0x00, 0x00, 0x00, 0x3C}, "banclient", false},
    {{0x04, 0x0B, 0x00, OTHER, 0x00, 0x00, 0x00, 0x02}, "requestClientMove", false},
};

// Reads one answer to a list query, until the display's decoder sees it whole.
Bytes readAnswer(Peer& peer, std::uint8_t command)
{
    Bytes answer;
    for (;;) {
        const display::Progress progress = display::answerProgress(command, answer.data(), answer.size());
        if (progress.status != display::DecodeStatus::NEED_MORE) {
            return answer;
        }
        const Bytes more = peer.read(progress.needed - answer.size(), std::chrono::seconds(5));
        if (more.empty()) {
            return answer;
        }
        answer.insert(answer.end(), more.begin(), more.end());
    }
}

std::unique_ptr<Peer> connect(PluginLibrary& plugin, Listening listening)
{
    const Bytes expected = serverNameAnswer(SERVER);
    if (listening == Listening::TEST_PORT) {
        const std::uint16_t port = plugin.waitForListeningPort(std::chrono::seconds(5));
        if (port == 0) {
            return nullptr;
        }
        auto peer = std::make_unique<Peer>(port);
        return peer->connected() ? std::move(peer) : nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        auto peer = std::make_unique<Peer>(DISPLAY_PORT, std::chrono::seconds(10));
        // Only a peer that reached this process's plug-in is kept; the request is asked again below.
        if (peer->connected() && peer->send({0x02}) && peer->read(expected.size()) == expected) {
            return peer;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return nullptr;
}

void runCycle(const std::string& path, Listening listening, int cycle, SoakFigures& figures)
{
    sim::reset();
    sim::setModel(soakServer());
    const bool peerAtShutdown = cycle % 2 == 0;

    PluginLibrary plugin(path);
    ASSERT_TRUE(plugin.complete());
    const char* name = plugin.name();
    EXPECT_STREQ(name, "Kestro G19 TS3 Plugin");
    EXPECT_EQ(plugin.name(), name);
    EXPECT_STREQ(plugin.version(), "0.9.9");
    EXPECT_EQ(plugin.apiVersion(), 20);
    EXPECT_STREQ(plugin.author(), "Kestro (Special thanks to Delvane)");
    EXPECT_NE(plugin.description(), nullptr);
    plugin.setFunctionPointers(sim::functionTable());
    ASSERT_EQ(plugin.init(), 0);

    std::unique_ptr<Peer> peer = connect(plugin, listening);
    ASSERT_NE(peer, nullptr) << "the plug-in did not listen";

    const Bytes serverName = serverNameAnswer(SERVER);
    ASSERT_TRUE(peer->send({0x02}));
    EXPECT_EQ(peer->read(serverName.size()), serverName);
    ASSERT_TRUE(peer->send({0x03}));
    const Bytes channels = readAnswer(*peer, 0x03);
    const auto channelList = display::decodeChannelList(channels.data(), channels.size());
    ASSERT_TRUE(channelList.complete()) << display::describe(channelList.status, channelList.error);
    EXPECT_EQ(channelList.answer.channels.size(), 2u);
    ASSERT_TRUE(peer->send({0x05}));
    const Bytes clients = readAnswer(*peer, 0x05);
    const auto clientList = display::decodeClientList(clients.data(), clients.size());
    ASSERT_TRUE(clientList.complete()) << display::describe(clientList.status, clientList.error);
    EXPECT_EQ(clientList.answer.ownId, SELF);
    EXPECT_EQ(clientList.answer.clients.size(), 2u);
    // Last, as it may disconnect the server or remove a client. Its answer is empty; the host's
    // call log shows when it is served. A move of the own client and a kick from a channel
    // pause first: shutdown then comes during the pause, which must end early and still let
    // the action happen.
    const std::size_t requestsBefore = callsOf("createReturnCode").size();
    const Control& control = CONTROLS[static_cast<std::size_t>(cycle) % std::size(CONTROLS)];
    ASSERT_TRUE(peer->send(control.request));
    ASSERT_TRUE(waitForCalls("createReturnCode", requestsBefore + 1)) << "control request not received";
    if (!control.pauses) {
        EXPECT_TRUE(waitForCalls(control.action, 1)) << "control request not carried out: " << control.action;
    }
    figures.requests += 4;

    if (!peerAtShutdown) {
        peer.reset();
    }
    const auto begin = std::chrono::steady_clock::now();
    plugin.shutdown();
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin);
    EXPECT_LT(took, STOP_BOUND);
    figures.longestShutdown = std::max(figures.longestShutdown, took);
    if (peerAtShutdown) {
        EXPECT_TRUE(peer->readToEnd(std::chrono::seconds(2)).closed) << "the peer's connection stayed open";
        peer.reset();
        ++figures.peerAtShutdown;
    }
    EXPECT_FALSE(callsOf(control.action).empty()) << "control request not carried out: " << control.action;
    plugin.unload();
    EXPECT_FALSE(PluginLibrary::isMapped(path)) << "the library stayed loaded";
    const sim::MemoryReport memory = sim::memory();
    EXPECT_EQ(memory.live, 0u) << "host memory leaked";
    EXPECT_EQ(memory.invalid, 0u) << "host memory released wrongly";
}

}  // namespace

SoakFigures runSoak(const std::string& path, Listening listening, int cycles, int warmUp)
{
    SoakFigures figures;
    // Each life's listener writes its last line; none of that is under test here.
    std::ostringstream discarded;
    std::streambuf* const previous = std::cout.rdbuf(discarded.rdbuf());
    const Resources before = resources();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        runCycle(path, listening, cycle, figures);
        const bool back = waitForResources(before, std::chrono::seconds(2));
        const Resources now = resources();
        EXPECT_TRUE(back) << "descriptors " << before.descriptors << " -> " << now.descriptors << ", threads "
                          << before.threads << " -> " << now.threads;
        if (::testing::Test::HasFailure()) {
            break;
        }
        figures.cycles = cycle;
        if (cycle == warmUp) {
            figures.residentAfterWarmUpKiB = residentKiB();
        }
    }
    figures.residentAtEndKiB = residentKiB();
    std::cout.rdbuf(previous);
    return figures;
}
