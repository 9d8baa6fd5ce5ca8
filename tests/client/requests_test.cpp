// The request encoders: the bytes of each request, the IDs that do not fit the wire, and
// what the plug-in makes of the encoded requests at the edges of each field's range.

#include "client/requests.h"
#include "commands/command_support.h"

using namespace commands_test;

namespace {

constexpr std::uint64_t MAX16 = 0xFFFF;
constexpr std::uint64_t MAX32 = 0xFFFFFFFF;

struct EncodeCase {
    const char* name;
    display::Request request;
    Bytes bytes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const EncodeCase& c, std::ostream* out)
{
    *out << c.name;
}

class RequestEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(RequestEncodeTest, HasTheseBytes)
{
    const EncodeCase& c = GetParam();
    ASSERT_TRUE(c.request.ok()) << c.request.error;
    EXPECT_EQ(c.request.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestEncodeTest,
    testing::Values(EncodeCase{"ServerInfo", display::serverInfoRequest(), {2}},
                    EncodeCase{"ChannelList", display::channelListRequest(), {3}},
                    EncodeCase{"ClientList", display::clientListRequest(), {5}},
                    EncodeCase{"Disconnect", display::disconnectRequest(), {4, 1}},
                    EncodeCase{"Microphone", display::toggleMicrophoneRequest(), {4, 2}},
                    EncodeCase{"Away", display::toggleAwayRequest(), {4, 3}},
                    EncodeCase{"Speakers", display::toggleSpeakersRequest(), {4, 4}},
                    EncodeCase{"TalkPower", display::talkPowerRequest(), {4, 5}},
                    EncodeCase{"MoveSelf", display::moveSelfRequest(42), {4, 7, 0, 0, 0, 42, 0, 0}},
                    EncodeCase{"KickFromChannel", display::kickFromChannelRequest(7), {4, 8, 0, 7}},
                    EncodeCase{"KickFromServer", display::kickFromServerRequest(0x1234), {4, 9, 0x12, 0x34}},
                    EncodeCase{"Ban", display::banRequest(7, 3600), {4, 10, 0, 7, 0, 0, 0x0E, 0x10}},
                    EncodeCase{"MoveClient",
                               display::moveClientRequest(MAX16, MAX32),
                               {4, 11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    display::Request request;
    const char* mentions;  // the value refused, as the message must name it
};

void PrintTo(const RefusedCase& c, std::ostream* out)
{
    *out << c.name;
}

class RequestRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RequestRefusedTest, NamesTheValueAndCarriesNoBytes)
{
    const RefusedCase& c = GetParam();
    EXPECT_FALSE(c.request.ok());
    EXPECT_TRUE(c.request.bytes.empty());
    EXPECT_NE(c.request.error.find(c.mentions), std::string::npos) << c.request.error;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestRefusedTest,
    testing::Values(
        RefusedCase{"MoveSelfChannel", display::moveSelfRequest(MAX32 + 1), "channel ID 4294967296"},
        RefusedCase{"KickFromChannel", display::kickFromChannelRequest(MAX16 + 1), "client ID 65536"},
        RefusedCase{"KickFromServer", display::kickFromServerRequest(UINT64_MAX),
                    "client ID 18446744073709551615"},
        RefusedCase{"BanClient", display::banRequest(MAX16 + 1, 1), "client ID 65536"},
        RefusedCase{"BanDuration", display::banRequest(1, MAX32 + 1), "ban duration 4294967296"},
        RefusedCase{"MoveClientClient", display::moveClientRequest(70000, 1), "client ID 70000"},
        RefusedCase{"MoveClientChannel", display::moveClientRequest(1, MAX32 + 1), "channel ID 4294967296"}),
    [](const auto& info) { return std::string(info.param.name); });

// The plug-in reads each encoded request back with the IDs it was given, also at the top of
// each field's range, and leaves nothing of it unread.
class RequestRoundTripTest : public CommandTest {};

TEST_F(RequestRoundTripTest, ThePluginActsOnTheEncodedIds)
{
    sim::setModel(oneServer({}, {}, 3));
    const struct {
        display::Request request;
        std::string call;
    } cases[] = {
        {display::moveClientRequest(MAX16, MAX32),
         "requestClientMove schid=1 client=65535 channel=4294967295"},
        {display::banRequest(MAX16, MAX32), "banclient schid=1 client=65535 seconds=4294967295"},
        {display::kickFromServerRequest(258), "requestClientKickFromServer schid=1 client=258"},
        {display::moveSelfRequest(MAX32), "requestClientMove schid=1 client=3 channel=4294967295"},
    };
    for (const auto& c : cases) {
        sim::clearCalls();
        ASSERT_TRUE(c.request.ok()) << c.request.error;
        EXPECT_EQ(answer(c.request.bytes), Bytes());
        const std::vector<std::string> calls = trace();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().rfind(c.call, 0), 0u) << calls.back();
    }
}

}  // namespace
