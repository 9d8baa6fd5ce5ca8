// The bridge's host against the simulated client: after the same state arrives through Remote
// Apps messages, the request path answers 02, 03 and 05 with the same bytes from both hosts;
// and the display's actions become the presses the client's hotkeys need, and nothing else.

#include "bridge/bridge_host.h"
#include "g19/version.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Bytes answer(const TS3Functions& host, const Bytes& request)
{
    std::ostringstream diagnostics;
    const RequestContext context{host, G19_VERSION, [](std::chrono::milliseconds) {}, diagnostics};
    const Packet packet = processRequest(context, request.data(), static_cast<std::int32_t>(request.size()));
    return Bytes(packet.data(), packet.data() + packet.size());
}

json channel(const json& id, const json& parent, const std::string& name, const json& extra = json::object())
{
    json properties = {{"name", name}};
    properties.update(extra);
    return {{"id", id}, {"parentId", parent}, {"order", "0"}, {"properties", properties}};
}

json client(int id, const json& channelId, const std::string& nickname, const json& extra = json::object())
{
    json properties = {{"nickname", nickname}, {"inputMuted", false}, {"outputMuted", false}, {"away", false}};
    properties.update(extra);
    return {{"id", id}, {"channelId", channelId}, {"properties", properties}};
}

json connection(int id, int self, const std::string& name, json roots, json sub, json clients)
{
    return {{"id", id},
            {"clientId", self},
            {"status", 4},
            {"properties", {{"name", name}}},
            {"channelInfos", {{"rootChannels", std::move(roots)}, {"subChannels", std::move(sub)}}},
            {"clientInfos", std::move(clients)}};
}

json event(const std::string& type, int connectionId, json payload)
{
    payload["connectionId"] = connectionId;
    return {{"type", type}, {"payload", std::move(payload)}};
}

json status(int connectionId, int value, json info = nullptr)
{
    return event("connectStatusChanged", connectionId, {{"status", value}, {"error", 0}, {"info", std::move(info)}});
}

// A snapshot as the `auth` answer carries it.
json snapshot(json connections)
{
    return {{"type", "auth"}, {"payload", {{"apiKey", "k"}, {"connections", std::move(connections)}}}};
}

sim::Client simClient(anyID id, const std::string& nickname, uint64 channel, sim::IntProperties ints = {})
{
    return sim::Client{id, nickname, channel, std::move(ints), true};
}

// One connected tab: Lobby, and Games > Raid > Deep, with the own client 2 and Ann.
json threeDeep(int id, const json& deepId)
{
    return connection(id, 2, "Tab " + std::to_string(id),
                      json::array({channel("1", "0", "Lobby"), channel(2, 0, "Games", {{"neededTalkPower", 5}})}),
                      {{"2", json::array({channel("3", "2", "Raid", {{"flagPassword", true}})})},
                       {"3", json::array({channel(deepId, "3", "Deep")})}},
                      json::array({client(2, "1", "Me", {{"inputHardware", id == 1}}),
                                   client(3, 3, "Ann", {{"flagTalking", true}, {"away", true}})}));
}

sim::Connection threeDeepModel(uint64 id, uint64 deepId)
{
    return sim::Connection{id,
                           "Tab " + std::to_string(id),
                           2,
                           {{1, "Lobby", 0, {}},
                            {2, "Games", 0, {{CHANNEL_NEEDED_TALK_POWER, 5}}},
                            {3, "Raid", 2, {{CHANNEL_FLAG_PASSWORD, 1}}},
                            {deepId, "Deep", 3, {}}},
                           {simClient(2, "Me", 1), simClient(3, "Ann", 3, {{CLIENT_FLAG_TALKING, 1}, {CLIENT_AWAY, 1}})}};
}

struct MirrorCase {
    const char* name;
    std::vector<json> messages;
    sim::Model expected;
};

// Messages the mirror must ignore wherever they come: none of them may change an answer.
std::vector<json> noise()
{
    return {json::array({1, 2}),
            json("text"),
            {{"type", 5}},
            {{"type", "talkStatusChanged"}, {"payload", "none"}},
            event("talkStatusChanged", 99, {{"clientId", 3}, {"status", 0}}),
            event("talkStatusChanged", 1, {{"clientId", 77}, {"status", 0}}),
            event("talkStatusChanged", 1, {{"clientId", "x3"}, {"status", 0}}),
            event("clientMoved", 1, {{"clientId", -3}, {"oldChannelId", "1"}, {"newChannelId", "0"}}),
            event("clientPropertiesUpdated", 1, {{"clientId", 3}, {"properties", {{"away", "yes"}}}}),
            event("channelDeleted", 1, {{"channelId", 1.5}}),
            event("groupInfo", 1, {{"groups", json::array()}}),
            event("connectStatusChanged", 1, {{"status", 9}})};
}

