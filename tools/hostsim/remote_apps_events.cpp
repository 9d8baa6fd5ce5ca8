#include "remote_apps_events.h"

#include "host/properties.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace remote_apps {
namespace {

// Held by the model as any int property, read by nothing in the plug-in: only this interface
// shows it.
constexpr std::size_t CLIENT_TALK_POWER = 42;

constexpr int STATUS_DISCONNECTED = 0;
constexpr int STATUS_CONNECTING = 1;
constexpr int STATUS_CONNECTED = 2;
constexpr int STATUS_ESTABLISHING = 3;
constexpr int STATUS_ESTABLISHED = 4;

// The own client's flags that also arrive as clientSelfPropertyUpdated.
constexpr const char* SELF_FLAGS[] = {"inputMuted", "outputMuted", "away", "inputHardware"};

int intOf(const sim::IntProperties& ints, std::size_t property)
{
    const auto it = ints.find(property);
    return it == ints.end() ? 0 : it->second;
}

bool flagOf(const sim::IntProperties& ints, std::size_t property)
{
    return intOf(ints, property) != 0;
}

std::string idText(std::uint64_t id)
{
    return std::to_string(id);
}

Message message(const char* type, Message payload)
{
    return Message{{"type", type}, {"payload", std::move(payload)}};
}

// Starts a payload with the connection it is about, as every event's does.
Message payloadFor(const sim::Connection& connection)
{
    return Message{{"connectionId", connection.schid}};
}

bool inFront(const sim::Model& model, const sim::Connection& connection, const sim::Client& client)
{
    // The client opens the capture device only for the tab in front.
    return connection.schid == model.current && client.id == connection.self;
}

Message clientProperties(const sim::Model& model, const sim::Connection& connection, const sim::Client& client)
{
    const sim::IntProperties& ints = client.ints;
    return Message{
        {"nickname", client.nickname},
        {"flagTalking", flagOf(ints, CLIENT_FLAG_TALKING)},
        {"inputMuted", flagOf(ints, CLIENT_INPUT_MUTED)},
        {"outputMuted", flagOf(ints, CLIENT_OUTPUT_MUTED)},
        {"away", flagOf(ints, CLIENT_AWAY)},
        {"isTalker", flagOf(ints, CLIENT_IS_TALKER)},
        {"isRecording", flagOf(ints, CLIENT_IS_RECORDING)},
        {"isChannelCommander", flagOf(ints, CLIENT_IS_CHANNEL_COMMANDER)},
        {"isMuted", flagOf(ints, CLIENT_IS_MUTED)},
        {"talkRequest", intOf(ints, CLIENT_TALK_REQUEST)},
        {"talkPower", intOf(ints, CLIENT_TALK_POWER)},
        {"inputHardware", inFront(model, connection, client)},
    };
}

Message channelProperties(const sim::Channel& channel)
{
    return Message{
        {"name", channel.name},
        {"flagPassword", flagOf(channel.ints, CHANNEL_FLAG_PASSWORD)},
        {"neededTalkPower", intOf(channel.ints, CHANNEL_NEEDED_TALK_POWER)},
    };
}

// The client keeps the order as a 64-bit ID; the model holds it in an int property.
std::string orderText(const sim::Channel& channel)
{
    return idText(static_cast<std::uint32_t>(intOf(channel.ints, CHANNEL_ORDER)));
}

Message channelInfo(const sim::Channel& channel)
{
    return Message{{"id", idText(channel.id)},
                   {"parentId", idText(channel.parent)},
                   {"order", orderText(channel)},
                   {"properties", channelProperties(channel)}};
}

// {"rootChannels", "subChannels"}: one flat map of every parent's children, at any depth.
Message channelTree(const sim::Connection& connection)
{
    Message roots = Message::array();
    Message children = Message::object();
    for (const sim::Channel& channel : connection.channels) {
        if (channel.parent == 0) {
            roots.push_back(channelInfo(channel));
        } else {
            children[idText(channel.parent)].push_back(channelInfo(channel));
        }
    }
    return Message{{"rootChannels", std::move(roots)}, {"subChannels", std::move(children)}};
}

Message connectStatus(const sim::Connection& connection, int status, Message info = nullptr)
{
    Message payload = payloadFor(connection);
    payload["status"] = status;
    payload["error"] = 0;
    payload["info"] = std::move(info);
    return message("connectStatusChanged", std::move(payload));
}

Message clientMoved(const sim::Connection& connection, anyID client, std::uint64_t from, std::uint64_t to)
{
    Message payload = payloadFor(connection);
    payload["clientId"] = client;
    payload["oldChannelId"] = idText(from);
    payload["newChannelId"] = idText(to);
    payload["type"] = 0;
    payload["visibility"] = 0;
    return message("clientMoved", std::move(payload));
}

Message clientAppeared(const sim::Model& model, const sim::Connection& connection, const sim::Client& client)
{
    Message event = clientMoved(connection, client.id, 0, client.channel);
    event["payload"]["properties"] = clientProperties(model, connection, client);
    return event;
}

// The first entry of each ID answers, as in the simulated host.
template <typename Item, typename Keep>
std::unordered_map<std::uint64_t, const Item*> byId(const std::vector<Item>& items, Keep&& keep)
{
    std::unordered_map<std::uint64_t, const Item*> found;
    for (const Item& item : items) {
        if (keep(item)) {
            found.emplace(item.id, &item);
        }
    }
    return found;
}

const sim::Connection* findConnection(const sim::Model& model, std::uint64_t schid)
{
    for (const sim::Connection& connection : model.connections) {
        if (connection.schid == schid) {
            return &connection;
        }
    }
    return nullptr;
}

// The channels of `subset` in their order, except that each comes after its parent when that
// is in `subset` too.
std::vector<const sim::Channel*> parentsFirst(const std::vector<const sim::Channel*>& subset)
{
    std::vector<const sim::Channel*> waiting = subset;
    std::vector<const sim::Channel*> ordered;
    std::unordered_set<std::uint64_t> pending;
    for (const sim::Channel* channel : waiting) {
        pending.insert(channel->id);
    }
    while (!waiting.empty()) {
        std::vector<const sim::Channel*> later;
        for (const sim::Channel* channel : waiting) {
            if (pending.count(channel->parent) != 0 && channel->parent != channel->id) {
                later.push_back(channel);
            } else {
                ordered.push_back(channel);
            }
        }
        if (later.size() == waiting.size()) {
            // A cycle of parents: nothing would ever come first.
            ordered.insert(ordered.end(), later.begin(), later.end());
            break;
        }
        for (const sim::Channel* channel : ordered) {
            pending.erase(channel->id);
        }
        waiting = std::move(later);
    }
    return ordered;
}

class ConnectionDiff {
public:
    ConnectionDiff(const sim::Model& beforeModel, const sim::Connection& before, const sim::Model& afterModel,
                   const sim::Connection& after, std::vector<Message>& events)
        : m_beforeModel(beforeModel), m_before(before), m_afterModel(afterModel), m_after(after), m_events(events)
    {
    }

