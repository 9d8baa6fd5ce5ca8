// Command 5 against the simulated host: the answer bytes, the self query for the own
// client's talking state, and the two diagnostics that leave the request untouched.

#include "commands/command_support.h"

using namespace commands_test;

namespace {

constexpr anyID SELF = 3;
constexpr anyID OTHER = 9;

sim::Client client(anyID id, std::string nickname, uint64 channel, sim::IntProperties ints = {})
{
    return {id, std::move(nickname), channel, std::move(ints), true};
}

struct Entry {
    std::int64_t id;
    std::string nickname;
    std::int64_t talking = 0;
    std::int64_t channel = 0;
    std::uint16_t talkRequest = 0;
    std::uint16_t isTalker = 0;
    std::uint8_t inputMuted = 0;
    std::uint8_t outputMuted = 0;
    std::uint8_t recording = 0;
    std::uint8_t away = 0;
    std::uint8_t commander = 0;
    std::uint8_t locallyMuted = 0;
};

Bytes clientAnswer(std::int64_t self, std::int64_t selfChannel, const std::vector<Entry>& entries)
{
    Wire wire;
    wire.u8(5).i64(self).i64(selfChannel).i64(static_cast<std::int64_t>(entries.size()));
    for (const Entry& e : entries) {
        wire.i64(e.id).str(e.nickname).i64(e.talking).i64(e.channel).u16(e.talkRequest).u16(e.isTalker);
        wire.u8(e.inputMuted).u8(e.outputMuted).u8(e.recording).zeros(2).u8(e.away).u8(e.commander);
        wire.u8(e.locallyMuted);
    }
    return wire;
}

sim::FailureRule rule(const char* fn, unsigned int code, std::optional<anyID> client = std::nullopt,
                      std::optional<std::size_t> property = std::nullopt,
                      std::optional<unsigned int> count = {})
{
    sim::FailureRule r;
    r.fn = fn;
    r.code = code;
    r.client = client;
    r.property = property;
    r.count = count;
    return r;
}

class ClientListTest : public CommandTest {};

TEST_F(ClientListTest, OneClientIsAnswered66BytesWhateverFollowsTheCommand)
{
    sim::setModel(
        oneServer({{1, "Lobby", 0, {}}}, {client(SELF, "abc", 1, {{4, 1}, {46, 1}, {5, 1}})}, SELF));
    // clang-format off
    const Bytes expected = {
        0x05,
        0, 0, 0, 0, 0, 0, 0, 3,              // own ID
        0, 0, 0, 0, 0, 0, 0, 1,              // own channel
        0, 0, 0, 0, 0, 0, 0, 1,              // count
        0, 0, 0, 0, 0, 0, 0, 3,              // ID
        0x00, 0x03, 'a', 'b', 'c',           // nickname
        0, 0, 0, 0, 0, 0, 0, 1,              // talking
        0, 0, 0, 0, 0, 0, 0, 1,              // channel
        0x00, 0x00, 0x00, 0x01,              // talk request, talker
        0x01, 0, 0, 0, 0, 0, 0, 0,           // mic, speakers, recording, reserved, away, commander, muted
    };
    // clang-format on
    ASSERT_EQ(expected.size(), 66u);
    for (const Bytes& request : {Bytes{0x05}, Bytes{0x05, 0xAA, 0xBB}}) {
        EXPECT_EQ(answer(request), expected);
    }
}

TEST_F(ClientListTest, AsksEachFieldInOrderAndReleasesWhatItGot)
{
    sim::setModel(oneServer({{1, "Lobby", 0, {}}}, {client(SELF, "abc", 1)}, SELF));
    answer({0x05});
    const std::vector<std::string> expected = {
        "getCurrentServerConnectionHandlerID",
        "getClientID schid=1",
        "getClientList schid=1",
        "getChannelOfClient schid=1 client=3",
        "getClientVariableAsString schid=1 client=3 property=1",
        "freeMemory released=string",
        "getClientSelfVariableAsInt schid=1 property=4",
        "getChannelOfClient schid=1 client=3",
        "getClientVariableAsInt schid=1 client=3 property=43",
        "getClientVariableAsInt schid=1 client=3 property=46",
        "getClientVariableAsInt schid=1 client=3 property=5",
        "getClientVariableAsInt schid=1 client=3 property=6",
        "getClientVariableAsInt schid=1 client=3 property=17",
        "getClientVariableAsInt schid=1 client=3 property=38",
        "getClientVariableAsInt schid=1 client=3 property=57",
        "getClientVariableAsInt schid=1 client=3 property=16",
        "freeMemory released=clientList",
    };
    EXPECT_EQ(trace(), expected);
}

TEST_F(ClientListTest, FieldsKeepTheirWidthsAndOnlyTheOwnTalkingStateIsASelfQuery)
{
    const uint64 big = TWO_POW_32;
    sim::setModel(oneServer(
        {{big, "Big", 0, {}}},
        {client(OTHER, "other", big,
                {{4, -1}, {43, 65537}, {46, 65538}, {5, 256}, {6, 257}, {17, -1}, {38, 1}, {57, 2}, {16, 3}}),
         client(SELF, "", big, {{4, 1}})},
        SELF));
    const auto bigId = static_cast<std::int64_t>(big);
    EXPECT_EQ(answer({0x05}),
              clientAnswer(SELF, bigId,
                           {{OTHER, "other", -1, bigId, 1, 2, 0, 1, 0xFF, 1, 2, 3}, {SELF, "", 1, bigId}}));

    const std::vector<sim::Call> self = callsOf("getClientSelfVariableAsInt");
    ASSERT_EQ(self.size(), 1u);
    EXPECT_EQ(self[0].property, std::optional<std::size_t>(4));
    std::vector<anyID> askedTalking;
    for (const sim::Call& call : callsOf("getClientVariableAsInt")) {
        if (call.property == std::optional<std::size_t>(4)) {
            askedTalking.push_back(call.client.value_or(0));
        }
    }
    EXPECT_EQ(askedTalking, std::vector<anyID>({OTHER}));
}

TEST_F(ClientListTest, OwnClientLeftOutOfTheListIsNotSelfQueried)
{
    sim::Client hidden = client(SELF, "me", 1, {{4, 1}});
    hidden.listed = false;
    sim::setModel(oneServer({{1, "Lobby", 0, {}}}, {hidden, client(OTHER, "x", 1, {{4, 1}})}, SELF));
    EXPECT_EQ(answer({0x05}), clientAnswer(SELF, 1, {{OTHER, "x", 1, 1}}));
    EXPECT_TRUE(callsOf("getClientSelfVariableAsInt").empty());

    sim::setModel(oneServer({{1, "Lobby", 0, {}}}, {hidden}, SELF));
    EXPECT_EQ(answer({0x05}), clientAnswer(SELF, 1, {}));
}

struct FailureCase {
    const char* name;
    std::vector<sim::FailureRule> rules;
    Bytes request;
    std::string diagnostic;
    Bytes expected;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class ClientListFailureTest : public ClientListTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ClientListFailureTest, AnswerAndDiagnostic)
{
    const FailureCase& c = GetParam();
    sim::setModel(oneServer(
        {{1, "Lobby", 0, {}}},
        {client(SELF, "me", 1, {{4, 1}}), client(OTHER, "other", 1, {{43, 1}, {5, 1}, {16, 1}})}, SELF));
    sim::setFailures(c.rules);
    EXPECT_EQ(answer(c.request), c.expected);
    EXPECT_EQ(diagnostics(), c.diagnostic);
}

// The two entries of the model above as they arrive when nothing fails.
const Entry ME = {SELF, "me", 1, 1};
const Entry THEM = {OTHER, "other", 0, 1, 1, 0, 1, 0, 0, 0, 0, 1};

Entry with(Entry entry, const char* nickname, std::int64_t talking)
{
    entry.nickname = nickname;
    entry.talking = talking;
    return entry;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Failures, ClientListFailureTest, testing::Values(
    FailureCase{"NoFailure", {}, {0x05, 0xAA}, "", clientAnswer(SELF, 1, {ME, THEM})},
    FailureCase{"OwnIdFails", {rule("getClientID", 7)}, {0x05}, "\nERR: 7", {}},
    FailureCase{"OwnIdFailsLeavesTheRequest", {rule("getClientID", 7)}, {0x05, 0xAA, 0xBB}, "\nERR: 7",
                {0xAA, 0xBB}},
    FailureCase{"ListFails", {rule("getClientList", 1234)}, {0x05}, "\nERR2: 1234", {}},
    FailureCase{"ListFailsLeavesTheRequest", {rule("getClientList", 1234)}, {0x05, 0xAA, 0xBB},
                "\nERR2: 1234", {0xAA, 0xBB}},
    // Only the header's read fails; the own entry reads its channel again.
    FailureCase{"OwnChannelFails", {rule("getChannelOfClient", 1, SELF, std::nullopt, 1u)}, {0x05}, "",
                clientAnswer(SELF, 0, {ME, THEM})},
    FailureCase{"NicknameFails", {rule("getClientVariableAsString", 1, OTHER)}, {0x05}, "",
                clientAnswer(SELF, 1, {ME, with(THEM, "ERROR", 0)})},
    FailureCase{"OwnTalkingFails", {rule("getClientSelfVariableAsInt", 1)}, {0x05}, "",
                clientAnswer(SELF, 1, {with(ME, "me", 0), THEM})},
    FailureCase{"EveryQueryOfOneClientFails",
                {rule("getClientVariableAsString", 1, OTHER), rule("getClientVariableAsInt", 1, OTHER),
                 rule("getChannelOfClient", 1, OTHER)},
                {0x05}, "", clientAnswer(SELF, 1, {ME, {OTHER, "ERROR"}})}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ClientListTest, EarlyFailureAsksNothingMore)
{
    sim::setModel(oneServer({{1, "Lobby", 0, {}}}, {client(SELF, "me", 1)}, SELF));
    sim::setFailures({rule("getClientList", 2)});
    answer({0x05});
    EXPECT_EQ(trace(), std::vector<std::string>({"getCurrentServerConnectionHandlerID", "getClientID schid=1",
                                                 "getClientList schid=1 ret=2"}));
}

}  // namespace
