#include "console_model.h"

#include "host/properties.h"
#include "sim/scenario_json.h"
#include "tools/probe/render.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace console {

namespace {

EditResult failure(int status, const std::string& message)
{
    return {status, {{"error", message}}};
}

sim::Connection* findConnection(sim::Model& model, uint64 schid)
{
    for (sim::Connection& connection : model.connections) {
        if (connection.schid == schid) {
            return &connection;
        }
    }
    return nullptr;
}

// The first entry answers where an ID is listed twice, as in the simulated client.
template <typename Entity, typename Id>
Entity* findById(std::vector<Entity>& entities, Id id)
{
    for (Entity& entity : entities) {
        if (entity.id == id) {
            return &entity;
        }
    }
    return nullptr;
}

EditResult noConnection(uint64 schid)
{
    return failure(404, "no connection " + std::to_string(schid));
}

std::string onConnection(uint64 schid)
{
    return " on connection " + std::to_string(schid);
}

// A channel or client in the scenario format, as the scenario writer puts it.
ordered_json entityJson(const sim::Channel& channel)
{
    sim::Scenario scenario;
    scenario.model.connections.emplace_back();
    scenario.model.connections.front().channels.push_back(channel);
    return sim::scenarioToJson(scenario)["connections"][0]["channels"][0];
}

ordered_json entityJson(const sim::Client& client)
{
    sim::Scenario scenario;
    scenario.model.connections.emplace_back();
    scenario.model.connections.front().clients.push_back(client);
    return sim::scenarioToJson(scenario)["connections"][0]["clients"][0];
}

// The connection's own fields in the scenario format: "schid", "server" and "self".
ordered_json connectionJson(const sim::Connection& connection)
{
    sim::Connection fields = connection;
    fields.channels.clear();
    fields.clients.clear();
    sim::Scenario scenario;
    scenario.model.connections.push_back(std::move(fields));
    ordered_json json = sim::scenarioToJson(scenario)["connections"][0];
    json.erase("channels");
    json.erase("clients");
    return json;
}

// Reads a channel or a client through the scenario reader, inside a scenario of its own; an
// error names the field from the entity's own top.
template <typename Entity>
std::optional<Entity> readEntity(const ordered_json& entity, std::string& error)
{
    constexpr bool isChannel = std::is_same_v<Entity, sim::Channel>;
    const std::string kind = isChannel ? "channels" : "clients";
    ordered_json connection = {{"schid", 0}};
    connection[kind] = ordered_json::array({entity});
    ordered_json scenario = ordered_json::object();
    scenario["connections"] = ordered_json::array({connection});
    std::optional<sim::Scenario> read = sim::parseScenario(sim::dumpJson(scenario), error);
    if (!read) {
        const std::string prefix = "/connections/0/" + kind + "/0";
        if (const auto at = error.find(prefix); at != std::string::npos) {
            error.replace(at, prefix.size(), error.compare(at + prefix.size(), 1, ":") == 0 ? "/" : "");
        }
        return std::nullopt;
    }
    sim::Connection& only = read->model.connections.front();
    if constexpr (isChannel) {
        return std::move(only.channels.front());
    } else {
        return std::move(only.clients.front());
    }
}

std::optional<int> heldOrder(const sim::Channel& channel)
{
    const auto it = channel.ints.find(CHANNEL_ORDER);
    return it != channel.ints.end() ? std::optional<int>(it->second) : std::nullopt;
}

// The channels in the voice client's tree order, with their depth, by g19-probe's rule.
std::vector<std::pair<std::size_t, std::size_t>> treeOrder(const std::vector<sim::Channel>& channels)
{
    display::ChannelList list;
    for (const sim::Channel& channel : channels) {
        display::Channel shown;
        shown.id = channel.id;
        shown.name = channel.name;
        shown.parent = channel.parent;
        shown.order = heldOrder(channel).value_or(0);
        list.channels.push_back(std::move(shown));
    }
    return probe::channelTree(list);
}

// The channel and every channel below it.
std::set<uint64> subtree(const std::vector<sim::Channel>& channels, uint64 root)
{
    std::set<uint64> inside{root};
    for (bool grew = true; grew;) {
        grew = false;
        for (const sim::Channel& channel : channels) {
            if (inside.count(channel.parent) != 0 && inside.insert(channel.id).second) {
                grew = true;
            }
        }
    }
    return inside;
}

bool channelExists(const sim::Connection& connection, uint64 id)
{
    for (const sim::Channel& channel : connection.channels) {
        if (channel.id == id) {
            return true;
        }
    }
    return false;
}

bool idCannotChange(const ordered_json& patch, std::uint64_t id)
{
    return patch.contains("id") && patch.at("id") != ordered_json(id);
}

// What `patch`, a JSON merge patch, makes of a channel or a client, read back through the
// scenario reader. Nothing, with `refused` set, when the patch is no object, changes the ID
// or breaks the format.
template <typename Entity>
std::optional<Entity> patched(const Entity& current, const ordered_json& patch, EditResult& refused)
{
    const std::string kind = std::is_same_v<Entity, sim::Channel> ? "channel" : "client";
    if (!patch.is_object()) {
        refused = failure(400, "expected a JSON object");
        return std::nullopt;
    }
    if (idCannotChange(patch, current.id)) {
        refused = failure(400, "the ID of a " + kind + " cannot change");
        return std::nullopt;
    }
    ordered_json merged = entityJson(current);
    merged.merge_patch(patch);
    std::string error;
    std::optional<Entity> read = readEntity<Entity>(merged, error);
    if (!read) {
        refused = failure(400, error);
    }
    return read;
}

}  // namespace

