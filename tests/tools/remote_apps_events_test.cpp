// The simulated client as its Remote Apps interface shows it: the snapshot's shape, the
// order of a connect, and which events each kind of model change sends.

#include "remote_apps_events.h"

#include "host/properties.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using remote_apps::Message;

sim::Channel channel(uint64 id, const char* name, uint64 parent, int order)
{
    sim::Channel result{id, name, parent, {}};
    result.ints[CHANNEL_ORDER] = order;
    return result;
}

sim::Client client(anyID id, const char* nickname, uint64 channel, sim::IntProperties ints = {})
{
    return sim::Client{id, nickname, channel, std::move(ints), true};
}

// Two tabs, the first in front. The first's tree is listed children first, three levels deep,
// with a channel ID above 32 bits and a negative order; Query is not listed.
sim::Model twoTabs()
{
    sim::Connection first{1, "Alpha", 1, {}, {}, 0};
    sim::Channel deep = channel(4294967296, "Deep", 3, -1);
    deep.ints[CHANNEL_FLAG_PASSWORD] = 7;
    deep.ints[CHANNEL_NEEDED_TALK_POWER] = 25;
    first.channels = {deep, channel(3, "Raid", 2, 0), channel(1, "Lobby", 0, 0), channel(2, "Gaming", 0, 1),
                      channel(5, "Strategy", 2, 3)};
    first.clients = {client(1, "Me", 1),
                     client(2, "Alice", 4294967296,
                            {{CLIENT_FLAG_TALKING, 1}, {CLIENT_AWAY, 2}, {CLIENT_TALK_REQUEST, 1765432100}, {42, 50}}),
                     client(3, "Query", 1), client(4, "Bob", 3, {{CLIENT_IS_MUTED, 1}})};
    first.clients[2].listed = false;
    sim::Connection second{2, "Beta", 9, {channel(1, "Home", 0, 0)}, {client(9, "Me too", 1)}, 0};
    return sim::Model{1, {first, second}};
}

std::vector<std::string> typesOf(const std::vector<Message>& events)
{
    std::vector<std::string> types;
    for (const Message& event : events) {
        types.push_back(event.at("type").get<std::string>());
    }
    return types;
}

TEST(RemoteAppsEvents, AuthAnswerHoldsEveryTabWithItsFlatTreeAndListedClients)
{
    const Message answer = remote_apps::authAnswer(twoTabs(), "k3y");
    EXPECT_EQ(answer.at("type"), "auth");
    EXPECT_EQ(answer.at("status"), (Message{{"code", 0}, {"message", "ok"}}));
    EXPECT_EQ(answer.at("payload").at("apiKey"), "k3y");
    const Message& connections = answer.at("payload").at("connections");
    ASSERT_EQ(connections.size(), 2u);

    const Message& first = connections[0];
    EXPECT_EQ(first.at("id"), 1);
    EXPECT_EQ(first.at("clientId"), 1);
    EXPECT_EQ(first.at("status"), 4);
    EXPECT_EQ(first.at("properties").at("name"), "Alpha");
    EXPECT_NE(first.at("properties").at("uniqueIdentifier"), connections[1].at("properties").at("uniqueIdentifier"));

    const Message& tree = first.at("channelInfos");
    ASSERT_EQ(tree.at("rootChannels").size(), 2u);
    EXPECT_EQ(tree.at("rootChannels")[0].at("id"), "1");
    EXPECT_EQ(tree.at("rootChannels")[1].at("order"), "1");
    // One flat map for every depth, each parent's children in the model's order.
    const Message& sub = tree.at("subChannels");
    EXPECT_EQ(sub.size(), 2u);
    ASSERT_EQ(sub.at("2").size(), 2u);
    EXPECT_EQ(sub.at("2")[0].at("id"), "3");
    EXPECT_EQ(sub.at("2")[1].at("id"), "5");
    EXPECT_EQ(sub.at("3"), Message::parse(R"([{"id": "4294967296", "parentId": "3", "order": "4294967295",
        "properties": {"name": "Deep", "flagPassword": true, "neededTalkPower": 25}}])"));

    const Message& clients = first.at("clientInfos");
    ASSERT_EQ(clients.size(), 3u);  // Query is not listed
    EXPECT_EQ(clients[0].at("properties").at("inputHardware"), true);
    EXPECT_EQ(clients[1], Message::parse(R"({"id": 2, "channelId": "4294967296", "properties": {
        "nickname": "Alice", "flagTalking": true, "inputMuted": false, "outputMuted": false, "away": true,
        "isTalker": false, "isRecording": false, "isChannelCommander": false, "isMuted": false,
        "talkRequest": 1765432100, "talkPower": 50, "inputHardware": false}})"));
    EXPECT_EQ(clients[2].at("id"), 4);
    EXPECT_EQ(clients[2].at("properties").at("isMuted"), true);
    // The own client of a tab behind has no capture device open.
    EXPECT_EQ(connections[1].at("clientInfos")[0].at("properties").at("inputHardware"), false);
}

