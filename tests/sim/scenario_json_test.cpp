// Scenarios read from JSON and the call log written as JSON.

#include "sim/scenario_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::uint64_t MAX_ID = std::numeric_limits<std::uint64_t>::max();

sim::Scenario parsed(const std::string& text)
{
    std::string error;
    std::optional<sim::Scenario> scenario = sim::parseScenario(text, error);
    EXPECT_TRUE(scenario.has_value()) << error;
    return scenario.value_or(sim::Scenario{});
}

std::string parseError(const std::string& text)
{
    std::string error;
    EXPECT_FALSE(sim::parseScenario(text, error).has_value()) << "accepted: " << text;
    return error;
}

TEST(ScenarioJson, NamedFieldsSetTheirHostProperties)
{
    const sim::Scenario scenario = parsed(R"({"current": 1, "connections": [{"schid": 1,
        "server": {"name": "Demo", "roundTripMs": 150}, "self": 3,
        "channels": [{"id": 1, "name": "Lobby", "parent": 0, "neededTalkPower": 11, "order": 12,
                      "password": 13, "props": {"99": 5}}],
        "clients": [{"id": 3, "nickname": "abc", "channel": 1, "talking": 21, "inputMuted": 22,
                     "outputMuted": 23, "localMuted": 24, "recording": 25, "away": 26, "talkRequest": 27,
                     "isTalker": 28, "channelCommander": 29, "listed": false, "props": {"99": -1}}]}]})");
    ASSERT_EQ(scenario.model.connections.size(), 1u);
    const sim::Connection& connection = scenario.model.connections[0];
    EXPECT_EQ(scenario.model.current, 1u);
    EXPECT_EQ(connection.serverName, "Demo");
    EXPECT_EQ(connection.roundTripMs, 150u);
    EXPECT_EQ(connection.self, 3);

    ASSERT_EQ(connection.channels.size(), 1u);
    EXPECT_EQ(connection.channels[0].name, "Lobby");
    EXPECT_EQ(connection.channels[0].ints, (sim::IntProperties{{28, 11}, {8, 12}, {12, 13}, {99, 5}}));

    ASSERT_EQ(connection.clients.size(), 1u);
    const sim::Client& client = connection.clients[0];
    EXPECT_EQ(client.nickname, "abc");
    EXPECT_EQ(client.channel, 1u);
    EXPECT_FALSE(client.listed);
    EXPECT_EQ(client.ints, (sim::IntProperties{{4, 21},
                                               {5, 22},
                                               {6, 23},
                                               {16, 24},
                                               {17, 25},
                                               {38, 26},
                                               {43, 27},
                                               {46, 28},
                                               {57, 29},
                                               {99, -1}}));
}

TEST(ScenarioJson, LeftOutFieldsTakeTheirDefaults)
{
    const sim::Scenario scenario =
        parsed(R"({"connections": [{"schid": 4, "channels": [{"id": 2}], "clients": [{"id": 9}]}]})");
    EXPECT_EQ(scenario.model.current, 0u);
    EXPECT_TRUE(scenario.failures.empty());
    const sim::Connection& connection = scenario.model.connections.at(0);
    EXPECT_EQ(connection.serverName, "");
    EXPECT_EQ(connection.self, 0);
    EXPECT_EQ(connection.channels.at(0).parent, 0u);
    EXPECT_TRUE(connection.channels.at(0).ints.empty());
    EXPECT_EQ(connection.clients.at(0).channel, 0u);
    EXPECT_TRUE(connection.clients.at(0).listed);
    EXPECT_TRUE(connection.clients.at(0).ints.empty());
    EXPECT_TRUE(parsed("{}").model.connections.empty());
}

TEST(ScenarioJson, SixtyFourBitIdsArriveWhole)
{
    const sim::Scenario scenario = parsed(R"({"current": 18446744073709551615,
        "connections": [{"schid": 18446744073709551615,
          "channels": [{"id": 4294967296, "parent": 18446744073709551614}],
          "clients": [{"id": 65535, "channel": 4294967296}]}],
        "failures": [{"fn": "getChannelVariableAsInt", "schid": 18446744073709551615,
                      "channel": 4294967296}]})");
    EXPECT_EQ(scenario.model.current, MAX_ID);
    const sim::Connection& connection = scenario.model.connections.at(0);
    EXPECT_EQ(connection.schid, MAX_ID);
    EXPECT_EQ(connection.channels.at(0).id, 1ull << 32);
    EXPECT_EQ(connection.channels.at(0).parent, MAX_ID - 1);
    EXPECT_EQ(connection.clients.at(0).id, 65535);
    EXPECT_EQ(connection.clients.at(0).channel, 1ull << 32);
    EXPECT_EQ(scenario.failures.at(0).schid, MAX_ID);
    EXPECT_EQ(scenario.failures.at(0).channel, 1ull << 32);
}