EditResult patchConnection(sim::Model& model, uint64 schid, const ordered_json& patch)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    if (!patch.is_object()) {
        return failure(400, "expected a JSON object");
    }
    for (const auto& [key, value] : patch.items()) {
        if (key != "server" && key != "self") {
            return failure(400,
                           "only \"server\" and \"self\" of a connection can change, not \"" + key + "\"");
        }
    }
    ordered_json merged = connectionJson(*connection);
    merged.merge_patch(patch);
    ordered_json scenario = ordered_json::object();
    scenario["connections"] = ordered_json::array({merged});
    std::string error;
    std::optional<sim::Scenario> read = sim::parseScenario(sim::dumpJson(scenario), error);
    if (!read) {
        return failure(400, error);
    }
    const sim::Connection& changed = read->model.connections.front();
    connection->serverName = changed.serverName;
    connection->roundTripMs = changed.roundTripMs;
    connection->self = changed.self;
    return {200, connectionJson(*connection)};
}

EditResult addChannel(sim::Model& model, uint64 schid, const ordered_json& channel)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    if (!channel.is_object()) {
        return failure(400, "expected a JSON object");
    }
    ordered_json entity = channel;
    if (!entity.contains("id")) {
        uint64 free = 1;
        while (channelExists(*connection, free)) {
            ++free;
        }
        entity["id"] = free;
    }
    std::string error;
    std::optional<sim::Channel> read = readEntity<sim::Channel>(entity, error);
    if (!read) {
        return failure(400, error);
    }
    if (channelExists(*connection, read->id)) {
        return failure(409, "channel " + std::to_string(read->id) + " exists" + onConnection(schid));
    }
    if (read->parent != 0 && !channelExists(*connection, read->parent)) {
        return failure(400, "no parent channel " + std::to_string(read->parent) + onConnection(schid));
    }
    if (!entity.contains("order")) {
        uint64 last = 0;
        for (const auto& [index, depth] : treeOrder(connection->channels)) {
            if (connection->channels[index].parent == read->parent) {
                last = connection->channels[index].id;
            }
        }
        // An ID beyond the int property's range cannot be written as an order (see the scenario
        // reference); the channel then sorts first.
        if (last <= static_cast<uint64>(std::numeric_limits<int>::max())) {
            read->ints[CHANNEL_ORDER] = static_cast<int>(last);
        }
    }
    connection->channels.push_back(std::move(*read));
    return {201, entityJson(connection->channels.back())};
}

EditResult patchChannel(sim::Model& model, uint64 schid, uint64 id, const ordered_json& patch)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    sim::Channel* channel = findById(connection->channels, id);
    if (channel == nullptr) {
        return failure(404, "no channel " + std::to_string(id) + onConnection(schid));
    }
    EditResult refused;
    std::optional<sim::Channel> read = patched(*channel, patch, refused);
    if (!read) {
        return refused;
    }
    if (read->parent != channel->parent) {
        if (read->parent != 0 && !channelExists(*connection, read->parent)) {
            return failure(400, "no parent channel " + std::to_string(read->parent) + onConnection(schid));
        }
        if (subtree(connection->channels, id).count(read->parent) != 0) {
            return failure(400, "a channel cannot move inside itself");
        }
    }
    *channel = std::move(*read);
    return {200, entityJson(*channel)};
}