TEST(RemoteAppsEvents, ConnectSendsTheClientsBeforeTheChannels)
{
    const sim::Model model = twoTabs();
    const std::vector<Message> events = remote_apps::connectSequence(model, model.connections[0]);
    EXPECT_EQ(typesOf(events),
              (std::vector<std::string>{"connectStatusChanged", "connectStatusChanged", "connectStatusChanged",
                                        "clientMoved", "clientMoved", "clientMoved", "channels",
                                        "connectStatusChanged"}));
    std::vector<int> statuses;
    for (const Message& event : events) {
        EXPECT_EQ(event.at("payload").at("connectionId"), 1);
        if (event.at("type") == "connectStatusChanged") {
            statuses.push_back(event.at("payload").at("status").get<int>());
        }
    }
    EXPECT_EQ(statuses, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(events[1].at("payload").at("info"), (Message{{"clientId", 1}, {"serverName", "Alpha"}}));
    const Message& moved = events[4].at("payload");
    EXPECT_EQ(moved.at("clientId"), 2);
    EXPECT_EQ(moved.at("oldChannelId"), "0");
    EXPECT_EQ(moved.at("newChannelId"), "4294967296");
    EXPECT_EQ(moved.at("properties").at("nickname"), "Alice");
    EXPECT_EQ(events[6].at("payload").at("info"), remote_apps::authAnswer(model, "")
                                                      .at("payload")
                                                      .at("connections")[0]
                                                      .at("channelInfos"));
}

struct Change {
    const char* what;
    std::function<void(sim::Model&)> change;
    std::vector<std::string> types;
    std::function<void(const std::vector<Message>&)> check;
};

sim::Client& clientOf(sim::Model& model, std::size_t tab, anyID id)
{
    for (sim::Client& member : model.connections[tab].clients) {
        if (member.id == id) {
            return member;
        }
    }
    throw std::out_of_range("no such client");
}

TEST(RemoteAppsEvents, EachChangeSendsItsEvents)
{
    const std::string self = "clientSelfPropertyUpdated";
    const std::string props = "clientPropertiesUpdated";
    const std::vector<Change> changes = {
        {"nothing", [](sim::Model&) {}, {}, {}},
        {"another client talks",
         [](sim::Model& m) { clientOf(m, 0, 4).ints[CLIENT_FLAG_TALKING] = 1; },
         {"talkStatusChanged"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "clientId": 4, "status": 1,
                 "isWhisper": false})"));
         }},
        {"an unlisted client talks", [](sim::Model& m) { clientOf(m, 0, 3).ints[CLIENT_FLAG_TALKING] = 1; }, {}, {}},
        {"the own microphone is muted",
         [](sim::Model& m) { clientOf(m, 0, 1).ints[CLIENT_INPUT_MUTED] = 1; },
         {self, props},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "flag": "inputMuted",
                 "oldValue": false, "newValue": true})"));
             EXPECT_EQ(e[1]["payload"]["properties"]["inputMuted"], true);
         }},
        {"another client goes away", [](sim::Model& m) { clientOf(m, 0, 4).ints[CLIENT_AWAY] = 1; }, {props}, {}},
        {"a talk request arrives",
         [](sim::Model& m) { clientOf(m, 0, 4).ints[CLIENT_TALK_REQUEST] = 99; },
         {props},
         [](const std::vector<Message>& e) { EXPECT_EQ(e[0]["payload"]["properties"]["talkRequest"], 99); }},
        {"a client moves",
         [](sim::Model& m) { clientOf(m, 0, 4).channel = 5; },
         {"clientMoved"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "clientId": 4, "oldChannelId": "3",
                 "newChannelId": "5", "type": 0, "visibility": 0})"));
         }},
        {"a client joins",
         [](sim::Model& m) { m.connections[0].clients.push_back(client(7, "New", 5)); },
         {"clientMoved"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"]["oldChannelId"], "0");
             EXPECT_EQ(e[0]["payload"]["properties"]["nickname"], "New");
         }},
        {"a client leaves",
         [](sim::Model& m) { m.connections[0].clients.pop_back(); },
         {"clientMoved"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"]["oldChannelId"], "3");
             EXPECT_EQ(e[0]["payload"]["newChannelId"], "0");
             EXPECT_FALSE(e[0]["payload"].contains("properties"));
         }},
        {"the server is renamed",
         [](sim::Model& m) { m.connections[1].serverName = "Gamma"; },
         {"serverPropertiesUpdated"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 2, "properties": {"name": "Gamma"}})"));
         }},
        {"a channel with a subchannel is created, the child listed first",
         [](sim::Model& m) {
             m.connections[0].channels.push_back(channel(11, "Child", 10, 0));
             m.connections[0].channels.push_back(channel(10, "Parent", 0, 2));
         },
         {"channelCreated", "channelMoved", "channelCreated", "channelMoved"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "channelId": "10", "parentId": "0",
                 "properties": {"name": "Parent", "flagPassword": false, "neededTalkPower": 0}})"));
             EXPECT_EQ(e[1]["payload"], Message::parse(R"({"connectionId": 1, "channelId": "10", "parentId": "0",
                 "order": "2"})"));
             EXPECT_EQ(e[2]["payload"]["channelId"], "11");
         }},
        {"a channel is renamed",
         [](sim::Model& m) { m.connections[0].channels[1].name = "Raiders"; },
         {"channelEdited"},
         [](const std::vector<Message>& e) { EXPECT_EQ(e[0]["payload"]["properties"]["name"], "Raiders"); }},
        {"a channel sorts elsewhere",
         [](sim::Model& m) { m.connections[0].channels[4].ints[CHANNEL_ORDER] = 0; },
         {"channelMoved"},
         [](const std::vector<Message>& e) { EXPECT_EQ(e[0]["payload"]["channelId"], "5"); }},
        {"a channel moves to another parent, its order the same",
         [](sim::Model& m) { m.connections[0].channels[4].parent = 1; },
         {"channelMoved"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "channelId": "5", "parentId": "1",
                 "order": "3"})"));
         }},
        {"a channel and its subchannel go, their clients to the lobby",
         [](sim::Model& m) {
             std::vector<sim::Channel>& channels = m.connections[0].channels;
             channels.erase(channels.begin(), channels.begin() + 2);
             clientOf(m, 0, 2).channel = 1;
             clientOf(m, 0, 4).channel = 1;
         },
         {"clientMoved", "clientMoved", "channelDeleted", "channelDeleted"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[2]["payload"]["channelId"], "4294967296");
             EXPECT_EQ(e[3]["payload"]["channelId"], "3");
         }},
        {"the other tab comes in front",
         [](sim::Model& m) { m.current = 2; },
         {self, props, self, props},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "flag": "inputHardware",
                 "oldValue": true, "newValue": false})"));
             EXPECT_EQ(e[2]["payload"]["connectionId"], 2);
             EXPECT_EQ(e[2]["payload"]["newValue"], true);
         }},
        {"a tab disconnects",
         [](sim::Model& m) { m.connections.erase(m.connections.begin()); },
         {"connectStatusChanged"},
         [](const std::vector<Message>& e) {
             EXPECT_EQ(e[0]["payload"], Message::parse(R"({"connectionId": 1, "status": 0, "error": 0,
                 "info": null})"));
         }},
        {"a tab connects",
         [](sim::Model& m) { m.connections.push_back(sim::Connection{3, "New", 0, {}, {}, 0}); },
         {"connectStatusChanged", "connectStatusChanged", "connectStatusChanged", "channels", "connectStatusChanged"},
         {}},
    };
    for (const Change& row : changes) {
        SCOPED_TRACE(row.what);
        const sim::Model before = twoTabs();
        sim::Model after = before;
        row.change(after);
        const std::vector<Message> events = remote_apps::changeEvents(before, after);
        ASSERT_EQ(typesOf(events), row.types);
        for (const Message& event : events) {
            EXPECT_TRUE(event.at("payload").at("connectionId").is_number()) << event.dump();
        }
        if (row.check) {
            row.check(events);
        }
    }
}

}  // namespace