std::vector<MirrorCase> mirrorCases()
{
    std::vector<MirrorCase> cases;
    cases.push_back({"snapshot with string and number IDs at every depth",
                     {snapshot(json::array({threeDeep(1, "4294967296")}))},
                     {1, {threeDeepModel(1, 4294967296ull)}}});

    json nullSub = threeDeep(1, "4");
    nullSub["channelInfos"]["subChannels"] = nullptr;
    sim::Connection flat = threeDeepModel(1, 4);
    flat.channels.resize(2);
    cases.push_back({"null subChannels", {snapshot(json::array({nullSub}))}, {1, {flat}}});

    // The documented connect sequence, with the clients before the tree that holds them.
    const json tab = threeDeep(1, "4");
    std::vector<json> connect = {status(1, 1), status(1, 2, {{"clientId", 2}, {"serverName", "Tab 1"}}), status(1, 3)};
    for (const json& c : tab["clientInfos"]) {
        connect.push_back(event("clientMoved", 1,
                                {{"clientId", c["id"]},
                                 {"oldChannelId", "0"},
                                 {"newChannelId", c["channelId"]},
                                 {"properties", c["properties"]}}));
    }
    connect.push_back(event("channels", 1, {{"info", tab["channelInfos"]}}));
    connect.push_back(status(1, 4));
    cases.push_back({"moves before channels", connect, {1, {threeDeepModel(1, 4)}}});

    std::vector<json> switching = {snapshot(json::array({threeDeep(1, "4"), threeDeep(2, "4")})),
                                   event("clientSelfPropertyUpdated", 1,
                                         {{"flag", "inputHardware"}, {"oldValue", true}, {"newValue", false}}),
                                   event("clientSelfPropertyUpdated", 2,
                                         {{"flag", "inputHardware"}, {"oldValue", false}, {"newValue", true}})};
    cases.push_back({"tab switching follows the capture device",
                     switching,
                     {2, {threeDeepModel(1, 4), threeDeepModel(2, 4)}}});

    // Without a capture device anywhere, the tab established last is in front.
    json idle1 = threeDeep(1, "4");
    idle1["clientInfos"][0]["properties"]["inputHardware"] = false;
    std::vector<json> established = {snapshot(json::array({idle1})), status(2, 1),
                                     status(2, 2, {{"clientId", 2}, {"serverName", "Two"}}), status(2, 4)};
    cases.push_back({"no capture device: the tab established last",
                     established,
                     {2, {threeDeepModel(1, 4), sim::Connection{2, "Two", 2, {}, {}}}}});

    // An orphan (its parent 99 is unknown) keeps its place at the top level, before a channel
    // created after it; 21 and 22 are each other's parent and still listed, in arrival order.
    const json stray = connection(
        1, 2, "Stray", json::array({channel("1", "0", "Lobby")}),
        {{"21", json::array({channel("22", "21", "Loop B")})},
         {"22", json::array({channel("21", "22", "Loop A")})},
         {"99", json::array({channel("5", "99", "Orphan")})}},
        json::array({client(2, "1", "Me", {{"inputHardware", true}})}));
    cases.push_back({"orphans and a parent cycle",
                     {snapshot(json::array({stray})),
                      event("channelCreated", 1, {{"channelId", "8"}, {"parentId", "0"}, {"properties", {{"name", "Later"}}}})},
                     {1,
                      {sim::Connection{1,
                                       "Stray",
                                       2,
                                       {{1, "Lobby", 0, {}},
                                        {5, "Orphan", 99, {}},
                                        {8, "Later", 0, {}},
                                        {22, "Loop B", 21, {}},
                                        {21, "Loop A", 22, {}}},
                                       {simClient(2, "Me", 1)}}}}});

    std::vector<json> away = {snapshot(json::array({threeDeep(1, "4")})), status(1, 0)};
    cases.push_back({"disconnected: no server", away, {0, {}}});
    away.insert(away.end(), connect.begin(), connect.end());
    cases.push_back({"disconnect and reconnect", away, {1, {threeDeepModel(1, 4)}}});

    sim::Connection changed = threeDeepModel(1, 4);
    changed.serverName = "Renamed";
    changed.clients[1].ints[CLIENT_FLAG_TALKING] = 0;
    changed.clients[1].ints[CLIENT_IS_TALKER] = 1;
    changed.clients[1].ints[CLIENT_TALK_REQUEST] = 1765432100;
    changed.clients[1].channel = 1;
    changed.clients.push_back(simClient(9, "Joe", 3, {{CLIENT_IS_RECORDING, 1}, {CLIENT_IS_MUTED, 1}}));
    changed.channels.erase(changed.channels.begin() + 3);  // Deep goes, then comes back under Lobby as Hall
    changed.channels.insert(changed.channels.begin() + 1, {4, "Hall", 1, {{CHANNEL_ORDER, 7}}});
    changed.channels.push_back({8, "New", 0, {}});
    cases.push_back({"events",
                     {snapshot(json::array({threeDeep(1, "4")})),
                      event("talkStatusChanged", 1, {{"clientId", 3}, {"status", 0}}),
                      // Talking while muted: nothing is heard, the light stays off.
                      event("talkStatusChanged", 1, {{"clientId", 2}, {"status", 2}}),
                      event("clientPropertiesUpdated", 1,
                            {{"clientId", 3}, {"properties", {{"isTalker", true}, {"talkRequest", 1765432100}}}}),
                      event("clientMoved", 1, {{"clientId", 3}, {"oldChannelId", "3"}, {"newChannelId", "1"}}),
                      event("clientMoved", 1,
                            {{"clientId", 9},
                             {"oldChannelId", "0"},
                             {"newChannelId", "3"},
                             {"properties", {{"nickname", "Joe"}, {"isRecording", true}, {"isMuted", 1}}}}),
                      event("clientMoved", 1,
                            {{"clientId", 10}, {"oldChannelId", "0"}, {"newChannelId", "3"}, {"properties", json::object()}}),
                      event("clientMoved", 1, {{"clientId", 10}, {"oldChannelId", "3"}, {"newChannelId", "0"}}),
                      event("serverPropertiesUpdated", 1, {{"properties", {{"name", "Renamed"}}}}),
                      event("channelMoved", 1, {{"channelId", "4"}, {"parentId", "1"}, {"order", "7"}}),
                      event("channelEdited", 1, {{"channelId", "4"}, {"properties", {{"name", "Hall"}}}}),
                      event("channelCreated", 1, {{"channelId", "8"}, {"parentId", "0"}, {"properties", {{"name", "New"}}}}),
                      event("channelCreated", 1, {{"channelId", "11"}, {"parentId", "8"}, {"properties", {{"name", "Gone"}}}}),
                      event("channelDeleted", 1, {{"channelId", "8"}}),
                      event("channelCreated", 1, {{"channelId", "8"}, {"parentId", "0"}, {"properties", {{"name", "New"}}}})},
                     {1, {changed}}});
    return cases;
}

class BridgeHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bridge::resetHost();
        bridge::setEvents({[this](const char* button) { presses.emplace_back(button); },
                           [this](const std::string& line) { notices.push_back(line); }});
        sim::reset();
        sim::setLogging(false);
    }
    void TearDown() override
    {
        bridge::setEvents({});
        const bridge::HostMemoryCounts memory = bridge::hostMemory();
        EXPECT_EQ(memory.allocated, memory.released) << "host memory leaked";
    }

    void feed(const std::vector<json>& messages)
    {
        for (const json& message : messages) {
            bridge::updateMirror([&](bridge::Mirror& mirror) {
                if (message.is_object() && message.value("type", json()) == "auth") {
                    mirror.replace(message["payload"]["connections"]);
                } else {
                    mirror.apply(message);
                }
            });
        }
    }

    const TS3Functions bridgeHost = bridge::functionTable();
    const TS3Functions simHost = sim::functionTable();
    std::vector<std::string> presses;
    std::vector<std::string> notices;
};

TEST_F(BridgeHostTest, AnswersAsTheSimulatedClientInTheSameState)
{
    for (const MirrorCase& c : mirrorCases()) {
        SCOPED_TRACE(c.name);
        for (const bool noisy : {false, true}) {
            bridge::resetHost();
            std::vector<json> messages = c.messages;
            if (noisy) {
                // After the snapshot (before it the mirror is empty anyway) and at the end.
                const std::vector<json> extra = noise();
                messages.insert(messages.begin() + 1, extra.begin(), extra.end());
                messages.insert(messages.end(), extra.begin(), extra.end());
            }
            feed(messages);
            sim::setModel(c.expected);
            for (const std::uint8_t command : {0x02, 0x03, 0x05}) {
                EXPECT_EQ(answer(bridgeHost, {command}), answer(simHost, {command}))
                    << "command " << int(command) << (noisy ? " with noise" : "");
            }
        }
    }
}

