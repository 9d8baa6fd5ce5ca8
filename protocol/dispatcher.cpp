#include "protocol/request.h"
#include "protocol/wire.h"

Packet processRequest(const RequestContext& context, const std::uint8_t* bytes, std::int32_t count)
{
    Packet packet;
    packet.assign(bytes, count);
    const std::uint8_t command = packet.readUInt8();

    char returnCode[RETURN_CODE_SIZE] = {};
    context.host.createReturnCode(nullptr, returnCode, sizeof returnCode);
    // Whatever the host wrote, what reaches it again is a terminated string.
    returnCode[sizeof returnCode - 1] = '\0';

    switch (command) {
        case COMMAND_SERVER_NAME:
            handleServerNameQuery(context, packet);
            break;
        case COMMAND_CHANNEL_LIST:
            handleChannelList(context, packet);
            break;
        case COMMAND_CONTROL:
            handleControlCommand(context, packet, returnCode);
            break;
        case COMMAND_CLIENT_LIST:
            handleClientList(context, packet);
            break;
        default:
            packet.clear();
            packet.writeUInt8(COMMAND_UNKNOWN);
            break;
    }
    return packet;
}
