#include "bridge/mirror.h"

#include "host/properties.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <unordered_set>

namespace bridge {

using nlohmann::json;

namespace {

// A member that is present and not null.
const json* member(const json& object, const char* key)
{
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

// A member as a value of its own: null when it is missing or null.
json valueOf(const json* value)
{
    return value != nullptr ? *value : json();
}

std::optional<uint64> memberId(const json& object, const char* key)
{
    const json* value = member(object, key);
    return value != nullptr ? readId(*value) : std::nullopt;
}

struct FlagName {
    const char* name;
    Field field;
};

// The client properties read as flags, by the interface's names.
constexpr FlagName CLIENT_FLAGS[] = {
    {"flagTalking", Field::TALKING},
    {"inputMuted", Field::INPUT_MUTED},
    {"outputMuted", Field::OUTPUT_MUTED},
    {"isMuted", Field::LOCAL_MUTED},
    {"isRecording", Field::RECORDING},
    {"away", Field::AWAY},
    {"isTalker", Field::IS_TALKER},
    {"isChannelCommander", Field::CHANNEL_COMMANDER},
    {"inputHardware", Field::INPUT_HARDWARE},
};
constexpr char TALK_REQUEST_NAME[] = "talkRequest";
constexpr char NICKNAME_NAME[] = "nickname";

const std::string TALK_STATUS = "talkStatusChanged";

// The client an event of `type` names by `value`; "" when it is known, else why not.
std::string clientOf(Connection& connection, const std::string& type, const json* value, Client*& client)
{
    const std::optional<anyID> id = value != nullptr ? readClientId(*value) : std::nullopt;
    if (!id) {
        return type + ": no clientId";
    }
    client = connection.findClient(*id);
    return client == nullptr ? type + ": unknown client " + std::to_string(*id) : "";
}

void setValue(Client& client, Field field, int value)
{
    client.values[static_cast<std::size_t>(field)] = value;
    client.known.set(static_cast<std::size_t>(field));
}

// Applies the properties present; a property of the wrong type is left as it was.
void applyClientProperties(Client& client, const json& properties)
{
    if (!properties.is_object()) {
        return;
    }
    if (const json* nickname = member(properties, NICKNAME_NAME); nickname != nullptr && nickname->is_string()) {
        client.nickname = nickname->get<std::string>();
    }
    for (const FlagName& flag : CLIENT_FLAGS) {
        if (const json* value = member(properties, flag.name)) {
            if (const std::optional<bool> set = readFlag(*value)) {
                setValue(client, flag.field, *set ? 1 : 0);
            }
        }
    }
    if (const json* value = member(properties, TALK_REQUEST_NAME)) {
        if (const std::optional<int> time = readInt(*value)) {
            setValue(client, Field::TALK_REQUEST, *time);
        }
    }
}

void applyChannelProperties(Channel& channel, const json& properties)
{
    if (const json* name = member(properties, "name"); name != nullptr && name->is_string()) {
        channel.name = name->get<std::string>();
    }
    if (const json* password = member(properties, "flagPassword")) {
        if (const std::optional<bool> set = readFlag(*password)) {
            channel.password = *set ? 1 : 0;
        }
    }
    if (const json* power = member(properties, "neededTalkPower")) {
        if (const std::optional<int> value = readInt(*power)) {
            channel.neededTalkPower = *value;
        }
    }
}

// A channel entry of a tree: {"id", "parentId", "order", "properties"}. `parent` is the key it
// was listed under, for an entry that does not name its own parent.
std::optional<Channel> readChannel(const json& entry, uint64 parent)
{
    const std::optional<uint64> id = memberId(entry, "id");
    if (!id || *id == 0) {
        return std::nullopt;
    }
    Channel channel;
    channel.id = *id;
    channel.parent = memberId(entry, "parentId").value_or(parent);
    channel.order = memberId(entry, "order").value_or(0);
    if (const json* properties = member(entry, "properties")) {
        applyChannelProperties(channel, *properties);
    }
    return channel;
}

// The tree of a `channelInfos` or a `channels` event: the top level, then the flat map of
// each parent's children, at every depth. A channel listed twice keeps its first entry, an
// entry that is not a channel is left out. Nothing when the tree itself cannot be read: no
// top-level list, or children that are not a map; half a tree would lose whole branches.
std::optional<std::vector<Channel>> readTree(const json& info)
{
    const json* roots = member(info, "rootChannels");
    const json* children = member(info, "subChannels");
    if (roots == nullptr || !roots->is_array() || (children != nullptr && !children->is_object())) {
        return std::nullopt;
    }
    std::vector<Channel> channels;
    std::unordered_set<uint64> seen;
    const auto take = [&](const json& list, uint64 parent) {
        if (!list.is_array()) {
            return;
        }
        for (const json& entry : list) {
            std::optional<Channel> channel = readChannel(entry, parent);
            if (channel && seen.insert(channel->id).second) {
                channels.push_back(std::move(*channel));
            }
        }
    };
    take(*roots, 0);
    if (children != nullptr) {
        for (const auto& [key, list] : children->items()) {
            if (const std::optional<uint64> parent = readId(json(key))) {
                take(list, *parent);
            }
        }
    }
    return channels;
}

std::optional<Client> readClient(const json& entry)
{
    const std::optional<anyID> id = [&]() -> std::optional<anyID> {
        const json* value = member(entry, "id");
        return value != nullptr ? readClientId(*value) : std::nullopt;
    }();
    if (!id || *id == 0) {
        return std::nullopt;
    }
    Client client;
    client.id = *id;
    client.channel = memberId(entry, "channelId").value_or(0);
    if (const json* properties = member(entry, "properties")) {
        applyClientProperties(client, *properties);
    }
    return client;
}

// A connection of an `auth` answer's snapshot. A connection listed without its status is
// taken as established: it is in the list because it is connected.
std::optional<Connection> readConnection(const json& entry)
{
    const std::optional<uint64> id = memberId(entry, "id");
    if (!id) {
        return std::nullopt;
    }
    Connection connection;
    connection.id = *id;
    if (const json* self = member(entry, "clientId")) {
        connection.self = readClientId(*self).value_or(0);
    }
    const json* status = member(entry, "status");
    connection.status = status != nullptr ? readInt(*status).value_or(4) : 4;
    if (const json* properties = member(entry, "properties")) {
        if (const json* name = member(*properties, "name"); name != nullptr && name->is_string()) {
            connection.serverName = name->get<std::string>();
        }
    }
    if (const json* info = member(entry, "channelInfos")) {
        connection.channels = readTree(*info).value_or(std::vector<Channel>());
    }
    if (const json* clients = member(entry, "clientInfos"); clients != nullptr && clients->is_array()) {
        for (const json& item : *clients) {
            std::optional<Client> client = readClient(item);
            if (client && connection.findClient(client->id) == nullptr) {
                connection.clientPositions.emplace(client->id, connection.clients.size());
                connection.clients.push_back(std::move(*client));
            }
        }
    }
    return connection;
}

}  // namespace

std::optional<Field> fieldOfProperty(std::size_t property)
{
    switch (property) {
        case CLIENT_FLAG_TALKING: return Field::TALKING;
        case CLIENT_INPUT_MUTED: return Field::INPUT_MUTED;
        case CLIENT_OUTPUT_MUTED: return Field::OUTPUT_MUTED;
        case CLIENT_IS_MUTED: return Field::LOCAL_MUTED;
        case CLIENT_IS_RECORDING: return Field::RECORDING;
        case CLIENT_AWAY: return Field::AWAY;
        case CLIENT_TALK_REQUEST: return Field::TALK_REQUEST;
        case CLIENT_IS_TALKER: return Field::IS_TALKER;
        case CLIENT_IS_CHANNEL_COMMANDER: return Field::CHANNEL_COMMANDER;
        default: return std::nullopt;
    }
}

std::optional<uint64> readId(const json& value)
{
    if (value.is_number_unsigned()) {
        return value.get<uint64>();
    }
    if (value.is_number_integer()) {
        const std::int64_t number = value.get<std::int64_t>();
        return number >= 0 ? std::optional<uint64>(static_cast<uint64>(number)) : std::nullopt;
    }
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        uint64 number = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, number);
        if (!text.empty() && error == std::errc() && stop == end) {
            return number;
        }
    }
    return std::nullopt;
}