TEST_F(BridgeHostTest, ActionsBecomeOnePressOfTheirButton)
{
    struct Case {
        Bytes request;
        std::vector<std::string> pressed;  // with the own state known
        std::vector<std::string> pressedUnknown;  // with the own flags never reported
    };
    const std::vector<Case> cases = {
        {{0x04, 0x01}, {"g19-disconnect"}, {"g19-disconnect"}},
        {{0x04, 0x02}, {"g19-microphone"}, {}},
        {{0x04, 0x03}, {"g19-away"}, {}},
        {{0x04, 0x04}, {"g19-speakers"}, {}},
        {{0x04, 0x05}, {"g19-talk-power"}, {"g19-talk-power"}},
        {{0x04, 0x06}, {}, {}},
        {{0x04, 0x07, 0, 0, 0, 3, 0, 0}, {}, {}},
        {{0x04, 0x08, 0, 3}, {}, {}},
        {{0x04, 0x09, 0, 3}, {}, {}},
        {{0x04, 0x0A, 0, 3, 0, 0, 0, 60}, {}, {}},
        {{0x04, 0x0B, 0, 3, 0, 0, 0, 1}, {}, {}},
    };
    json unknown = threeDeep(1, "4");
    unknown["clientInfos"][0]["properties"] = {{"nickname", "Me"}, {"inputHardware", true}};
    for (const bool known : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::PrintToString(c.request));
            bridge::resetHost();
            feed({snapshot(json::array({known ? threeDeep(1, "4") : unknown}))});
            presses.clear();
            answer(bridgeHost, c.request);
            EXPECT_EQ(presses, known ? c.pressed : c.pressedUnknown) << (known ? "own state known" : "unknown");
        }
    }
    // With no server in front nothing is pressed at all.
    bridge::resetHost();
    presses.clear();
    for (const Case& c : cases) {
        answer(bridgeHost, c.request);
    }
    EXPECT_TRUE(presses.empty());
}

TEST_F(BridgeHostTest, TalkPowerPressesOncePerRequestAlsoWhilePending)
{
    json pending = threeDeep(1, "4");
    pending["clientInfos"][0]["properties"]["talkRequest"] = 1765432100;
    for (const json& tab : {threeDeep(1, "4"), pending}) {
        bridge::resetHost();
        feed({snapshot(json::array({tab}))});
        presses.clear();
        answer(bridgeHost, {0x04, 0x05});
        answer(bridgeHost, {0x04, 0x05});
        EXPECT_EQ(presses, (std::vector<std::string>{"g19-talk-power", "g19-talk-power"}));
    }
}

TEST_F(BridgeHostTest, WhatCannotBeDoneIsSaidOncePerKind)
{
    feed({snapshot(json::array({threeDeep(1, "4")}))});
    for (int round = 0; round < 2; ++round) {
        answer(bridgeHost, {0x04, 0x07, 0, 0, 0, 3, 0, 0});  // move yourself
        answer(bridgeHost, {0x04, 0x0B, 0, 3, 0, 0, 0, 1});  // move another client
        answer(bridgeHost, {0x04, 0x08, 0, 3});
        answer(bridgeHost, {0x04, 0x09, 0, 3});
        answer(bridgeHost, {0x04, 0x0A, 0, 3, 0, 0, 0, 60});
    }
    ASSERT_EQ(notices.size(), 5u);
    EXPECT_NE(notices[0].find("04 07"), std::string::npos);
    EXPECT_NE(notices[1].find("04 0B"), std::string::npos);
    EXPECT_TRUE(presses.empty());
}