TEST(ScenarioJson, PropsWinOverTheNamedFieldOfTheSameNumber)
{
    const sim::Scenario scenario =
        parsed(R"({"connections": [{"schid": 1, "clients": [{"id": 1, "talking": 1, "props": {"4": 7}}]}]})");
    EXPECT_EQ(scenario.model.connections.at(0).clients.at(0).ints, (sim::IntProperties{{4, 7}}));
}

TEST(ScenarioJson, FailureRulesKeepWhatTheyMatch)
{
    const sim::Scenario scenario = parsed(R"({"failures": [
        {"fn": "getClientVariableAsString", "client": 7, "code": 1, "skip": 2, "count": 1},
        {"fn": "getChannelVariableAsInt", "schid": 3, "channel": 5, "property": 28, "code": 1282},
        {"fn": "getClientList"}]})");
    ASSERT_EQ(scenario.failures.size(), 3u);
    const sim::FailureRule& nickname = scenario.failures[0];
    EXPECT_EQ(nickname.fn, "getClientVariableAsString");
    EXPECT_EQ(nickname.client, anyID{7});
    EXPECT_EQ(nickname.skip, 2u);
    EXPECT_EQ(nickname.count, 1u);
    EXPECT_FALSE(nickname.schid || nickname.channel || nickname.property);

    const sim::FailureRule& channel = scenario.failures[1];
    EXPECT_EQ(channel.schid, 3u);
    EXPECT_EQ(channel.channel, 5u);
    EXPECT_EQ(channel.property, std::size_t{28});
    EXPECT_EQ(channel.code, 1282u);
    EXPECT_FALSE(channel.count.has_value()) << "without a count every matching call fails";

    EXPECT_EQ(scenario.failures[2].code, 1u);
    EXPECT_EQ(scenario.failures[2].skip, 0u);
}

// A mistake is reported where it is: the JSON position of a syntax error, the JSON pointer
// of a bad value.
TEST(ScenarioJson, ErrorsSayWhereAndWhy)
{
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"{\"current\": 1,\n \"connections\": [}", "line 2, column 18"},
        {"{\"current\": ", "line 1, column 13"},
        {"", "line 1, column 1"},
        {"[]", "at /: expected an object"},
        {R"({"connections": [{"channels": []}]})", "at /connections/0/schid: missing"},
        {R"({"connections": [{"schid": -1}]})", "at /connections/0/schid: expected an integer from 0 to"},
        {R"({"connections": [{"schid": 18446744073709551616}]})",
         "at /connections/0/schid: expected an integer"},
        {R"({"connections": [{"schid": 1.5}]})", "at /connections/0/schid: expected an integer"},
        {R"({"connections": [{"schid": 1, "clients": [{"id": 65536}]}]})",
         "at /connections/0/clients/0/id: expected an integer from 0 to 65535"},
        {R"({"connections": [{"schid": 1, "clients": [{"id": 1}, {"id": 2, "nickName": "x"}]}]})",
         "at /connections/0/clients/1/nickName: unknown field"},
        {R"({"connections": [{"schid": 1, "clients": [{"id": 1, "talking": 2147483648}]}]})",
         "at /connections/0/clients/0/talking: expected an integer from -2147483648 to 2147483647"},
        {R"({"connections": [{"schid": 1, "clients": [{"id": 1, "listed": 1}]}]})",
         "at /connections/0/clients/0/listed: expected true or false"},
        {R"({"connections": [{"schid": 1, "channels": [{"id": 1, "props": {"x9": 1}}]}]})",
         "at /connections/0/channels/0/props/x9: expected a property number"},
        {R"({"connections": [{"schid": 1, "server": "Demo"}]})",
         "at /connections/0/server: expected an object"},
        {R"({"connections": {}})", "at /connections: expected an array"},
        {R"({"failures": [{"code": 1}]})", "at /failures/0/fn: missing"},
        {R"({"failures": [{"fn": "getClientVariableAsStrin"}]})", "at /failures/0/fn: not a host function"},
        {R"({"failures": [{"fn": "getClientList", "code": 0}]})",
         "at /failures/0/code: a failure needs a non-zero"},
        {R"({"bindings": {"g19-microphone": "mute"}})",
         "at /bindings/g19-microphone: not an action: \"mute\"; one of toggle-microphone,"},
        {R"({"remoteAppsKeys": "k"})", "at /remoteAppsKeys: expected an array"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(parseError(c.text).find(c.expected), std::string::npos)
            << "input: " << c.text << "\nerror: " << parseError(c.text);
    }
}