std::optional<anyID> readClientId(const json& value)
{
    const std::optional<uint64> id = readId(value);
    if (!id || *id > std::numeric_limits<anyID>::max()) {
        return std::nullopt;
    }
    return static_cast<anyID>(*id);
}

std::optional<bool> readFlag(const json& value)
{
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>() != 0;
    }
    return std::nullopt;
}

std::optional<int> readInt(const json& value)
{
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_unsigned()) {
        return static_cast<int>(static_cast<std::uint32_t>(value.get<std::uint64_t>()));
    }
    if (value.is_number_integer()) {
        return static_cast<int>(static_cast<std::uint32_t>(value.get<std::int64_t>()));
    }
    return std::nullopt;
}

const Client* Connection::findClient(anyID client) const
{
    const auto it = clientPositions.find(client);
    return it == clientPositions.end() ? nullptr : &clients[it->second];
}

Client* Connection::findClient(anyID client)
{
    const auto it = clientPositions.find(client);
    return it == clientPositions.end() ? nullptr : &clients[it->second];
}

const Channel* Connection::findChannel(uint64 channel) const
{
    const auto it = channelPositions.find(channel);
    return it == channelPositions.end() ? nullptr : &channels[it->second];
}

void Connection::reindexClients()
{
    clientPositions.clear();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clientPositions.emplace(clients[i].id, i);
    }
}