// The own state arrives as clientPropertiesUpdated of the own client, which the 6 series sends
// for changes that come as no clientSelfPropertyUpdated, or as the self event: from either,
// the toggles read what was told and act.
TEST_F(BridgeHostTest, TogglesActOnceEitherEventToldTheOwnState)
{
    const json told = {{"inputMuted", true}, {"outputMuted", false}, {"away", true}};
    std::vector<json> selfEvents;
    for (const auto& [flag, value] : told.items()) {
        selfEvents.push_back(event("clientSelfPropertyUpdated", 1,
                                   {{"flag", flag}, {"oldValue", !value.get<bool>()}, {"newValue", value}}));
    }
    const std::vector<std::pair<const char*, std::vector<json>>> cases = {
        {"clientPropertiesUpdated",
         {event("clientPropertiesUpdated", 1, {{"clientId", 2}, {"properties", told}})}},
        {"clientSelfPropertyUpdated", selfEvents},
    };
    json untold = threeDeep(1, "4");
    untold["clientInfos"][0]["properties"] = {{"nickname", "Me"}, {"inputHardware", true}};
    for (const auto& [name, events] : cases) {
        SCOPED_TRACE(name);
        bridge::resetHost();
        feed({snapshot(json::array({untold}))});
        feed(events);
        presses.clear();
        for (const std::uint8_t toggle : {0x02, 0x03, 0x04}) {
            answer(bridgeHost, {0x04, toggle});
        }
        EXPECT_EQ(presses, (std::vector<std::string>{"g19-microphone", "g19-away", "g19-speakers"}));
        for (const auto& [property, expected] :
             {std::pair{CLIENT_INPUT_MUTED, 1}, {CLIENT_OUTPUT_MUTED, 0}, {CLIENT_AWAY, 1}}) {
            int value = -1;
            EXPECT_EQ(bridgeHost.getClientSelfVariableAsInt(1, property, &value), 0u) << property;
            EXPECT_EQ(value, expected) << property;
        }
    }
}

