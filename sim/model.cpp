// The simulated host's model of connections, channels and clients, and the index that
// finds them by ID.

#include "host/properties.h"
#include "sim/host_state.h"

#include <algorithm>
#include <ctime>
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
    touch();
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
            touch();
        }
    }
    later = std::move(waiting);
}

void HostState::removeClient(std::size_t position, anyID id)
{
    std::vector<Client>& clients = model.connections[position].clients;
    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(indexes[position].clients.at(id)));
    rebuildClients(position);
    touch();
}

void HostState::removeConnection(std::size_t position)
{
    staged.erase(model.connections[position].schid);
    model.connections.erase(model.connections.begin() + static_cast<std::ptrdiff_t>(position));
    rebuildIndex();
    touch();
}

void HostState::scheduleTalkRequest(const Connection& connection, bool request)
{
    if (connection.roundTripMs == 0 || connection.self == 0) {
        return;
    }
    const int requestedAt = request ? static_cast<int>(std::time(nullptr)) : 0;
    later.push_back({Clock::now() + std::chrono::milliseconds(connection.roundTripMs), connection.schid,
                     connection.self, CLIENT_TALK_REQUEST, requestedAt});
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
    h.touch();
}

std::uint64_t modelVersion()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.version;
}

std::uint64_t waitForModelChange(std::uint64_t seen, std::chrono::milliseconds timeout)
{
    HostState& h = host();
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(h.mutex);
    for (;;) {
        h.applyDueChanges();
        if (h.version != seen || Clock::now() >= deadline) {
            return h.version;
        }
        // Nobody may call into the host when a server's answer falls due: wake for it.
        Clock::time_point until = deadline;
        for (const HostState::LaterChange& change : h.later) {
            until = std::min(until, change.due);
        }
        h.versionChanged.wait_until(lock, until);
    }
}

void setModelAndFailures(Model model, std::vector<FailureRule> rules)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.replaceModel(std::move(model));
    h.replaceRules(std::move(rules));
}

}  // namespace sim
