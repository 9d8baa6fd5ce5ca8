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
    later.clear();
    rebuildIndex();
}

void HostState::applyDue()
{
    const Clock::time_point now = Clock::now();
    std::vector<LaterChange> waiting;
    for (const LaterChange& change : later) {
        if (change.due > now) {
            waiting.push_back(change);
            continue;
        }
        // A client that has left meanwhile gets no answer.
        Client* client = nullptr;
        if (findClient(change.schid, change.client, client) == 0) {
            client->ints[change.property] = change.value;
        }
    }
    later = std::move(waiting);
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
    h.applyDueChanges();
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
