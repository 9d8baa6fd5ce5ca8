#include "bench_model.h"

#include "host/properties.h"

#include <string>

namespace bench {

sim::Model serverModel(std::size_t channels, std::size_t clients)
{
    sim::Connection connection;
    connection.schid = BENCH_SCHID;
    connection.serverName = "Benchmark Community Server";
    connection.self = clients > 0 ? BENCH_SELF : 0;

    // At least one channel, so that every client has one to sit in.
    const std::size_t channelCount = channels > 0 ? channels : 1;
    connection.channels.reserve(channelCount);
    for (std::size_t i = 0; i < channelCount; ++i) {
        sim::Channel channel;
        channel.id = i + 1;
        channel.name = "Channel " + std::to_string(i + 1) + (i % 3 == 0 ? " (AFK)" : "");
        // A tree eight wide: channel k's parent is channel k / 8, the first few sit at the top.
        channel.parent = (i + 1) / 8;
        channel.ints[CHANNEL_NEEDED_TALK_POWER] = i % 5 == 0 ? 25 : 0;
        channel.ints[CHANNEL_ORDER] = static_cast<int>(i);
        channel.ints[CHANNEL_FLAG_PASSWORD] = i % 7 == 0 ? 1 : 0;
        connection.channels.push_back(std::move(channel));
    }
    // The list ends at the first zero entry, so a model with no channels asked for lists none.
    if (channels == 0) {
        connection.channels.clear();
    }

    connection.clients.reserve(clients);
    for (std::size_t i = 0; i < clients; ++i) {
        sim::Client client;
        client.id = static_cast<anyID>(i + 1);
        client.nickname = "Player_" + std::to_string(i + 1);
        client.channel = i % channelCount + 1;
        client.ints[CLIENT_FLAG_TALKING] = i % 4 == 0 ? 1 : 0;
        client.ints[CLIENT_INPUT_MUTED] = i % 6 == 0 ? 1 : 0;
        client.ints[CLIENT_OUTPUT_MUTED] = i % 9 == 0 ? 1 : 0;
        client.ints[CLIENT_IS_MUTED] = 0;
        client.ints[CLIENT_IS_RECORDING] = 0;
        client.ints[CLIENT_AWAY] = i % 5 == 0 ? 1 : 0;
        client.ints[CLIENT_TALK_REQUEST] = 0;
        client.ints[CLIENT_IS_TALKER] = i % 3 == 0 ? 1 : 0;
        client.ints[CLIENT_IS_CHANNEL_COMMANDER] = i % 10 == 0 ? 1 : 0;
        connection.clients.push_back(std::move(client));
    }

    sim::Model model;
    model.current = BENCH_SCHID;
    model.connections.push_back(std::move(connection));
    return model;
}

}  // namespace bench
