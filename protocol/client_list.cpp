#include "host/host_memory.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "protocol/wire.h"

#include <ostream>

namespace {

// Bytes of the answer besides the nicknames: tag, own ID, own channel and count, then per
// entry the ID, the nickname's length prefix and the fixed fields: talking, channel, two
// 16-bit and eight one-byte fields.
constexpr std::size_t CLIENT_LIST_HEADER_BYTES = 1 + 3 * 8;
constexpr std::size_t CLIENT_FIELDS_BYTES = 8 + 8 + 2 * 2 + 8;
constexpr std::size_t CLIENT_ENTRY_BYTES = 8 + 2 + CLIENT_FIELDS_BYTES;

// The int properties of the fixed fields, in the order they travel and are asked for.
constexpr std::size_t INT_PROPERTIES[] = {
    CLIENT_TALK_REQUEST, CLIENT_IS_TALKER, CLIENT_INPUT_MUTED,          CLIENT_OUTPUT_MUTED,
    CLIENT_IS_RECORDING, CLIENT_AWAY,      CLIENT_IS_CHANNEL_COMMANDER, CLIENT_IS_MUTED};
constexpr std::size_t INT_PROPERTY_COUNT = sizeof INT_PROPERTIES / sizeof INT_PROPERTIES[0];
// The host limits nicknames to 30 characters; most are plain ASCII.
constexpr std::size_t TYPICAL_NICKNAME_BYTES = 32;
// Stands in for a nickname the host cannot read; the entry keeps its layout.
constexpr char NICKNAME_ERROR[] = "ERROR";

// The host is asked for the fields in the order they travel; a read that fails becomes 0.
int talkingState(const TS3Functions& host, uint64 schid, anyID client, anyID self)
{
    int value = 0;
    // The host keeps the own client's talking state apart from what it hears of others.
    const unsigned int error = client == self
                                   ? host.getClientSelfVariableAsInt(schid, CLIENT_FLAG_TALKING, &value)
                                   : host.getClientVariableAsInt(schid, client, CLIENT_FLAG_TALKING, &value);
    return error == 0 ? value : 0;
}

std::int64_t channelOf(const TS3Functions& host, uint64 schid, anyID client)
{
    uint64 channel = 0;
    return host.getChannelOfClient(schid, client, &channel) == 0 ? static_cast<std::int64_t>(channel) : 0;
}

void writeClient(Packet& packet, const TS3Functions& host, uint64 schid, anyID client, anyID self)
{
    packet.writeInt64(client);

    {
        HostString nickname(host);
        if (host.getClientVariableAsString(schid, client, CLIENT_NICKNAME, nickname.out()) == 0) {
            packet.writeString(nickname.text());
        } else {
            packet.writeString(NICKNAME_ERROR);
        }
    }  // the nickname goes back before the entry's other fields are asked for

    const std::int64_t talking = talkingState(host, schid, client, self);
    const std::int64_t channel = channelOf(host, schid, client);
    // The int fields are asked back to back, each into its own slot, and looked at only
    // after the last call: checked and written one by one between the calls, the same
    // fields cost the list more than twice as much beyond its host calls on the build
    // machine (docs/performance.md).
    int values[INT_PROPERTY_COUNT] = {};
    unsigned int failed = 0;
    for (std::size_t i = 0; i < INT_PROPERTY_COUNT; ++i) {
        const bool ok = host.getClientVariableAsInt(schid, client, INT_PROPERTIES[i], &values[i]) == 0;
        failed |= (ok ? 0u : 1u) << i;
    }
    const auto field = [&](std::size_t i) { return (failed >> i & 1u) != 0 ? 0 : values[i]; };

    // The display reads the fields at these widths; only the low bits travel.
    std::uint8_t* out = packet.extend(CLIENT_FIELDS_BYTES);
    storeBigEndian(out, static_cast<std::uint64_t>(talking), 8);
    storeBigEndian(out + 8, static_cast<std::uint64_t>(channel), 8);
    storeBigEndian(out + 16, static_cast<std::uint16_t>(field(0)), 2);  // talk request
    storeBigEndian(out + 18, static_cast<std::uint16_t>(field(1)), 2);  // talker
    out[20] = static_cast<std::uint8_t>(field(2));                      // input muted
    out[21] = static_cast<std::uint8_t>(field(3));                      // output muted
    out[22] = static_cast<std::uint8_t>(field(4));                      // recording
    out[23] = 0;                                                        // two reserved bytes
    out[24] = 0;
    out[25] = static_cast<std::uint8_t>(field(5));  // away
    out[26] = static_cast<std::uint8_t>(field(6));  // channel commander
    out[27] = static_cast<std::uint8_t>(field(7));  // muted
}

}  // namespace

void handleClientList(const RequestContext& context, Packet& packet)
{
    const TS3Functions& host = context.host;
    const uint64 schid = host.getCurrentServerConnectionHandlerID();

    // On these two failures the packet is left as the dispatcher passed it.
    anyID self = 0;
    if (const unsigned int error = host.getClientID(schid, &self); error != 0) {
        context.diagnostics << "\nERR: " << error;
        return;
    }
    HostMemory<anyID> clients(host);
    if (const unsigned int error = host.getClientList(schid, clients.out()); error != 0) {
        context.diagnostics << "\nERR2: " << error;
        return;
    }

    std::size_t count = 0;
    while (clients.get() != nullptr && clients[count] != 0) {
        ++count;
    }

    packet.clear();
    // Nicknames are not known before they are written; with room for typical ones the
    // answer is allocated once, and a list of long names grows it only by doubling.
    packet.reserve(CLIENT_LIST_HEADER_BYTES + count * (CLIENT_ENTRY_BYTES + TYPICAL_NICKNAME_BYTES));
    packet.writeUInt8(COMMAND_CLIENT_LIST);
    packet.writeInt64(self);
    packet.writeInt64(channelOf(host, schid, self));
    packet.writeInt64(static_cast<std::int64_t>(count));

    for (std::size_t i = 0; i < count; ++i) {
        writeClient(packet, host, schid, clients[i], self);
    }
}
