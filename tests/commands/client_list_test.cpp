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

// A host that fails a read may still have written to the out-parameter; the answer shows 0
// for that field all the same, and every other field as the host gave it.
constexpr int JUNK = 0x5A5A5A5A;

const TS3Functions& simulatedHost()
{
    static const TS3Functions table = sim::functionTable();
    return table;
}

TS3Functions hostThatScribblesOnFailure()
{
    TS3Functions host = simulatedHost();
    host.getClientVariableAsInt = [](uint64 schid, anyID client, std::size_t property, int* result) {
        const unsigned int error = simulatedHost().getClientVariableAsInt(schid, client, property, result);
        if (error != 0 && result != nullptr) {
            *result = JUNK;
        }
        return error;
    };
    host.getClientSelfVariableAsInt = [](uint64 schid, std::size_t property, int* result) {
        const unsigned int error = simulatedHost().getClientSelfVariableAsInt(schid, property, result);
        if (error != 0 && result != nullptr) {
            *result = JUNK;
        }
        return error;
    };
    host.getChannelOfClient = [](uint64 schid, anyID client, uint64* result) {
        const unsigned int error = simulatedHost().getChannelOfClient(schid, client, result);
        if (error != 0 && result != nullptr) {
            *result = JUNK;
        }
        return error;
    };
    return host;
}

TEST_F(ClientListTest, AFailedFieldIsZeroWhateverTheHostLeftInTheOutParameter)
{
    constexpr uint64 CHANNEL = 7;
    // Every field of the other client distinct and nonzero, wider than it travels where it can be.
    const sim::IntProperties ints = {{4, 1},      {43, 0x10102}, {46, 0x10304}, {5, 0x121}, {6, 0x122},
                                     {17, 0x123}, {38, 0x124},   {57, 0x125},   {16, 0x126}};
    const Entry me = {SELF, "me", 1, CHANNEL};
    const Entry other = {OTHER, "other", 1, CHANNEL, 0x0102, 0x0304, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
    const auto without = [](Entry entry, auto field) {
        entry.*field = 0;
        return entry;
    };
    struct Case {
        const char* field;
        sim::FailureRule failure;
        Entry me;
        Entry other;
    };
    const Case cases[] = {
        {"own talking", rule("getClientSelfVariableAsInt", 1), without(me, &Entry::talking), other},
        {"talking", rule("getClientVariableAsInt", 1, OTHER, 4), me, without(other, &Entry::talking)},
        {"channel", rule("getChannelOfClient", 1, OTHER), me, without(other, &Entry::channel)},
        {"talk request", rule("getClientVariableAsInt", 1, OTHER, 43), me,
         without(other, &Entry::talkRequest)},
        {"talker", rule("getClientVariableAsInt", 1, OTHER, 46), me, without(other, &Entry::isTalker)},
        {"input muted", rule("getClientVariableAsInt", 1, OTHER, 5), me, without(other, &Entry::inputMuted)},
        {"output muted", rule("getClientVariableAsInt", 1, OTHER, 6), me,
         without(other, &Entry::outputMuted)},
        {"recording", rule("getClientVariableAsInt", 1, OTHER, 17), me, without(other, &Entry::recording)},
        {"away", rule("getClientVariableAsInt", 1, OTHER, 38), me, without(other, &Entry::away)},
        {"commander", rule("getClientVariableAsInt", 1, OTHER, 57), me, without(other, &Entry::commander)},
        {"locally muted", rule("getClientVariableAsInt", 1, OTHER, 16), me,
         without(other, &Entry::locallyMuted)},
    };
    const TS3Functions host = hostThatScribblesOnFailure();
    const RequestContext requests{host, G19_VERSION, [](std::chrono::milliseconds) {}, m_diagnostics};
    const std::uint8_t request = 0x05;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        sim::setModel(
            oneServer({{CHANNEL, "Lobby", 0, {}}},
                      {client(SELF, "me", CHANNEL, {{4, 1}}), client(OTHER, "other", CHANNEL, ints)}, SELF));
        sim::setFailures({c.failure});
        sim::clearCalls();
        const Packet packet = processRequest(requests, &request, 1);
        EXPECT_EQ(Bytes(packet.data(), packet.data() + packet.size()),
                  clientAnswer(SELF, CHANNEL, {c.me, c.other}));
        std::size_t failedCalls = 0;
        for (const sim::Call& call : callsOf(c.failure.fn)) {
            failedCalls += call.ret != 0 ? 1 : 0;
        }
        EXPECT_EQ(failedCalls, 1u) << "the case no longer fails the one read it is about";
    }
}

TEST_F(ClientListTest, ALongListWithLongerNicknamesThanReservedKeepsEveryField)
{
    // 300 clients whose nicknames grow to 90 bytes, 45 on average, past the room reserved for
    // typical ones: the answer grows part of the way through. Every field differs from entry
    // to entry.
    constexpr std::size_t CLIENTS = 300;
    std::vector<sim::Client> clients;
    std::vector<Entry> expected;
    for (std::size_t i = 0; i < CLIENTS; ++i) {
        const auto id = static_cast<anyID>(i + 1);
        const auto v = static_cast<int>(i);
        const uint64 channel = i % 3 + 1;
        std::string nickname(i % 91, static_cast<char>('a' + i % 26));
        // The own client (ID 1) is asked its talking state apart; it keeps the model's.
        const sim::IntProperties ints = {{4, v % 2},   {43, v * 3},  {46, v * 5},  {5, v % 7},  {6, v % 11},
                                         {17, v % 13}, {38, v % 17}, {57, v % 19}, {16, v % 23}};
        clients.push_back(client(id, nickname, channel, ints));
        expected.push_back({id, nickname, v % 2, static_cast<std::int64_t>(channel),
                            static_cast<std::uint16_t>(v * 3), static_cast<std::uint16_t>(v * 5),
                            static_cast<std::uint8_t>(v % 7), static_cast<std::uint8_t>(v % 11),
                            static_cast<std::uint8_t>(v % 13), static_cast<std::uint8_t>(v % 17),
                            static_cast<std::uint8_t>(v % 19), static_cast<std::uint8_t>(v % 23)});
    }
    sim::setModel(oneServer({{1, "A", 0, {}}, {2, "B", 0, {}}, {3, "C", 0, {}}}, clients, 1));
    sim::setLogging(false);
    EXPECT_EQ(answer({0x05}), clientAnswer(1, 1, expected));
}

}  // namespace
