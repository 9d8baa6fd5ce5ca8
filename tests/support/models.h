#pragma once
// Servers for the simulated host: one connection in front, schid 1.

#include "sim/sim_host.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Holding exactly these channels and clients; `self` is the own client's ID, 0 for none.
inline sim::Model oneServer(std::vector<sim::Channel> channels, std::vector<sim::Client> clients, anyID self,
                            std::string name = "Test")
{
    return sim::Model{1,
                      {sim::Connection{1, std::move(name), self, std::move(channels), std::move(clients)}}};
}

// No channels, no clients, no own client.
inline sim::Model serverNamed(const std::string& name)
{
    return oneServer({}, {}, 0, name);
}

// A large client list: `clients` clients with `nameLength`-byte nicknames in one channel, the
// first of them the own client.
inline sim::Model crowdedServer(const std::string& name, std::size_t clients, std::size_t nameLength)
{
    sim::Model model = oneServer({{1, "Lobby", 0, {}}}, {}, 1, name);
    for (std::size_t id = 1; id <= clients; ++id) {
        model.connections[0].clients.push_back(
            {static_cast<anyID>(id), std::string(nameLength, 'n'), 1, {}, true});
    }
    return model;
}