void Connection::reindexChannels()
{
    channelPositions.clear();
    for (std::size_t i = 0; i < channels.size(); ++i) {
        channelPositions.emplace(channels[i].id, i);
    }
    m_listOrderStale = true;
}

const std::vector<uint64>& Connection::listOrder() const
{
    if (!m_listOrderStale) {
        return m_listOrder;
    }
    std::unordered_map<uint64, std::vector<std::size_t>> children;
    std::vector<std::size_t> top;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const uint64 parent = channels[i].parent;
        if (parent == 0 || parent == channels[i].id || channelPositions.count(parent) == 0) {
            top.push_back(i);
        } else {
            children[parent].push_back(i);
        }
    }
    m_listOrder.clear();
    m_listOrder.reserve(channels.size());
    std::vector<bool> listed(channels.size(), false);
    // Depth first without recursion: a deep tree must not exhaust the stack.
    std::vector<std::size_t> stack(top.rbegin(), top.rend());
    const auto walk = [&] {
        while (!stack.empty()) {
            const std::size_t position = stack.back();
            stack.pop_back();
            if (listed[position]) {
                continue;
            }
            listed[position] = true;
            m_listOrder.push_back(channels[position].id);
            const auto it = children.find(channels[position].id);
            if (it != children.end()) {
                stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
            }
        }
    };
    walk();
    // Channels in a cycle of parents reach no top: they still belong to the list.
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (!listed[i]) {
            stack.push_back(i);
            walk();
        }
    }
    m_listOrderStale = false;
    return m_listOrder;
}

bool Mirror::replace(const json& connections)
{
    if (!connections.is_array()) {
        return false;
    }
    std::vector<Connection> replacement;
    for (const json& entry : connections) {
        std::optional<Connection> connection = readConnection(entry);
        if (!connection) {
            continue;
        }
        const bool duplicate = std::any_of(replacement.begin(), replacement.end(),
                                           [&](const Connection& c) { return c.id == connection->id; });
        if (!duplicate) {
            connection->reindexChannels();
            replacement.push_back(std::move(*connection));
        }
    }
    m_connections = std::move(replacement);
    // The snapshot tells no times: those listed later count as established later, and took
    // the capture device later.
    for (Connection& connection : m_connections) {
        if (connection.status == 4) {
            markEstablished(connection);
        }
    }
    followCapture();
    return true;
}

void Mirror::clear()
{
    m_connections.clear();
    m_captureHolder = 0;
}

void Mirror::followCapture()
{
    const Connection* newest = nullptr;
    bool holderKnown = false;
    for (Connection& connection : m_connections) {
        const Client* self = connection.ownClient();
        const bool open = self != nullptr && self->value(Field::INPUT_HARDWARE) != 0;
        if (!open) {
            connection.m_captureSince = 0;
        } else if (connection.m_captureSince == 0) {
            connection.m_captureSince = ++m_captureCount;
        }
        if (open && (newest == nullptr || connection.m_captureSince > newest->m_captureSince)) {
            newest = &connection;
        }
        holderKnown = holderKnown || connection.id == m_captureHolder;
    }
    // While no tab has it, the one that had it last is still the one in front: the client
    // gives it up in the old tab before the new one takes it.
    if (newest != nullptr) {
        m_captureHolder = newest->id;
    } else if (!holderKnown) {
        m_captureHolder = 0;
    }
}

uint64 Mirror::front() const
{
    if (m_captureHolder != 0) {
        return m_captureHolder;
    }
    const Connection* chosen = nullptr;
    for (const Connection& connection : m_connections) {
        if (connection.establishedAt != 0 &&
            (chosen == nullptr || connection.establishedAt > chosen->establishedAt)) {
            chosen = &connection;
        }
    }
    return chosen != nullptr ? chosen->id : 0;
}

const Connection* Mirror::find(uint64 connection) const
{
    const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                 [&](const Connection& c) { return c.id == connection; });
    return it == m_connections.end() ? nullptr : &*it;
}

