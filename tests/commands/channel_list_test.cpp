// Command 3 against the simulated host: the answer bytes, the host calls behind them and
// what a failing host call leaves in the answer.

#include "commands/command_support.h"

using namespace commands_test;

namespace {

sim::Channel channel(uint64 id, std::string name, uint64 parent, int talkPower, int order, int password)
{
    return {id, std::move(name), parent, {{28, talkPower}, {8, order}, {12, password}}};
}

// A channel record as the display parses it.
Wire& record(Wire& wire, std::int64_t id, const std::string& name, std::int64_t talkPower, std::int64_t order,
             std::int64_t parent, std::int64_t password)
{
    return wire.i64(id).str(name).i64(talkPower).i64(order).i64(parent).i64(password);
}

class ChannelListTest : public CommandTest {};

TEST_F(ChannelListTest, OneChannelIsAnswered56BytesWhateverFollowsTheCommand)
{
    sim::setModel(oneServer({channel(1, "Lobby", 0, 0, 0, 0)}, {}, 0));
    // clang-format off
    Bytes expected = {
        0x03,
        0, 0, 0, 0, 0, 0, 0, 1,                // count
        0, 0, 0, 0, 0, 0, 0, 1,                // ID
        0x00, 0x05, 'L', 'o', 'b', 'b', 'y',  // name
    };
    // clang-format on
    expected.resize(56, 0);  // needed talk power, order, parent and password flag, all 0

    for (const Bytes& request : {Bytes{0x03}, Bytes{0x03, 0xAA, 0xBB}}) {
        EXPECT_EQ(answer(request), expected);
    }
}

TEST_F(ChannelListTest, EmptyListIsTheHeaderWithCountZero)
{
    sim::setModel(oneServer({}, {}, 0));
    EXPECT_EQ(answer({0x03}), Bytes({0x03, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ChannelListTest, IdsAndValuesTravelAtFullWidth)
{
    const uint64 big = TWO_POW_32;
    sim::setModel(oneServer({channel(big, "Top", 0, -1, 0, 1), channel(big + 5, "Sub", big, 65537, 7, 0),
                             channel(3, "", big + 5, 0, -2, 0)},
                            {}, 0));
    Wire expected;
    expected.u8(3).i64(3);
    record(expected, static_cast<std::int64_t>(big), "Top", -1, 0, 0, 1);
    record(expected, static_cast<std::int64_t>(big + 5), "Sub", 65537, 7, static_cast<std::int64_t>(big), 0);
    record(expected, 3, "", 0, -2, static_cast<std::int64_t>(big + 5), 0);

    const Bytes got = answer({0x03});
    EXPECT_EQ(got, Bytes(expected));
    // The big ID, byte for byte, where it first appears.
    ASSERT_GE(got.size(), 17u);
    EXPECT_EQ(Bytes(got.begin() + 9, got.begin() + 17), Bytes({0, 0, 0, 1, 0, 0, 0, 0}));
}

TEST_F(ChannelListTest, CountsFirstThenReadsEachRecordInFieldOrder)
{
    sim::setModel(oneServer({channel(1, "Lobby", 0, 0, 0, 0), channel(2, "Room", 1, 0, 0, 0)}, {}, 0));
    answer({0x03});

    const std::vector<std::string> expected = {
        "getCurrentServerConnectionHandlerID",
        "getChannelList schid=1",
        "getChannelVariableAsString schid=1 channel=1 property=0",
        "freeMemory released=string",
        "getChannelVariableAsString schid=1 channel=2 property=0",
        "freeMemory released=string",
        "getChannelVariableAsString schid=1 channel=1 property=0",
        "freeMemory released=string",
        "getChannelVariableAsInt schid=1 channel=1 property=28",
        "getChannelVariableAsInt schid=1 channel=1 property=8",
        "getParentChannelOfChannel schid=1 channel=1",
        "getChannelVariableAsInt schid=1 channel=1 property=12",
        "getChannelVariableAsString schid=1 channel=2 property=0",
        "freeMemory released=string",
        "getChannelVariableAsInt schid=1 channel=2 property=28",
        "getChannelVariableAsInt schid=1 channel=2 property=8",
        "getParentChannelOfChannel schid=1 channel=2",
        "getChannelVariableAsInt schid=1 channel=2 property=12",
        "freeMemory released=channelList",
    };
    EXPECT_EQ(trace(), expected);
}

struct FailureCase {
    const char* name;
    sim::FailureRule rule;
    bool emptyAnswer;
    // The two records of the model below as they should arrive, after the failure.
    std::int64_t lobbyTalkPower;
    std::int64_t roomId;
    const char* roomName;
    std::int64_t roomParent;
    std::int64_t roomPassword;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class ChannelListFailureTest : public ChannelListTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ChannelListFailureTest, FailureLeavesItsMarkAndReleasesEverything)
{
    const FailureCase& c = GetParam();
    sim::setModel(oneServer({channel(1, "Lobby", 0, 5, 1, 0), channel(2, "Room", 1, 0, 2, 1)}, {}, 0));
    sim::setFailures({c.rule});

    Wire expected;
    if (!c.emptyAnswer) {
        expected.u8(3).i64(2);
        record(expected, 1, "Lobby", c.lobbyTalkPower, 1, 0, 0);
        record(expected, c.roomId, c.roomName, 0, 2, c.roomParent, c.roomPassword);
    }
    // Trailing request bytes never survive: the packet is cleared on every path.
    EXPECT_EQ(answer({0x03, 0xAA, 0xBB}), Bytes(expected));
    const std::vector<sim::Call> releases = callsOf("freeMemory");
    ASSERT_FALSE(releases.empty());
    EXPECT_EQ(releases.back().released, std::optional<std::string>("channelList"))
        << "the list is released last";
}

sim::FailureRule rule(const char* fn, std::optional<uint64> channel, std::optional<std::size_t> property,
                      unsigned int skip = 0, std::optional<unsigned int> count = std::nullopt)
{
    sim::FailureRule r;
    r.fn = fn;
    r.code = 9;
    r.channel = channel;
    r.property = property;
    r.skip = skip;
    r.count = count;
    return r;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Failures, ChannelListFailureTest, testing::Values(
    FailureCase{"NameFailsWhileCounting", rule("getChannelVariableAsString", 2, 0, 0, 1), true,
                0, 0, "", 0, 0},
    // The first read of Room's name passes, the second fails: the count stands, the
    // record keeps its layout and carries no name from the earlier read.
    FailureCase{"NameFailsOnlyWhileWriting", rule("getChannelVariableAsString", 2, 0, 1, 1), false,
                5, 0, "", 1, 1},
    FailureCase{"TalkPowerFails", rule("getChannelVariableAsInt", 1, 28), false, 0, 2, "Room", 1, 1},
    FailureCase{"ParentFails", rule("getParentChannelOfChannel", 2, std::nullopt), false, 5, 2, "Room", 0, 1},
    FailureCase{"PasswordFlagFails", rule("getChannelVariableAsInt", 2, 12), false, 5, 2, "Room", 1, 0}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ChannelListTest, ListFailureReleasesNothing)
{
    sim::setModel(oneServer({channel(1, "Lobby", 0, 0, 0, 0)}, {}, 0));
    sim::setFailures({rule("getChannelList", std::nullopt, std::nullopt)});
    EXPECT_EQ(answer({0x03, 0xAA}), Bytes());
    EXPECT_EQ(trace(), std::vector<std::string>(
                           {"getCurrentServerConnectionHandlerID", "getChannelList schid=1 ret=9"}));
}

}  // namespace
