// A talk frame read without its document: every frame taken that way must change the mirror
// exactly as the same frame parsed whole, and any frame that might not is left to the parse.

#include "bridge/talk_frame.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// One established tab 1 with the own client 2 and client 7, neither talking.
bridge::Mirror tabWithClientSeven()
{
    const auto client = [](int id) {
        return json{
            {"id", id}, {"channelId", "1"}, {"properties", {{"nickname", "c"}, {"flagTalking", false}}}};
    };
    json tab = {{"id", 1}, {"clientId", 2}, {"status", 4}, {"properties", {{"name", "Tab"}}}};
    tab["channelInfos"] = {{"rootChannels", json::array()}, {"subChannels", json::object()}};
    tab["clientInfos"] = json::array({client(2), client(7)});
    bridge::Mirror mirror;
    mirror.replace(json::array({tab}));
    return mirror;
}

struct Taken {
    const char* name;
    std::string frame;
    std::string why;  // what both ways answer
    int talking;      // client 7's light after it
};

void PrintTo(const Taken& row, std::ostream* out)
{
    *out << row.name;
}

class TalkFrameTaken : public testing::TestWithParam<Taken> {};

TEST_P(TalkFrameTaken, ChangesTheMirrorAsTheWholeMessageDoes)
{
    const Taken& row = GetParam();
    const std::optional<bridge::TalkStatus> talk = bridge::readTalkStatus(row.frame);
    ASSERT_TRUE(talk.has_value());

    bridge::Mirror read = tabWithClientSeven();
    bridge::Mirror parsed = tabWithClientSeven();
    EXPECT_EQ(read.applyTalkStatus(*talk), row.why);
    EXPECT_EQ(parsed.apply(json::parse(row.frame)), row.why);
    for (const bridge::Mirror* mirror : {&read, &parsed}) {
        const bridge::Client* seven = mirror->find(1)->findClient(7);
        EXPECT_EQ(seven->value(bridge::Field::TALKING), row.talking);
        EXPECT_TRUE(seven->isKnown(bridge::Field::TALKING));
    }
}

std::string talk(const std::string& payload)
{
    return R"({"type":"talkStatusChanged","payload":{)" + payload + "}}";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TalkFrameTaken,
    testing::Values(
        Taken{"as the client sends it", talk(R"("connectionId":1,"clientId":7,"status":1,"isWhisper":false)"),
              "", 1},
        Taken{"payload first, IDs as strings, spaced over lines",
              " {\n\t\"payload\" : { \"status\" : 1 , \"clientId\" : \"7\", \"connectionId\" : \"1\" } ,\r\n"
              " \"type\" : \"talkStatusChanged\" }\n",
              "", 1},
        Taken{"an ID in escapes", talk(R"("connectionId":1,"clientId":"\u0037","status":1)"), "", 1},
        Taken{"status as a boolean", talk(R"("connectionId":1,"clientId":7,"status":true)"), "", 1},
        Taken{"talking while disabled lights nothing", talk(R"("connectionId":1,"clientId":7,"status":2)"),
              "", 0},
        Taken{
            "other values passed over, whatever their type",
            talk(
                R"("x":null,"y":"\u00e9\ud83d\ude00","z":-1.5e3,"connectionId":1,"clientId":7,"status":1,"w":true)"),
            "", 1}));

