// The library built for each plug-in API, loaded by a host of that API: the client hands
// over its whole, larger table by value, and the library must serve from the slots it
// knows and call none of the others.

#include "commands/command_support.h"
#include "peer.h"
#include "plugin_library.h"
#include "sim/host_table.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

struct Build {
    int api;
    const char* path;
};

void PrintTo(const Build& build, std::ostream* out)
{
    *out << "API " << build.api;
}

class HostApiTest : public ::testing::TestWithParam<Build> {};

sim::Model wideServer()
{
    sim::Client self{3, "abc", 1, {}};
    return oneServer({{1, "Lobby", 0, {}}}, {self}, 3);
}

// Own ID, own channel and count; then the one entry: ID, nickname, talking, channel, talk
// request, talker, microphone muted and the seven one-byte fields after it.
Bytes clientList(std::uint8_t microphoneMuted)
{
    Wire answer;
    answer.u8(5).i64(3).i64(1).i64(1);
    answer.i64(3).str("abc").i64(0).i64(1).u16(0).u16(0).u8(microphoneMuted).zeros(7);
    return answer;
}

TEST_P(HostApiTest, ServesFromATableOfItsOwnSizeAndCallsNoOtherSlot)
{
    const Build build = GetParam();
    sim::reset();
    sim::setModel(wideServer());

    PluginLibrary plugin(build.path);
    ASSERT_TRUE(plugin.complete());
    ASSERT_EQ(plugin.apiVersion(), build.api);
    const sim::HostTable table = sim::hostTable(build.api);
    ASSERT_TRUE(sim::handOver(plugin.setFunctionPointers, table));
    ASSERT_EQ(plugin.init(), 0);

    const std::uint16_t port = plugin.waitForListeningPort();
    ASSERT_NE(port, 0) << "the listener did not start";

    Peer peer(port);
    ASSERT_TRUE(peer.connected());
    const auto ask = [&peer](const Bytes& request, std::size_t size) {
        EXPECT_TRUE(peer.send(request));
        return peer.read(size);
    };
    EXPECT_EQ(ask({0x02}, serverNameAnswer("Test").size()), serverNameAnswer("Test"));
    const Bytes channels = Wire().u8(3).i64(1).i64(1).str("Lobby").zeros(32);
    EXPECT_EQ(ask({0x03}, channels.size()), channels);
    EXPECT_EQ(ask({0x05}, clientList(0).size()), clientList(0));
    const std::uint64_t before = sim::modelVersion();
    ASSERT_TRUE(peer.send({0x04, 0x02}));  // microphone toggle: no answer
    // The link has no framing: a request sent at once could arrive in the same read as the
    // toggle. The next goes out once the toggle has reached the host.
    sim::waitForModelChange(before, std::chrono::seconds(5));
    EXPECT_EQ(ask({0x05}, clientList(1).size()), clientList(1));

    plugin.shutdown();
    EXPECT_EQ(sim::unimplementedCalls(), 0u) << "the library called a slot it must not";
    EXPECT_EQ(sim::memory().live, 0u);
}

INSTANTIATE_TEST_SUITE_P(Apis, HostApiTest,
                         ::testing::Values(Build{20, G19_QUICK_PLUGIN_PATH},
                                           Build{24, G19_QUICK_PLUGIN_API24_PATH},
                                           Build{26, G19_QUICK_PLUGIN_API26_PATH}),
                         [](const auto& info) { return "Api" + std::to_string(info.param.api); });

}  // namespace
