// The answer decoders: real answers of the plug-in (against the simulated host) decode to
// what the host holds, every prefix of one asks for more, and broken answers are refused at
// the byte where they go wrong.

#include "client/answers.h"
#include "commands/command_support.h"
#include "protocol/wire.h"

using namespace commands_test;
using display::DecodeStatus;

namespace {

constexpr uint64 BIG = TWO_POW_32;  // a channel ID beyond 32 bits

sim::Model demoServer()
{
    sim::Model model = oneServer(
        {
            {1, "Lobby", 0, {}},
            {BIG, "Games", 0, {{28, 10}, {8, 1}, {12, 1}}},
            {7, "Caf\xc3\xa9", BIG, {{28, -1}, {8, 2}}},
        },
        {
            {3, "me", 1, {{4, 1}, {46, 1}, {5, 1}}, true},
            {9, "Bob", BIG, {{4, 1}, {43, 1}, {6, 1}, {17, 1}, {38, 1}, {57, 1}, {16, 1}}, true},
            {65535, "", 7, {}, true},
        },
        3);
    return model;
}

class AnswerDecodeTest : public SimHostTest {
protected:
    void SetUp() override
    {
        SimHostTest::SetUp();
        sim::setModel(demoServer());
    }
};

TEST_F(AnswerDecodeTest, ServerInfoWithAndWithoutTheServerName)
{
    const Bytes full = answer({COMMAND_SERVER_NAME});
    const auto decoded = display::decodeServerInfo(full.data(), full.size());
    ASSERT_TRUE(decoded.complete()) << decoded.error.message;
    EXPECT_FALSE(decoded.openEnded);
    EXPECT_EQ(decoded.answer.version, "0.9.9");
    EXPECT_EQ(decoded.answer.serverName, std::optional<std::string>("Test"));

    // The plug-in leaves the name out when the host cannot give it; that answer is whole,
    // but a reader cannot tell it from the start of a longer one.
    sim::setFailures({{"getServerVariableAsString", 1, {}, {}, {}, {}, 0, {}}});
    const Bytes shortAnswer = answer({COMMAND_SERVER_NAME});
    const auto nameless = display::decodeServerInfo(shortAnswer.data(), shortAnswer.size());
    ASSERT_TRUE(nameless.complete()) << nameless.error.message;
    EXPECT_TRUE(nameless.openEnded);
    EXPECT_EQ(nameless.answer.version, "0.9.9");
    EXPECT_FALSE(nameless.answer.serverName.has_value());
}

TEST_F(AnswerDecodeTest, ChannelListDecodesToTheHostsChannels)
{
    const Bytes bytes = answer({COMMAND_CHANNEL_LIST});
    const auto decoded = display::decodeChannelList(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded.complete()) << decoded.error.message;

    const std::vector<sim::Channel> expected = demoServer().connections[0].channels;
    ASSERT_EQ(decoded.answer.channels.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const display::Channel& got = decoded.answer.channels[i];
        const auto property = [&](std::size_t p) {
            const auto it = expected[i].ints.find(p);
            return it == expected[i].ints.end() ? 0 : it->second;
        };
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(got.id, expected[i].id);
        EXPECT_EQ(got.name, expected[i].name);
        EXPECT_EQ(got.parent, expected[i].parent);
        EXPECT_EQ(got.neededTalkPower, property(28));
        EXPECT_EQ(got.order, property(8));
        EXPECT_EQ(got.passwordFlag, property(12));
    }
}

TEST_F(AnswerDecodeTest, ClientListDecodesToTheHostsClients)
{
    const Bytes bytes = answer({COMMAND_CLIENT_LIST});
    const auto decoded = display::decodeClientList(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded.complete()) << decoded.error.message;
    EXPECT_EQ(decoded.answer.ownId, 3);
    EXPECT_EQ(decoded.answer.ownChannel, 1u);

    const std::vector<sim::Client> expected = demoServer().connections[0].clients;
    ASSERT_EQ(decoded.answer.clients.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const display::ClientEntry& got = decoded.answer.clients[i];
        const auto property = [&](std::size_t p) {
            const auto it = expected[i].ints.find(p);
            return it == expected[i].ints.end() ? 0 : it->second;
        };
        SCOPED_TRACE(expected[i].nickname);
        EXPECT_EQ(got.id, expected[i].id);
        EXPECT_EQ(got.nickname, expected[i].nickname);
        EXPECT_EQ(got.channel, expected[i].channel);
        EXPECT_EQ(got.talking, property(4));
        EXPECT_EQ(got.talkRequest, property(43));
        EXPECT_EQ(got.isTalker, property(46));
        EXPECT_EQ(got.inputMuted, property(5));
        EXPECT_EQ(got.outputMuted, property(6));
        EXPECT_EQ(got.recording, property(17));
        EXPECT_EQ(got.away, property(38));
        EXPECT_EQ(got.channelCommander, property(57));
        EXPECT_EQ(got.locallyMuted, property(16));
    }
}

// A reader feeds the decoder whatever has arrived: no proper prefix of an answer may pass as
// complete (but the nameless server answer, which is whole), and the bytes it asks for must
// lie within the real answer, so that a reader waiting for them is never stuck.
TEST_F(AnswerDecodeTest, EveryPrefixOfARealAnswerAsksForMoreWithinTheAnswer)
{
    for (const std::uint8_t command : {COMMAND_SERVER_NAME, COMMAND_CHANNEL_LIST, COMMAND_CLIENT_LIST}) {
        const Bytes full = answer({command});
        ASSERT_TRUE(display::answerProgress(command, full.data(), full.size()).status ==
                    DecodeStatus::COMPLETE);
        for (std::size_t size = 0; size < full.size(); ++size) {
            SCOPED_TRACE("command " + std::to_string(command) + ", " + std::to_string(size) + " bytes");
            const display::Progress progress = display::answerProgress(command, full.data(), size);
            if (command == COMMAND_SERVER_NAME && size == 8) {
                EXPECT_TRUE(progress.status == DecodeStatus::COMPLETE && progress.openEnded);
                continue;
            }
            ASSERT_TRUE(progress.status == DecodeStatus::NEED_MORE) << progress.error.message;
            EXPECT_LE(progress.error.offset, size);
            EXPECT_GT(progress.needed, size);
            EXPECT_LE(progress.needed, full.size());
            EXPECT_FALSE(progress.error.message.empty());
        }
    }
}

struct BrokenCase {
    const char* name;
    std::uint8_t command;
    Bytes bytes;
    DecodeStatus status;
    std::size_t offset;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BrokenCase& c, std::ostream* out)
{
    *out << c.name;
}

// A channel record with an empty name, and a client entry with an empty nickname.
Wire& channelRecord(Wire& wire, std::int64_t id)
{
    return wire.i64(id).str("").i64(0).i64(0).i64(0).i64(0);
}

Wire& clientEntry(Wire& wire, std::int64_t id)
{
    return wire.i64(id).str("").i64(0).i64(0).u16(0).u16(0).zeros(8);
}

std::vector<BrokenCase> brokenCases()
{
    const auto bytes = [](const Wire& wire) { return Bytes(wire); };
    Wire oneChannel;
    channelRecord(oneChannel.u8(3).i64(1), 1);
    Wire oneClient;
    clientEntry(oneClient.u8(5).i64(3).i64(1).i64(1), 3);

    Bytes trailingChannel = bytes(oneChannel);
    trailingChannel.push_back(0);
    Bytes trailingClient = bytes(oneClient);
    trailingClient.push_back(0x05);
    Wire twoCountedOneSent;
    channelRecord(twoCountedOneSent.u8(3).i64(2), 1);

    return {
        {"EmptyInput", COMMAND_CLIENT_LIST, {}, DecodeStatus::NEED_MORE, 0},
        {"ServerWrongTag", COMMAND_SERVER_NAME, {0x03, 0, 0}, DecodeStatus::MALFORMED, 0},
        {"UnrecognisedCommandAnswer", COMMAND_CHANNEL_LIST, {0x00}, DecodeStatus::MALFORMED, 0},
        {"ServerVersionPastTheEnd",
         COMMAND_SERVER_NAME,
         {0x02, 0x00, 0x05, '0', '.'},
         DecodeStatus::NEED_MORE,
         1},
        {"ServerNamePastTheEnd", COMMAND_SERVER_NAME, bytes(Wire().u8(2).str("v").u16(4).raw({'a'})),
         DecodeStatus::NEED_MORE, 4},
        {"ServerTrailingByte", COMMAND_SERVER_NAME, bytes(Wire().u8(2).str("v").str("name").u8(0)),
         DecodeStatus::MALFORMED, 10},
        {"ChannelCountNegative", COMMAND_CHANNEL_LIST, bytes(Wire().u8(3).i64(-1)), DecodeStatus::MALFORMED,
         1},
        {"ChannelCountBeyondAnyAnswer", COMMAND_CHANNEL_LIST, bytes(Wire().u8(3).i64(std::int64_t{1} << 40)),
         DecodeStatus::MALFORMED, 1},
        {"ChannelCountLargerThanTheData", COMMAND_CHANNEL_LIST, bytes(twoCountedOneSent),
         DecodeStatus::NEED_MORE, 51},
        {"ChannelNamePastTheEnd", COMMAND_CHANNEL_LIST, bytes(Wire().u8(3).i64(1).i64(1).u16(200).zeros(60)),
         DecodeStatus::NEED_MORE, 17},
        {"ChannelTrailingByte", COMMAND_CHANNEL_LIST, trailingChannel, DecodeStatus::MALFORMED, 51},
        {"ClientOwnIdBeyond16Bits", COMMAND_CLIENT_LIST, bytes(Wire().u8(5).i64(0x10000).i64(1).i64(0)),
         DecodeStatus::MALFORMED, 1},
        {"ClientEntryIdBeyond16Bits", COMMAND_CLIENT_LIST,
         bytes(clientEntry(Wire().u8(5).i64(3).i64(1).i64(1), -1)), DecodeStatus::MALFORMED, 25},
        {"ClientCountNegative", COMMAND_CLIENT_LIST, bytes(Wire().u8(5).i64(3).i64(1).i64(-5)),
         DecodeStatus::MALFORMED, 17},
        {"ClientNicknamePastTheEnd", COMMAND_CLIENT_LIST,
         bytes(Wire().u8(5).i64(3).i64(1).i64(1).i64(3).u16(0xFFFF).zeros(40)), DecodeStatus::NEED_MORE, 33},
        {"ClientTrailingBytes", COMMAND_CLIENT_LIST, trailingClient, DecodeStatus::MALFORMED, 63},
        {"ClientListAnsweredAsChannelList", COMMAND_CLIENT_LIST, bytes(oneChannel), DecodeStatus::MALFORMED,
         0},
    };
}

class BrokenAnswerTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenAnswerTest, IsRefusedAtTheByteWhereItGoesWrong)
{
    const BrokenCase& c = GetParam();
    const display::Progress progress = display::answerProgress(c.command, c.bytes.data(), c.bytes.size());
    EXPECT_TRUE(progress.status == c.status) << display::describe(progress.status, progress.error);
    EXPECT_EQ(progress.error.offset, c.offset) << progress.error.message;
    EXPECT_FALSE(progress.error.message.empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, BrokenAnswerTest, ::testing::ValuesIn(brokenCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AnswerDecode, ANullBufferIsAnEmptyOne)
{
    EXPECT_TRUE(display::decodeServerInfo(nullptr, 100).status == DecodeStatus::NEED_MORE);
    EXPECT_TRUE(display::answerProgress(0x04, nullptr, 0).status == DecodeStatus::MALFORMED);
}

}  // namespace