    void run()
    {
        if (m_before.serverName != m_after.serverName) {
            Message payload = payloadFor(m_after);
            payload["properties"] = Message{{"name", m_after.serverName}};
            m_events.push_back(message("serverPropertiesUpdated", std::move(payload)));
        }
        const auto beforeChannels = byId(m_before.channels, [](const sim::Channel&) { return true; });
        const auto afterChannels = byId(m_after.channels, [](const sim::Channel&) { return true; });
        createdChannels(beforeChannels);
        changedChannels(beforeChannels);
        clients();
        deletedChannels(afterChannels);
    }

private:
    void channelMoved(const sim::Channel& channel)
    {
        Message payload = payloadFor(m_after);
        payload["channelId"] = idText(channel.id);
        payload["parentId"] = idText(channel.parent);
        payload["order"] = orderText(channel);
        m_events.push_back(message("channelMoved", std::move(payload)));
    }

    void createdChannels(const std::unordered_map<std::uint64_t, const sim::Channel*>& beforeChannels)
    {
        std::vector<const sim::Channel*> created;
        for (const sim::Channel& channel : m_after.channels) {
            if (beforeChannels.count(channel.id) == 0) {
                created.push_back(&channel);
            }
        }
        for (const sim::Channel* channel : parentsFirst(created)) {
            Message payload = payloadFor(m_after);
            payload["channelId"] = idText(channel->id);
            payload["parentId"] = idText(channel->parent);
            payload["properties"] = channelProperties(*channel);
            m_events.push_back(message("channelCreated", std::move(payload)));
            // channelCreated carries no order; this tells where the channel sorts.
            channelMoved(*channel);
        }
    }

