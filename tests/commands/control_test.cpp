// Command 4 against the simulated host: the exact host requests of each action, the
// pauses, the toggles, and requests that are short, unknown or followed by more bytes.

#include "commands/command_support.h"

#include <algorithm>

using namespace commands_test;

namespace {

constexpr anyID SELF = 3;
constexpr anyID TARGET = 7;

const std::vector<std::string> ACTIONS = {
    "stopConnection",    "setClientSelfVariableAsInt",   "flushClientSelfUpdates",      "requestIsTalker",
    "requestClientMove", "requestClientKickFromChannel", "requestClientKickFromServer", "banclient",
};

// Own client 3 beside clients 7 and 65535; every channel and client a request below names
// exists, so no action fails and the log shows only the arguments.
sim::Model server(sim::IntProperties selfInts = {})
{
    return oneServer({{1, "Lobby", 0, {}}, {42, "Target", 0, {}}, {0xFFFFFFFF, "Far", 0, {}}},
                     {{SELF, "me", 1, std::move(selfInts), true},
                      {TARGET, "them", 1, {}, true},
                      {0xFFFF, "last", 1, {}, true}},
                     SELF);
}

std::size_t actionCount()
{
    std::size_t count = 0;
    for (const sim::Call& call : sim::calls()) {
        count += std::find(ACTIONS.begin(), ACTIONS.end(), call.fn) != ACTIONS.end() ? 1 : 0;
    }
    return count;
}

const char* const SCHID_QUERY = "getCurrentServerConnectionHandlerID";

struct ActionCase {
    const char* name;
    Bytes request;
    int talkRequestPending;
    std::vector<std::string> calls;  // and pauses
};

void PrintTo(const ActionCase& c, std::ostream* os)
{
    *os << c.name;
}

class ControlActionTest : public CommandTest, public testing::WithParamInterface<ActionCase> {};

TEST_P(ControlActionTest, MakesExactlyTheseHostCalls)
{
    const ActionCase& c = GetParam();
    sim::setModel(server({{43, c.talkRequestPending}}));
    EXPECT_EQ(answer(c.request), Bytes());
    EXPECT_EQ(trace(), c.calls);
}

const std::string TALK = "requestIsTalker schid=1 request=";
const std::string TALK_ARGS = " message=\"\" rc=created";
const std::string PENDING_QUERY = "getClientSelfVariableAsInt schid=1 property=43";
const std::string MOVE_SELF = "requestClientMove schid=1 client=3 channel=42 password=\"\" rc=null";

// Every action asks for the connection first, but the kick from a channel, which asks for
// it after its pause.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Actions, ControlActionTest, testing::Values(
    ActionCase{"Disconnect", {4, 1}, 0,
               {SCHID_QUERY, "stopConnection schid=1 message=\"Connection closed by G19 Plugin\""}},
    ActionCase{"TalkRequestNotPending", {4, 5}, 0,
               {SCHID_QUERY, TALK + "1" + TALK_ARGS, PENDING_QUERY, TALK + "1" + TALK_ARGS}},
    ActionCase{"TalkRequestPending", {4, 5}, 1,
               {SCHID_QUERY, TALK + "1" + TALK_ARGS, PENDING_QUERY, TALK + "0" + TALK_ARGS}},
    // The client keeps the time of the request there, not a flag.
    ActionCase{"TalkRequestPendingSince", {4, 5}, 1765432100,
               {SCHID_QUERY, TALK + "1" + TALK_ARGS, PENDING_QUERY, TALK + "0" + TALK_ARGS}},
    // The string field is consumed and dropped, whatever it holds or lacks.
    ActionCase{"MoveSelf", {4, 7, 0, 0, 0, 0x2A, 0, 3, 'a', 'b', 'c'}, 0,
               {SCHID_QUERY, "getClientID schid=1", "pause 200ms", MOVE_SELF}},
    ActionCase{"MoveSelfWithoutStringField", {4, 7, 0, 0, 0, 0x2A}, 0,
               {SCHID_QUERY, "getClientID schid=1", "pause 200ms", MOVE_SELF}},
    ActionCase{"MoveSelfShortStringField", {4, 7, 0, 0, 0, 0x2A, 0, 9, 'a'}, 0,
               {SCHID_QUERY, "getClientID schid=1", "pause 200ms", MOVE_SELF}},
    ActionCase{"KickFromChannel", {4, 8, 0xFF, 0xFF}, 0,
               {"pause 500ms", SCHID_QUERY,
                "requestClientKickFromChannel schid=1 client=65535 reason=\"\" rc=created"}},
    ActionCase{"KickFromServer", {4, 9, 0, 7}, 0,
               {SCHID_QUERY, "requestClientKickFromServer schid=1 client=7 reason=\"\" rc=created"}},
    ActionCase{"KickHighestClientId", {4, 9, 0xFF, 0xFF}, 0,
               {SCHID_QUERY, "requestClientKickFromServer schid=1 client=65535 reason=\"\" rc=created"}},
    ActionCase{"Ban", {4, 0x0A, 0, 7, 0, 0, 0x0E, 0x10}, 0,
               {SCHID_QUERY, "banclient schid=1 client=7 seconds=3600 reason=\"\" rc=created"}},
    ActionCase{"BanLongestDuration", {4, 0x0A, 0, 7, 0xFF, 0xFF, 0xFF, 0xFF}, 0,
               {SCHID_QUERY, "banclient schid=1 client=7 seconds=4294967295 reason=\"\" rc=created"}},
    ActionCase{"MoveClient", {4, 0x0B, 0, 7, 0, 0, 0, 0x2A}, 0,
               {SCHID_QUERY, "requestClientMove schid=1 client=7 channel=42 password=\"\" rc=null"}},
    ActionCase{"MoveClientHighestChannelId", {4, 0x0B, 0, 7, 0xFF, 0xFF, 0xFF, 0xFF}, 0,
               {SCHID_QUERY, "requestClientMove schid=1 client=7 channel=4294967295 password=\"\" rc=null"}}),
    [](const testing::TestParamInfo<ActionCase>& info) { return std::string(info.param.name); });