Connection* Mirror::findConnection(uint64 connection)
{
    return const_cast<Connection*>(static_cast<const Mirror*>(this)->find(connection));
}

void Mirror::removeConnection(uint64 connection)
{
    m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                       [&](const Connection& c) { return c.id == connection; }),
                        m_connections.end());
}

std::string Mirror::apply(const json& message)
{
    std::string why = applyMessage(message);
    followCapture();
    return why;
}

std::string Mirror::applyMessage(const json& message)
{
    try {
        const json* typeValue = member(message, "type");
        if (typeValue == nullptr || !typeValue->is_string()) {
            return "no type";
        }
        const std::string& type = typeValue->get_ref<const std::string&>();
        const json* payload = member(message, "payload");
        if (payload == nullptr || !payload->is_object()) {
            return type + ": no payload";
        }
        if (type == TALK_STATUS) {
            return applyTalkStatus({valueOf(member(*payload, "connectionId")), valueOf(member(*payload, "clientId")),
                                    valueOf(member(*payload, "status"))});
        }
        const std::optional<uint64> id = memberId(*payload, "connectionId");
        if (!id) {
            return type + ": no connectionId";
        }
        if (type == "connectStatusChanged") {
            const json* statusValue = member(*payload, "status");
            const std::optional<int> status = statusValue != nullptr ? readInt(*statusValue) : std::nullopt;
            if (!status || *status < 0 || *status > 4) {
                return type + ": no status from 0 to 4";
            }
            Connection* connection = findConnection(*id);
            if (*status == 0) {
                if (connection == nullptr) {
                    return type + ": unknown connection " + std::to_string(*id);
                }
                removeConnection(*id);
                return "";
            }
            if (connection == nullptr || *status == 1) {
                // A tab that starts to connect starts from nothing, also when it was connected.
                removeConnection(*id);
                m_connections.emplace_back();
                connection = &m_connections.back();
                connection->id = *id;
            }
            connection->status = *status;
            if (const json* info = member(*payload, "info")) {
                if (const json* self = member(*info, "clientId")) {
                    connection->self = readClientId(*self).value_or(connection->self);
                }
                if (const json* name = member(*info, "serverName"); name != nullptr && name->is_string()) {
                    connection->serverName = name->get<std::string>();
                }
            }
            if (*status == 4) {
                markEstablished(*connection);
            }
            return "";
        }
        Connection* connection = nullptr;
        if (std::string why = connectionOf(type, id, connection); !why.empty()) {
            return why;
        }
        return applyTo(*connection, type, *payload);
    } catch (const json::exception& e) {
        return std::string("unreadable: ") + e.what();
    }
}

std::string Mirror::connectionOf(const std::string& type, std::optional<uint64> id, Connection*& connection)
{
    if (!id) {
        return type + ": no connectionId";
    }
    connection = findConnection(*id);
    return connection == nullptr ? type + ": unknown connection " + std::to_string(*id) : "";
}

std::string Mirror::applyTalkStatus(const TalkStatus& talk)
{
    // A talk light changes nothing that decides the tab in front: it is not looked for again.
    Connection* connection = nullptr;
    if (std::string why = connectionOf(TALK_STATUS, readId(talk.connectionId), connection); !why.empty()) {
        return why;
    }
    Client* client = nullptr;
    if (std::string why = clientOf(*connection, TALK_STATUS, &talk.clientId, client); !why.empty()) {
        return why;
    }
    const std::optional<int> value = readInt(talk.status);
    if (!value) {
        return TALK_STATUS + ": no status";
    }
    // 2 is heard of as talking while muted: nothing is heard, so the light stays off.
    setValue(*client, Field::TALKING, *value == 1 ? 1 : 0);
    return "";
}