// Frames that reach the mirror with something missing: both ways give the same reason and
// change nothing (client 7 stays off, but known: the snapshot told it).
INSTANTIATE_TEST_SUITE_P(
    Reasons, TalkFrameTaken,
    testing::Values(
        Taken{"no status", talk(R"("connectionId":1,"clientId":7)"), "talkStatusChanged: no status", 0},
        Taken{"a null status", talk(R"("connectionId":1,"clientId":7,"status":null)"),
              "talkStatusChanged: no status", 0},
        Taken{"a status of text", talk(R"("connectionId":1,"clientId":7,"status":"1")"),
              "talkStatusChanged: no status", 0},
        Taken{"an unknown client", talk(R"("connectionId":1,"clientId":99,"status":1)"),
              "talkStatusChanged: unknown client 99", 0},
        Taken{"an unknown connection", talk(R"("connectionId":5,"clientId":7,"status":1)"),
              "talkStatusChanged: unknown connection 5", 0},
        Taken{"no connection", talk(R"("clientId":7,"status":1)"), "talkStatusChanged: no connectionId", 0},
        Taken{"a negative client", talk(R"("connectionId":1,"clientId":-7,"status":1)"),
              "talkStatusChanged: no clientId", 0},
        Taken{"a fractional client", talk(R"("connectionId":1,"clientId":7.0,"status":1)"),
              "talkStatusChanged: no clientId", 0},
        Taken{"a client beyond 16 bits", talk(R"("connectionId":1,"clientId":65543,"status":1)"),
              "talkStatusChanged: no clientId", 0},
        Taken{"a client beyond 64 bits",
              talk(R"("connectionId":1,"clientId":18446744073709551623,"status":1)"),
              "talkStatusChanged: no clientId", 0},
        Taken{"an empty payload", talk(""), "talkStatusChanged: no connectionId", 0}));

// Frames the reader leaves to the parse: another shape, or one the parse may read otherwise.
TEST(TalkFrameLeft, ToTheParseWhenItMightReadOtherwise)
{
    const std::string valid = talk(R"("connectionId":1,"clientId":7,"status":1)");
    const std::vector<std::pair<const char*, std::string>> frames = {
        {"another type", R"({"type":"clientMoved","payload":{"connectionId":1,"clientId":7}})"},
        {"a type that is not text", R"({"type":1,"payload":{"connectionId":1,"clientId":7,"status":1}})"},
        {"no type", R"({"payload":{"connectionId":1,"clientId":7,"status":1}})"},
        {"no payload", R"({"type":"talkStatusChanged"})"},
        {"a payload that is not an object", R"({"type":"talkStatusChanged","payload":[1,7,1]})"},
        {"a field beside type and payload", R"({"type":"talkStatusChanged","returnCode":"","payload":{}})"},
        {"the type twice", R"({"type":"talkStatusChanged","type":"clientMoved","payload":{}})"},
        {"the client twice", talk(R"("connectionId":1,"clientId":7,"clientId":8,"status":1)")},
        {"a nested value", talk(R"("connectionId":1,"clientId":7,"status":1,"invoker":{"id":3})")},
        {"a list", talk(R"("connectionId":1,"clientId":7,"status":1,"seen":[])")},
        {"more after the object", valid + " {}"},
        {"a NUL after the object", valid + std::string(1, '\0') + "x"},
        {"a byte-order mark", "\xEF\xBB\xBF" + valid},
        {"bytes that are not UTF-8", talk(R"("connectionId":1,"clientId":7,"status":1,"m":")"
                                          "\xC3\x28"
                                          R"(")")},
        {"half a UTF-16 pair", talk(R"("connectionId":1,"clientId":7,"status":1,"m":"\udc00")")},
        {"a high half alone", talk(R"("connectionId":1,"clientId":7,"status":1,"m":"\ud83dx")")},
        {"a control character", talk("\"connectionId\":1,\"clientId\":7,\"status\":1,\"m\":\"a\tb\"")},
        {"a number too large for a double", talk(R"("connectionId":1,"clientId":7,"status":1e400)")},
        {"a trailing comma", talk(R"("connectionId":1,"clientId":7,"status":1,)")},
        {"cut short", valid.substr(0, valid.size() - 1)},
        {"not an object", "[]"},
        {"empty", ""},
        {"deep lists in the payload",
         R"({"type":"talkStatusChanged","payload":{"x":)" + std::string(100000, '[')},
        {"deep lists at the top", std::string(100000, '[')},
    };
    ASSERT_TRUE(bridge::readTalkStatus(valid).has_value());
    for (const auto& [name, frame] : frames) {
        EXPECT_FALSE(bridge::readTalkStatus(frame).has_value()) << name;
    }
}

}  // namespace