// Enough to compare a scenario with its copy read back.
void expectSameScenario(const sim::Scenario& a, const sim::Scenario& b)
{
    EXPECT_EQ(a.model.current, b.model.current);
    ASSERT_EQ(a.model.connections.size(), b.model.connections.size());
    for (std::size_t c = 0; c < a.model.connections.size(); ++c) {
        const sim::Connection& x = a.model.connections[c];
        const sim::Connection& y = b.model.connections[c];
        EXPECT_EQ(x.schid, y.schid);
        EXPECT_EQ(x.serverName, y.serverName);
        EXPECT_EQ(x.roundTripMs, y.roundTripMs);
        EXPECT_EQ(x.self, y.self);
        ASSERT_EQ(x.channels.size(), y.channels.size());
        for (std::size_t i = 0; i < x.channels.size(); ++i) {
            EXPECT_EQ(x.channels[i].id, y.channels[i].id);
            EXPECT_EQ(x.channels[i].name, y.channels[i].name);
            EXPECT_EQ(x.channels[i].parent, y.channels[i].parent);
            EXPECT_EQ(x.channels[i].ints, y.channels[i].ints);
        }
        ASSERT_EQ(x.clients.size(), y.clients.size());
        for (std::size_t i = 0; i < x.clients.size(); ++i) {
            EXPECT_EQ(x.clients[i].id, y.clients[i].id);
            EXPECT_EQ(x.clients[i].nickname, y.clients[i].nickname);
            EXPECT_EQ(x.clients[i].channel, y.clients[i].channel);
            EXPECT_EQ(x.clients[i].ints, y.clients[i].ints);
            EXPECT_EQ(x.clients[i].listed, y.clients[i].listed);
        }
    }
    EXPECT_EQ(a.model.bindings, b.model.bindings);
    EXPECT_EQ(a.remoteAppsKeys, b.remoteAppsKeys);
    ASSERT_EQ(a.failures.size(), b.failures.size());
    for (std::size_t i = 0; i < a.failures.size(); ++i) {
        const sim::FailureRule& x = a.failures[i];
        const sim::FailureRule& y = b.failures[i];
        EXPECT_EQ(x.fn, y.fn);
        EXPECT_EQ(x.code, y.code);
        EXPECT_EQ(x.schid, y.schid);
        EXPECT_EQ(x.client, y.client);
        EXPECT_EQ(x.channel, y.channel);
        EXPECT_EQ(x.property, y.property);
        EXPECT_EQ(x.skip, y.skip);
        EXPECT_EQ(x.count, y.count);
    }
}

