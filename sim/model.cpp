// The simulated host's model of connections, channels and clients, and the index that
// finds them by ID.

#include "sim/host_state.h"

#include <utility>

namespace sim {

void HostState::rebuildClients(std::size_t position)
{
    ConnectionIndex& index = indexes[position];
    index.clients.clear();
    const std::vector<Client>& clients = model.connections[position].clients;
    index.clients.reserve(clients.size());
    for (std::size_t i = 0; i < clients.size(); ++i) {
        index.clients.emplace(clients[i].id, i);
    }
}

void HostState::rebuildIndex()
{
    connectionPositions.clear();
    indexes.assign(model.connections.size(), ConnectionIndex{});
    for (std::size_t c = 0; c < model.connections.size(); ++c) {
        const Connection& connection = model.connections[c];
        connectionPositions.emplace(connection.schid, c);
        indexes[c].channels.reserve(connection.channels.size());
        for (std::size_t i = 0; i < connection.channels.size(); ++i) {
            indexes[c].channels.emplace(connection.channels[i].id, i);
        }
        rebuildClients(c);
    }
}

void HostState::replaceModel(Model replacement)
{
    model = std::move(replacement);
    staged.clear();
    rebuildIndex();
}

unsigned int HostState::findConnection(uint64 schid, Connection*& connection, std::size_t* position)
{
    const auto it = connectionPositions.find(schid);
    if (it == connectionPositions.end()) {
        return ERROR_UNKNOWN_CONNECTION;
    }
    connection = &model.connections[it->second];
    if (position != nullptr) {
        *position = it->second;
    }
    return 0;
}

unsigned int HostState::findClient(uint64 schid, anyID id, Client*& client, std::size_t* connectionPosition)
{
    Connection* connection = nullptr;
    std::size_t position = 0;
    if (const unsigned int code = findConnection(schid, connection, &position)) {
        return code;
    }
    const auto it = indexes[position].clients.find(id);
    if (it == indexes[position].clients.end()) {
        return ERROR_UNKNOWN_CLIENT;
    }
    client = &connection->clients[it->second];
    if (connectionPosition != nullptr) {
        *connectionPosition = position;
    }
    return 0;
}

unsigned int HostState::findSelf(uint64 schid, Client*& client)
{
    Connection* connection = nullptr;
    if (const unsigned int code = findConnection(schid, connection)) {
        return code;
    }
    if (connection->self == 0) {
        return ERROR_UNKNOWN_CLIENT;
    }
    return findClient(schid, connection->self, client);
}

unsigned int HostState::findChannel(uint64 schid, uint64 id, Channel*& channel)
{
    Connection* connection = nullptr;
    std::size_t position = 0;
    if (const unsigned int code = findConnection(schid, connection, &position)) {
        return code;
    }
    const auto it = indexes[position].channels.find(id);
    if (it == indexes[position].channels.end()) {
        return ERROR_UNKNOWN_CHANNEL;
    }
    channel = &connection->channels[it->second];
    return 0;
}

void HostState::removeClient(std::size_t position, anyID id)
{
    std::vector<Client>& clients = model.connections[position].clients;
    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(indexes[position].clients.at(id)));
    rebuildClients(position);
}

void setModel(Model model)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.replaceModel(std::move(model));
}

Model model()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.model;
}

void updateModel(const std::function<void(Model&)>& change)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    change(h.model);
    h.rebuildIndex();
}

void setModelAndFailures(Model model, std::vector<FailureRule> rules)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.replaceModel(std::move(model));
    h.replaceRules(std::move(rules));
}

}  // namespace sim