EditResult removeChannel(sim::Model& model, uint64 schid, uint64 id)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    const sim::Channel* channel = findById(connection->channels, id);
    if (channel == nullptr) {
        return failure(404, "no channel " + std::to_string(id) + onConnection(schid));
    }
    const std::set<uint64> removed = subtree(connection->channels, id);
    const uint64 parent = channel->parent;
    const std::optional<int> order = heldOrder(*channel);
    for (sim::Channel& sibling : connection->channels) {
        const std::optional<int> after = heldOrder(sibling);
        if (sibling.parent == parent && sibling.id != id && after && *after >= 0 &&
            static_cast<uint64>(*after) == id) {
            sibling.ints[CHANNEL_ORDER] = order.value_or(0);
        }
    }
    auto& channels = connection->channels;
    channels.erase(std::remove_if(channels.begin(), channels.end(),
                                  [&](const sim::Channel& c) { return removed.count(c.id) != 0; }),
                   channels.end());
    const uint64 fallback = channels.empty() ? 0 : channels.front().id;
    ordered_json moved = ordered_json::array();
    for (sim::Client& client : connection->clients) {
        if (removed.count(client.channel) != 0) {
            client.channel = fallback;
            moved.push_back(client.id);
        }
    }
    return {200, {{"removed", removed}, {"movedClients", std::move(moved)}, {"movedTo", fallback}}};
}

EditResult addClient(sim::Model& model, uint64 schid, const ordered_json& client)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    if (!client.is_object()) {
        return failure(400, "expected a JSON object");
    }
    ordered_json entity = client;
    if (!entity.contains("id")) {
        anyID free = 1;
        while (findById(connection->clients, free) != nullptr) {
            if (free == std::numeric_limits<anyID>::max()) {
                return failure(409, "no client ID is free" + onConnection(schid));
            }
            ++free;
        }
        entity["id"] = free;
    }
    if (!entity.contains("channel")) {
        entity["channel"] = connection->channels.empty() ? 0 : connection->channels.front().id;
    }
    std::string error;
    std::optional<sim::Client> read = readEntity<sim::Client>(entity, error);
    if (!read) {
        return failure(400, error);
    }
    if (findById(connection->clients, read->id) != nullptr) {
        return failure(409, "client " + std::to_string(read->id) + " exists" + onConnection(schid));
    }
    connection->clients.push_back(std::move(*read));
    return {201, entityJson(connection->clients.back())};
}

EditResult patchClient(sim::Model& model, uint64 schid, anyID id, const ordered_json& patch)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    sim::Client* client = findById(connection->clients, id);
    if (client == nullptr) {
        return failure(404, "no client " + std::to_string(id) + onConnection(schid));
    }
    EditResult refused;
    std::optional<sim::Client> read = patched(*client, patch, refused);
    if (!read) {
        return refused;
    }
    *client = std::move(*read);
    return {200, entityJson(*client)};
}

EditResult removeClient(sim::Model& model, uint64 schid, anyID id)
{
    sim::Connection* connection = findConnection(model, schid);
    if (connection == nullptr) {
        return noConnection(schid);
    }
    auto& clients = connection->clients;
    const auto it = std::find_if(clients.begin(), clients.end(),
                                 [id](const sim::Client& client) { return client.id == id; });
    if (it == clients.end()) {
        return failure(404, "no client " + std::to_string(id) + onConnection(schid));
    }
    clients.erase(it);
    return {200, {{"removed", id}}};
}

ordered_json modelView(const sim::Model& model)
{
    sim::Scenario scenario;
    scenario.model = model;
    ordered_json view = sim::scenarioToJson(scenario);
    view.erase("failures");
    for (std::size_t c = 0; c < model.connections.size(); ++c) {
        ordered_json& listed = view["connections"][c]["channels"];
        ordered_json tree = ordered_json::array();
        for (const auto& [index, depth] : treeOrder(model.connections[c].channels)) {
            ordered_json channel = listed[index];
            channel["depth"] = depth;
            tree.push_back(std::move(channel));
        }
        listed = std::move(tree);
    }
    return view;
}

}  // namespace console