    void changedChannels(const std::unordered_map<std::uint64_t, const sim::Channel*>& beforeChannels)
    {
        for (const sim::Channel& channel : m_after.channels) {
            const auto found = beforeChannels.find(channel.id);
            if (found == beforeChannels.end()) {
                continue;
            }
            const sim::Channel& old = *found->second;
            if (channelProperties(old) != channelProperties(channel)) {
                Message payload = payloadFor(m_after);
                payload["channelId"] = idText(channel.id);
                payload["properties"] = channelProperties(channel);
                m_events.push_back(message("channelEdited", std::move(payload)));
            }
            if (old.parent != channel.parent || orderText(old) != orderText(channel)) {
                channelMoved(channel);
            }
        }
    }

    void deletedChannels(const std::unordered_map<std::uint64_t, const sim::Channel*>& afterChannels)
    {
        std::vector<const sim::Channel*> deleted;
        for (const sim::Channel& channel : m_before.channels) {
            if (afterChannels.count(channel.id) == 0) {
                deleted.push_back(&channel);
            }
        }
        std::vector<const sim::Channel*> ordered = parentsFirst(deleted);
        for (auto it = ordered.rbegin(); it != ordered.rend(); ++it) {
            Message payload = payloadFor(m_after);
            payload["channelId"] = idText((*it)->id);
            m_events.push_back(message("channelDeleted", std::move(payload)));
        }
    }

    void clients()
    {
        const auto listed = [](const sim::Client& client) { return client.listed; };
        const auto beforeClients = byId(m_before.clients, listed);
        const auto afterClients = byId(m_after.clients, listed);
        for (const sim::Client& client : m_after.clients) {
            if (!client.listed) {
                continue;
            }
            const auto found = beforeClients.find(client.id);
            if (found == beforeClients.end()) {
                m_events.push_back(clientAppeared(m_afterModel, m_after, client));
            } else {
                changedClient(*found->second, client);
            }
        }
        for (const sim::Client& client : m_before.clients) {
            if (client.listed && afterClients.count(client.id) == 0) {
                m_events.push_back(clientMoved(m_after, client.id, client.channel, 0));
            }
        }
    }

    void changedClient(const sim::Client& old, const sim::Client& client)
    {
        if (old.channel != client.channel) {
            m_events.push_back(clientMoved(m_after, client.id, old.channel, client.channel));
        }
        const Message oldProperties = clientProperties(m_beforeModel, m_before, old);
        Message properties = clientProperties(m_afterModel, m_after, client);
        const bool talking = properties["flagTalking"].get<bool>();
        if (oldProperties["flagTalking"] != properties["flagTalking"]) {
            Message payload = payloadFor(m_after);
            payload["clientId"] = client.id;
            payload["status"] = talking ? 1 : 0;
            payload["isWhisper"] = false;
            m_events.push_back(message("talkStatusChanged", std::move(payload)));
        }
        if (client.id == m_after.self) {
            for (const char* flag : SELF_FLAGS) {
                if (oldProperties[flag] != properties[flag]) {
                    Message payload = payloadFor(m_after);
                    payload["flag"] = flag;
                    payload["oldValue"] = oldProperties[flag];
                    payload["newValue"] = properties[flag];
                    m_events.push_back(message("clientSelfPropertyUpdated", std::move(payload)));
                }
            }
        }
        // Talking has its own event; any other difference sends the whole set.
        Message oldRest = oldProperties;
        oldRest["flagTalking"] = talking;
        if (oldRest != properties) {
            Message payload = payloadFor(m_after);
            payload["clientId"] = client.id;
            payload["properties"] = std::move(properties);
            m_events.push_back(message("clientPropertiesUpdated", std::move(payload)));
        }
    }