// A `channels` event whose tree cannot be read is bad input: the tree stays as it was.
TEST_F(BridgeHostTest, ChannelsThatCannotBeReadLeaveTheTreeAsItWas)
{
    const json roots = json::array({channel("1", "0", "Lobby")});
    struct Case {
        const char* name;
        json info;
        bool readable;
    };
    const std::vector<Case> cases = {
        {"rootChannels a string, subChannels a number", {{"rootChannels", "x"}, {"subChannels", 5}}, false},
        {"rootChannels an object", {{"rootChannels", {{"1", roots}}}, {"subChannels", nullptr}}, false},
        {"rootChannels null", {{"rootChannels", nullptr}, {"subChannels", {{"1", roots}}}}, false},
        {"rootChannels missing", {{"subChannels", {{"1", roots}}}}, false},
        {"subChannels an array", {{"rootChannels", roots}, {"subChannels", json::array({roots})}}, false},
        {"subChannels a string", {{"rootChannels", roots}, {"subChannels", "{}"}}, false},
        {"subChannels false", {{"rootChannels", roots}, {"subChannels", false}}, false},
        {"info an array", json::array({roots}), false},
        {"info null", nullptr, false},
        // The forms it reads, so that a tree kept is told from one that was never replaced.
        {"subChannels null", {{"rootChannels", roots}, {"subChannels", nullptr}}, true},
        {"subChannels missing", {{"rootChannels", roots}}, true},
        {"no channels at all", {{"rootChannels", json::array()}, {"subChannels", json::object()}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bridge::resetHost();
        feed({snapshot(json::array({threeDeep(1, "4")}))});
        const Bytes before = answer(bridgeHost, {0x03});
        std::string why;
        bridge::updateMirror([&](bridge::Mirror& mirror) {
            why = mirror.apply(event("channels", 1, {{"info", c.info}}));
        });
        if (c.readable) {
            EXPECT_EQ(why, "");
            EXPECT_NE(answer(bridgeHost, {0x03}), before);
        } else {
            EXPECT_NE(why, "");
            EXPECT_EQ(answer(bridgeHost, {0x03}), before);
        }
    }
}

// The client closes the capture device in the old tab before it opens it in the new one, and
// tells it only as clientPropertiesUpdated: in between, the tab in front stays where it was.
// The messages come in the 6 series' shapes, which the mirror reads without a complaint.
TEST_F(BridgeHostTest, TheTabInFrontStaysThroughTheCaptureHandover)
{
    const auto capture = [](int tab, bool open) {
        return event("clientPropertiesUpdated", tab,
                     {{"clientId", 2}, {"properties", {{"inputHardware", open}}}});
    };
    const auto connect = [](int tab, bool open) {
        const json own = {{"clientId", 2}};
        const json tree = threeDeep(tab, "4")["channelInfos"];
        return std::vector<json>{
            event("connectStatusChanged", tab,
                  {{"status", 1}, {"error", 0}, {"hotReload", false}, {"info", nullptr}}),
            event("connectStatusChanged", tab,
                  {{"status", 2},
                   {"error", 0},
                   {"hotReload", false},
                   {"info",
                    {{"clientId", 2},
                     {"legacyUUID", "bGVnYWN5"},
                     {"serverName", "Tab"},
                     {"serverUid", "dWlk"}}}}),
            event("connectStatusChanged", tab,
                  {{"status", 3}, {"error", 0}, {"hotReload", false}, {"info", own}}),
            event("clientMoved", tab,
                  {{"clientId", 2},
                   {"oldChannelId", "0"},
                   {"newChannelId", "1"},
                   {"type", 0},
                   {"visibility", 0},
                   {"hotReload", false},
                   {"message", ""},
                   {"properties", {{"nickname", "Me"}, {"inputHardware", open}}}}),
            event("channels", tab, {{"info", tree}, {"hotReload", false}}),
            event("connectStatusChanged", tab,
                  {{"status", 4}, {"error", 0}, {"hotReload", false}, {"info", own}}),
        };
    };
    const auto disconnect = [](int tab) {
        return event("connectStatusChanged", tab,
                     {{"status", 0}, {"error", 0}, {"hotReload", false}, {"info", nullptr}});
    };
    // Another client moves and leaves in every way there is: 1 moves, 2 is moved, 3 times out,
    // 4 is kicked from the channel, 5 from the server, 6 is banned.
    std::vector<json> others = {event("clientMoved", 2,
                                      {{"clientId", 3},
                                       {"oldChannelId", "0"},
                                       {"newChannelId", "1"},
                                       {"type", 0},
                                       {"visibility", 0},
                                       {"properties", {{"nickname", "Ann"}}}})};
    for (int type = 1; type <= 6; ++type) {
        const bool leaves = type == 3 || type >= 5;
        const json invoker = {{"id", 9}, {"nickname", "Admin"}, {"uid", "YWRtaW4="}};
        others.push_back(event("clientMoved", 2,
                               {{"clientId", 3},
                                {"oldChannelId", "1"},
                                {"newChannelId", leaves ? "0" : "1"},
                                {"type", type},
                                {"visibility", leaves ? 1 : 0},
                                {"hotReload", false},
                                {"message", "bye"},
                                {"invoker", type == 1 ? json(nullptr) : invoker},
                                {"properties", nullptr}}));
        if (leaves) {
            others.push_back(others.front());
        }
    }
    struct Step {
        const char* what;
        std::vector<json> messages;
        uint64 front;
    };
    const auto also = [](std::vector<json> first, const json& then) {
        first.insert(first.begin(), then);
        return first;
    };
    const std::vector<Step> steps = {
        {"no server yet", {snapshot(json::array())}, 0},
        {"the first tab connects with the capture device", connect(1, true), 1},
        {"a second tab connects; the first gave it up", also(connect(2, false), capture(1, false)), 1},
        {"the second opens it", {capture(2, true)}, 2},
        {"a third tab connects behind", connect(3, false), 2},
        {"others move about in the second", others, 2},
        {"back to the first: the second gives it up", {capture(2, false)}, 2},
        {"the first takes it", {capture(1, true)}, 1},
        {"the tab in front disconnects: the tab established last", {disconnect(1)}, 3},
        {"the second takes it", {capture(2, true)}, 2},
        {"every tab disconnects", {disconnect(2), disconnect(3)}, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        for (const json& message : step.messages) {
            bridge::updateMirror([&](bridge::Mirror& mirror) {
                if (message["type"] == "auth") {
                    EXPECT_TRUE(mirror.replace(message["payload"]["connections"]));
                } else {
                    EXPECT_EQ(mirror.apply(message), "") << message.dump();
                }
            });
        }
        EXPECT_EQ(bridgeHost.getCurrentServerConnectionHandlerID(), step.front);
    }
}

}  // namespace