// clang-format on

struct ToggleCase {
    const char* name;
    std::uint8_t subCommand;
    std::size_t property;
    int before;
    bool readFails;
    int after;  // the value set; unused when the read fails
};

void PrintTo(const ToggleCase& c, std::ostream* os)
{
    *os << c.name;
}

class ControlToggleTest : public CommandTest, public testing::WithParamInterface<ToggleCase> {};

TEST_P(ControlToggleTest, SetsTheOppositeOfAKnownStateOnly)
{
    const ToggleCase& c = GetParam();
    sim::setModel(server({{c.property, c.before}}));
    if (c.readFails) {
        sim::FailureRule failing;
        failing.fn = "getClientSelfVariableAsInt";
        failing.property = c.property;
        sim::setFailures({failing});
    }
    EXPECT_EQ(answer({4, c.subCommand}), Bytes());

    const std::string read = "getClientSelfVariableAsInt schid=1 property=" + std::to_string(c.property);
    if (c.readFails) {
        EXPECT_EQ(trace(), std::vector<std::string>({SCHID_QUERY, read + " ret=1"}));
        return;
    }
    EXPECT_EQ(trace(),
              std::vector<std::string>({SCHID_QUERY, read,
                                        "setClientSelfVariableAsInt schid=1 property=" +
                                            std::to_string(c.property) + " value=" + std::to_string(c.after),
                                        "flushClientSelfUpdates schid=1 rc=created"}));
}