    const sim::Model& m_beforeModel;
    const sim::Connection& m_before;
    const sim::Model& m_afterModel;
    const sim::Connection& m_after;
    std::vector<Message>& m_events;
};

}  // namespace

Message connectionInfo(const sim::Model& model, const sim::Connection& connection)
{
    Message clients = Message::array();
    for (const sim::Client& client : connection.clients) {
        if (client.listed) {
            clients.push_back(Message{{"id", client.id},
                                      {"channelId", idText(client.channel)},
                                      {"properties", clientProperties(model, connection, client)}});
        }
    }
    return Message{
        {"id", connection.schid},
        {"clientId", connection.self},
        {"status", STATUS_ESTABLISHED},
        {"properties",
         Message{{"name", connection.serverName}, {"uniqueIdentifier", "g19sim-server-" + idText(connection.schid)}}},
        {"channelInfos", channelTree(connection)},
        {"clientInfos", std::move(clients)},
    };
}

Message authAnswer(const sim::Model& model, const std::string& apiKey)
{
    Message connections = Message::array();
    for (const sim::Connection& connection : model.connections) {
        connections.push_back(connectionInfo(model, connection));
    }
    return Message{{"type", "auth"},
                   {"status", Message{{"code", 0}, {"message", "ok"}}},
                   {"payload", Message{{"apiKey", apiKey}, {"connections", std::move(connections)}}}};
}

std::vector<Message> connectSequence(const sim::Model& model, const sim::Connection& connection)
{
    std::vector<Message> events;
    events.push_back(connectStatus(connection, STATUS_CONNECTING));
    events.push_back(connectStatus(connection, STATUS_CONNECTED,
                                   Message{{"clientId", connection.self}, {"serverName", connection.serverName}}));
    events.push_back(connectStatus(connection, STATUS_ESTABLISHING));
    for (const sim::Client& client : connection.clients) {
        if (client.listed) {
            events.push_back(clientAppeared(model, connection, client));
        }
    }
    Message payload = payloadFor(connection);
    payload["info"] = channelTree(connection);
    events.push_back(message("channels", std::move(payload)));
    events.push_back(connectStatus(connection, STATUS_ESTABLISHED));
    return events;
}

std::vector<Message> changeEvents(const sim::Model& before, const sim::Model& after)
{
    std::vector<Message> events;
    for (const sim::Connection& old : before.connections) {
        const sim::Connection* now = findConnection(after, old.schid);
        // A tab whose own client changed has been reconnected: it goes, then connects again.
        if (now == nullptr || now->self != old.self) {
            events.push_back(connectStatus(old, STATUS_DISCONNECTED));
        }
    }
    for (const sim::Connection& connection : after.connections) {
        const sim::Connection* old = findConnection(before, connection.schid);
        if (old == nullptr || old->self != connection.self) {
            std::vector<Message> sequence = connectSequence(after, connection);
            events.insert(events.end(), std::make_move_iterator(sequence.begin()),
                          std::make_move_iterator(sequence.end()));
        } else {
            ConnectionDiff(before, *old, after, connection, events).run();
        }
    }
    return events;
}

}  // namespace remote_apps
