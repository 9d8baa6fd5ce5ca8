#include "host/host_memory.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "protocol/wire.h"

#include <ostream>

namespace {

// Bytes of the answer besides the nicknames: tag, own ID, own channel and count, then per
// entry the ID, the nickname's length prefix, talking, channel, two 16-bit and eight
// one-byte fields.
constexpr std::size_t CLIENT_LIST_HEADER_BYTES = 1 + 3 * 8;
constexpr std::size_t CLIENT_ENTRY_BYTES = 8 + 2 + 8 + 8 + 2 * 2 + 8;
// The host limits nicknames to 30 characters; most are plain ASCII.
constexpr std::size_t TYPICAL_NICKNAME_BYTES = 32;
// Stands in for a nickname the host cannot read; the entry keeps its layout.
constexpr char NICKNAME_ERROR[] = "ERROR";

// Each field is asked of the host just before it is written, so the host sees the calls
// in field order. A failed read becomes 0.
int clientInt(const TS3Functions& host, uint64 schid, anyID client, std::size_t property)
{
    int value = 0;
    return host.getClientVariableAsInt(schid, client, property, &value) == 0 ? value : 0;
}

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

    packet.writeInt64(talkingState(host, schid, client, self));
    packet.writeInt64(channelOf(host, schid, client));
    // The display reads these at their fixed widths; only the low bits travel.
    packet.writeUInt16(static_cast<std::uint16_t>(clientInt(host, schid, client, CLIENT_TALK_REQUEST)));
    packet.writeUInt16(static_cast<std::uint16_t>(clientInt(host, schid, client, CLIENT_IS_TALKER)));
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_INPUT_MUTED)));
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_OUTPUT_MUTED)));
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_IS_RECORDING)));
    packet.writeUInt8(0);  // two reserved bytes
    packet.writeUInt8(0);
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_AWAY)));
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_IS_CHANNEL_COMMANDER)));
    packet.writeUInt8(static_cast<std::uint8_t>(clientInt(host, schid, client, CLIENT_IS_MUTED)));
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