INSTANTIATE_TEST_SUITE_P(Toggles, ControlToggleTest,
                         testing::Values(ToggleCase{"MicrophoneOn", 2, 5, 0, false, 1},
                                         ToggleCase{"MicrophoneOff", 2, 5, 1, false, 0},
                                         ToggleCase{"MicrophoneOddValue", 2, 5, 2, false, 1},
                                         ToggleCase{"MicrophoneUnknown", 2, 5, 1, true, 0},
                                         ToggleCase{"AwayOn", 3, 38, 0, false, 1},
                                         ToggleCase{"AwayOff", 3, 38, 1, false, 0},
                                         ToggleCase{"AwayUnknown", 3, 38, 0, true, 0},
                                         ToggleCase{"SpeakersOff", 4, 6, 1, false, 0},
                                         ToggleCase{"SpeakersNegative", 4, 6, -1, false, 1},
                                         ToggleCase{"SpeakersUnknown", 4, 6, 0, true, 0}),
                         [](const testing::TestParamInfo<ToggleCase>& info) {
                             return std::string(info.param.name);
                         });

// Nothing here names everything its action needs, so the host is asked to do nothing.
class ControlIgnoredTest : public CommandTest, public testing::WithParamInterface<Bytes> {};

TEST_P(ControlIgnoredTest, ActsOnNothingAndAnswersNothing)
{
    sim::setModel(server());
    EXPECT_EQ(answer(GetParam()), Bytes());
    EXPECT_EQ(actionCount(), 0u) << testing::PrintToString(trace());
    EXPECT_TRUE(pauses().empty()) << "the connection was held up for nothing";
    const std::uint8_t subCommand = GetParam().size() > 1 ? GetParam()[1] : 0;
    if (subCommand == 0 || subCommand == 6 || subCommand > 11) {
        EXPECT_EQ(trace(), std::vector<std::string>()) << "an unknown sub-command asks the host nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, ControlIgnoredTest,
                         testing::Values(Bytes{4}, Bytes{4, 0}, Bytes{4, 6}, Bytes{4, 0x0C}, Bytes{4, 0xFF},
                                         Bytes{4, 7}, Bytes{4, 7, 0, 0, 0}, Bytes{4, 8}, Bytes{4, 8, 0},
                                         Bytes{4, 9}, Bytes{4, 9, 7}, Bytes{4, 0x0A, 0, 7},
                                         Bytes{4, 0x0A, 0, 7, 0, 0, 0x0E}, Bytes{4, 0x0B, 0, 7, 0},
                                         Bytes{4, 0x0B, 0, 7, 0, 0, 0}));

class ControlTest : public CommandTest {};

TEST_F(ControlTest, UnreadBytesComeBackAndOnlyTheFirstRequestActs)
{
    sim::setModel(server());
    EXPECT_EQ(answer({4, 2, 0xAA, 0xBB}), Bytes({0xAA, 0xBB}));
    EXPECT_EQ(callsOf("flushClientSelfUpdates").size(), 1u);

    sim::clearCalls();
    EXPECT_EQ(answer({4, 9, 0, 7, 4, 9, 0, 8}), Bytes({4, 9, 0, 8}));
    const std::vector<sim::Call> kicks = callsOf("requestClientKickFromServer");
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(kicks[0].client, std::optional<anyID>(TARGET));

    sim::clearCalls();
    EXPECT_EQ(answer({4, 0, 0xAA}), Bytes({0xAA}));
    EXPECT_EQ(trace(), std::vector<std::string>());
}

TEST_F(ControlTest, MoveSelfWithoutOwnIdNeitherPausesNorMoves)
{
    sim::setModel(server());
    sim::FailureRule failing;
    failing.fn = "getClientID";
    failing.code = 5;
    sim::setFailures({failing});
    // Nothing of the request was read, so all of it comes back.
    EXPECT_EQ(answer({4, 7, 0, 0, 0, 0x2A, 0, 0}), Bytes({0, 0, 0, 0x2A, 0, 0}));
    EXPECT_EQ(trace(), std::vector<std::string>({SCHID_QUERY, "getClientID schid=1 ret=5"}));
}

}  // namespace