std::string Mirror::applyTo(Connection& connection, const std::string& type, const json& payload)
{
    const auto clientNamed = [&](Client*& client) {
        return clientOf(connection, type, member(payload, "clientId"), client);
    };
    Client* client = nullptr;

    if (type == "clientPropertiesUpdated") {
        if (std::string why = clientNamed(client); !why.empty()) {
            return why;
        }
        if (const json* properties = member(payload, "properties")) {
            applyClientProperties(*client, *properties);
        }
        return "";
    }
    if (type == "clientMoved") {
        const json* value = member(payload, "clientId");
        const std::optional<anyID> id = value != nullptr ? readClientId(*value) : std::nullopt;
        const std::optional<uint64> from = memberId(payload, "oldChannelId");
        const std::optional<uint64> to = memberId(payload, "newChannelId");
        if (!id || *id == 0 || !to) {
            return type + ": no clientId or newChannelId";
        }
        client = connection.findClient(*id);
        if (*to == 0) {
            if (client == nullptr) {
                return type + ": unknown client " + std::to_string(*id);
            }
            connection.clients.erase(connection.clients.begin() +
                                     static_cast<std::ptrdiff_t>(connection.clientPositions.at(*id)));
            connection.reindexClients();
            return "";
        }
        if (client == nullptr) {
            // A client comes into view, also into a channel not known yet: the tree may follow.
            if (from.value_or(0) != 0 && member(payload, "properties") == nullptr) {
                return type + ": unknown client " + std::to_string(*id);
            }
            connection.clientPositions.emplace(*id, connection.clients.size());
            client = &connection.clients.emplace_back();
            client->id = *id;
        }
        client->channel = *to;
        if (const json* properties = member(payload, "properties")) {
            applyClientProperties(*client, *properties);
        }
        return "";
    }
    if (type == "clientSelfPropertyUpdated") {
        Client* self = connection.findClient(connection.self);
        if (self == nullptr) {
            return type + ": own client not known";
        }
        const json* flag = member(payload, "flag");
        const json* value = member(payload, "newValue");
        if (flag == nullptr || !flag->is_string() || value == nullptr) {
            return type + ": no flag or newValue";
        }
        // The same names and values as the client's properties.
        json properties = json::object();
        properties[flag->get<std::string>()] = *value;
        applyClientProperties(*self, properties);
        return "";
    }
    if (type == "serverPropertiesUpdated") {
        const json* properties = member(payload, "properties");
        const json* name = properties != nullptr ? member(*properties, "name") : nullptr;
        if (name != nullptr && name->is_string()) {
            connection.serverName = name->get<std::string>();
        }
        return "";
    }
    if (type == "channels") {
        const json* info = member(payload, "info");
        std::optional<std::vector<Channel>> tree = info != nullptr ? readTree(*info) : std::nullopt;
        if (!tree) {
            return type + ": info holds no channel tree";
        }
        connection.channels = std::move(*tree);
        connection.reindexChannels();
        return "";
    }
    const std::optional<uint64> channelId = memberId(payload, "channelId");
    if (type == "channelCreated") {
        if (!channelId || *channelId == 0 || connection.findChannel(*channelId) != nullptr) {
            return type + ": no new channelId";
        }
        json entry = payload;
        entry["id"] = *channelId;
        std::optional<Channel> channel = readChannel(entry, 0);
        if (!channel) {
            return type + ": unreadable channel";
        }
        if (const json* properties = member(payload, "properties")) {
            channel->order = memberId(*properties, "order").value_or(channel->order);
        }
        connection.channels.push_back(std::move(*channel));
        connection.reindexChannels();
        return "";
    }
    if (type == "channelEdited" || type == "channelPropertiesUpdated" || type == "channelMoved" ||
        type == "channelDeleted") {
        const auto it = channelId ? connection.channelPositions.find(*channelId) : connection.channelPositions.end();
        if (it == connection.channelPositions.end()) {
            return type + ": unknown channel";
        }
        const std::size_t position = it->second;
        if (type == "channelDeleted") {
            // Its subchannels go with it.
            std::unordered_set<uint64> gone{*channelId};
            for (bool grew = true; grew;) {
                grew = false;
                for (const Channel& channel : connection.channels) {
                    if (gone.count(channel.parent) != 0 && gone.insert(channel.id).second) {
                        grew = true;
                    }
                }
            }
            connection.channels.erase(std::remove_if(connection.channels.begin(), connection.channels.end(),
                                                     [&](const Channel& c) { return gone.count(c.id) != 0; }),
                                      connection.channels.end());
        } else if (type == "channelMoved") {
            Channel moved = connection.channels[position];
            moved.parent = memberId(payload, "parentId").value_or(moved.parent);
            moved.order = memberId(payload, "order").value_or(moved.order);
            // Last among its new siblings, as a channel that arrived last.
            connection.channels.erase(connection.channels.begin() + static_cast<std::ptrdiff_t>(position));
            connection.channels.push_back(std::move(moved));
        } else if (const json* properties = member(payload, "properties")) {
            Channel& channel = connection.channels[position];
            applyChannelProperties(channel, *properties);
            channel.order = memberId(*properties, "order").value_or(channel.order);
        }
        connection.reindexChannels();
        return "";
    }
    return "unknown type " + type;
}

}  // namespace bridge
