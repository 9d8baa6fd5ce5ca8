#include "host/host_memory.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "protocol/wire.h"

namespace {

// Bytes of the answer besides the names: tag and count, then per record the ID, the name's
// length prefix and four 64-bit fields.
constexpr std::size_t CHANNEL_LIST_HEADER_BYTES = 1 + 8;
constexpr std::size_t CHANNEL_RECORD_BYTES = 8 + 2 + 4 * 8;

// An int property widened with its sign, or 0 when the host cannot read it.
std::int64_t channelInt(const TS3Functions& host, uint64 schid, uint64 channel, std::size_t property)
{
    int value = 0;
    return host.getChannelVariableAsInt(schid, channel, property, &value) == 0 ? value : 0;
}

}  // namespace

void handleChannelList(const RequestContext& context, Packet& packet)
{
    const TS3Functions& host = context.host;
    const uint64 schid = host.getCurrentServerConnectionHandlerID();

    HostMemory<uint64> channels(host);
    if (host.getChannelList(schid, channels.out()) != 0) {
        packet.clear();
        return;
    }

    // The count goes in front of the records, so the list is walked twice. A channel
    // whose name cannot be read at all makes the whole list unusable for the display.
    std::size_t count = 0;
    std::size_t nameBytes = 0;
    for (; channels.get() != nullptr && channels[count] != 0; ++count) {
        HostString name(host);
        if (host.getChannelVariableAsString(schid, channels[count], CHANNEL_NAME, name.out()) != 0) {
            packet.clear();
            return;
        }
        nameBytes += name.text().size();
    }

    packet.clear();
    // The names just read give the answer's size: one allocation for the whole list, unless
    // a name grows between the two passes.
    packet.reserve(CHANNEL_LIST_HEADER_BYTES + count * CHANNEL_RECORD_BYTES + nameBytes);
    packet.writeUInt8(COMMAND_CHANNEL_LIST);
    packet.writeInt64(static_cast<std::int64_t>(count));

    for (std::size_t i = 0; i < count; ++i) {
        const uint64 channel = channels[i];
        {
            // A name that could be read while counting can be gone by now; the record then
            // keeps its layout with ID 0 and an empty name.
            HostString name(host);
            const bool named = host.getChannelVariableAsString(schid, channel, CHANNEL_NAME, name.out()) == 0;
            packet.writeInt64(static_cast<std::int64_t>(named ? channel : 0));
            packet.writeString(name.text());
        }  // the name goes back before the record's other fields are asked for

        packet.writeInt64(channelInt(host, schid, channel, CHANNEL_NEEDED_TALK_POWER));
        packet.writeInt64(channelInt(host, schid, channel, CHANNEL_ORDER));
        uint64 parent = 0;
        packet.writeInt64(host.getParentChannelOfChannel(schid, channel, &parent) == 0
                              ? static_cast<std::int64_t>(parent)
                              : 0);
        packet.writeInt64(channelInt(host, schid, channel, CHANNEL_FLAG_PASSWORD));
    }
}