TEST(ScenarioJson, WrittenScenarioReadsBackUnchanged)
{
    sim::Scenario scenario;
    scenario.model.current = MAX_ID;
    sim::Connection connection;
    connection.schid = MAX_ID;
    connection.serverName = "Caf\xc3\xa9 \"quoted\"";
    connection.roundTripMs = 4294967295u;
    connection.self = 65535;
    connection.channels.push_back({1ull << 32, "Top", 0, {{28, -5}, {8, 2}, {12, 1}, {99, 3}}});
    connection.channels.push_back({2, "", 1ull << 32, {}});
    sim::Client client;
    client.id = 65535;
    client.nickname = "abc";
    client.channel = 1ull << 32;
    client.ints = {{4, 1}, {5, 0}, {43, 65537}, {57, 1}, {1000, std::numeric_limits<int>::min()}};
    client.listed = false;
    connection.clients.push_back(client);
    connection.clients.push_back(sim::Client{});
    scenario.model.connections.push_back(connection);
    scenario.model.connections.push_back(sim::Connection{});

    sim::FailureRule everything;
    everything.fn = "banclient";
    everything.code = 7;
    everything.schid = MAX_ID;
    everything.client = 3;
    everything.channel = 0;
    everything.property = 46;
    everything.skip = 4;
    everything.count = 0;
    scenario.failures.push_back(everything);
    sim::FailureRule plain;
    plain.fn = "freeMemory";
    scenario.failures.push_back(plain);
    scenario.model.bindings = {{"g19-away", sim::UserAction::TOGGLE_AWAY},
                               {"a/b~c", sim::UserAction::DISCONNECT},
                               {"x", sim::UserAction::REQUEST_TALK_POWER},
                               {"y", sim::UserAction::TOGGLE_MICROPHONE},
                               {"z", sim::UserAction::TOGGLE_SPEAKERS}};
    scenario.remoteAppsKeys = std::vector<std::string>{"0123abcd", ""};

    const std::string text = sim::dumpJson(sim::scenarioToJson(scenario));
    expectSameScenario(parsed(text), scenario);
    // Left out, the keys stay unset: loading the scenario keeps the keys known.
    scenario.remoteAppsKeys.reset();
    EXPECT_FALSE(parsed(sim::dumpJson(sim::scenarioToJson(scenario))).remoteAppsKeys.has_value());
}

// Keys in the documented order: time, function, arguments, result code, value.
TEST(CallLogJson, ArgumentsAndResultsAppearUnderTheirKeys)
{
    sim::Call ban;
    ban.fn = "banclient";
    ban.schid = MAX_ID;
    ban.client = 7;
    ban.seconds = 600;
    ban.reason = "";
    ban.takesReturnCode = true;
    ban.returnCode = "g19sim-3";
    EXPECT_EQ(
        sim::callToJson(ban, 12.5),
        ordered_json::parse(R"({"t_ms": 12.5, "fn": "banclient", "schid": 18446744073709551615, "client": 7,
                              "reason": "", "seconds": 600, "returnCode": "g19sim-3", "ret": 0})"));

    sim::Call move;
    move.fn = "requestClientMove";
    move.schid = 1;
    move.client = 2;
    move.channel = 1ull << 32;
    move.password = "";
    move.takesReturnCode = true;
    move.ret = 0x200;
    EXPECT_EQ(sim::callToJson(move, 0),
              ordered_json::parse(R"({"t_ms": 0, "fn": "requestClientMove", "schid": 1, "client": 2,
                              "channel": 4294967296, "password": "", "returnCode": null, "ret": 512})"));

    sim::Call list;
    list.fn = "getChannelList";
    list.schid = 1;
    list.value = std::vector<std::uint64_t>{1, 1ull << 32};
    EXPECT_EQ(sim::callToJson(list, 1).at("value"), ordered_json::parse("[1, 4294967296]"));

    sim::Call code;
    code.fn = "createReturnCode";
    code.value = std::string("g19sim-1");
    const ordered_json codeLine = sim::callToJson(code, 1);
    EXPECT_TRUE(codeLine.at("pluginID").is_null());
    EXPECT_EQ(codeLine.at("value"), "g19sim-1");
    EXPECT_FALSE(codeLine.contains("returnCode"));

    sim::Call release;
    release.fn = "freeMemory";
    release.released = "clientList";
    EXPECT_EQ(sim::callToJson(release, 1).at("released"), "clientList");

    sim::Call talking;
    talking.fn = "getClientVariableAsInt";
    talking.property = 4;
    talking.value = std::int64_t{-1};
    EXPECT_EQ(sim::callToJson(talking, 1).at("value"), -1);
}

TEST(CallLogJson, HostBytesThatAreNotUtf8StillMakeALine)
{
    sim::Call nickname;
    nickname.fn = "getClientVariableAsString";
    nickname.value = std::string("ab\xff\xfe");
    std::string line;
    ASSERT_NO_THROW(line = sim::dumpJson(sim::callToJson(nickname, 1)));
    EXPECT_EQ(ordered_json::parse(line).at("value"), "ab\xef\xbf\xbd\xef\xbf\xbd");
}

}  // namespace
