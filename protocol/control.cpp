#include "host/properties.h"
#include "protocol/request.h"
#include "protocol/wire.h"

#include <chrono>

namespace {

// Let the client settle before it moves its own user, and before a kick from a channel.
// A pause ends early when the plug-in stops; the action still happens, as a request that
// arrived before the stop is served in full.
constexpr std::chrono::milliseconds MOVE_SELF_PAUSE{200};
constexpr std::chrono::milliseconds KICK_FROM_CHANNEL_PAUSE{500};

// What the other users on the server see when the display disconnects the user.
constexpr char QUIT_MESSAGE[] = "Connection closed by G19 Plugin";
// Passwords, reasons and the talk-request message are always empty.
constexpr char EMPTY[] = "";

// Field widths of the control requests.
constexpr std::size_t CLIENT_ID_BYTES = 2;
constexpr std::size_t CHANNEL_ID_BYTES = 4;
constexpr std::size_t DURATION_BYTES = 4;

// A request that ends before the fields its action needs is not acted on: the host must
// never receive an ID or a duration that the display did not send. The short rest is
// consumed, as the bounded reads would do, so nothing comes back.
bool holds(Packet& packet, std::size_t bytes)
{
    if (packet.size() >= bytes) {
        return true;
    }
    packet.clear();
    return false;
}

void toggleSelfFlag(const TS3Functions& host, std::size_t property, const char* returnCode)
{
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    int value = 0;
    // Toggling a state that could not be read might set the opposite of what the user
    // sees, so an unknown state is left alone.
    if (host.getClientSelfVariableAsInt(schid, property, &value) != 0) {
        return;
    }
    host.setClientSelfVariableAsInt(schid, property, value == 1 ? 0 : 1);
    host.flushClientSelfUpdates(schid, returnCode);
}

void requestTalkPower(const TS3Functions& host, const char* returnCode)
{
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    host.requestIsTalker(schid, 1, EMPTY, returnCode);
    // With a request already pending the second call withdraws it; otherwise it repeats it.
    // The client keeps the time of a pending request in property 43, not a flag: any value but
    // 0 is pending. The first call's own effect is not seen yet; the server answers it later.
    int pending = 0;
    host.getClientSelfVariableAsInt(schid, CLIENT_TALK_REQUEST, &pending);
    host.requestIsTalker(schid, pending != 0 ? 0 : 1, EMPTY, returnCode);
}

void moveSelf(const RequestContext& context, Packet& packet)
{
    const TS3Functions& host = context.host;
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    anyID self = 0;
    if (host.getClientID(schid, &self) != 0) {
        return;
    }
    if (!holds(packet, CHANNEL_ID_BYTES)) {
        return;
    }
    const uint64 channel = packet.readUInt32();
    packet.readString();  // the display sends a password field that is not used
    context.pause(MOVE_SELF_PAUSE);
    host.requestClientMove(schid, self, channel, EMPTY, nullptr);
}

void kickFromChannel(const RequestContext& context, Packet& packet, const char* returnCode)
{
    if (!holds(packet, CLIENT_ID_BYTES)) {
        return;
    }
    const anyID client = packet.readUInt16();
    context.pause(KICK_FROM_CHANNEL_PAUSE);
    const uint64 schid = context.host.getCurrentServerConnectionHandlerID();
    context.host.requestClientKickFromChannel(schid, client, EMPTY, returnCode);
}

void kickFromServer(const TS3Functions& host, Packet& packet, const char* returnCode)
{
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    if (!holds(packet, CLIENT_ID_BYTES)) {
        return;
    }
    const anyID client = packet.readUInt16();
    host.requestClientKickFromServer(schid, client, EMPTY, returnCode);
}

void ban(const TS3Functions& host, Packet& packet, const char* returnCode)
{
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    if (!holds(packet, CLIENT_ID_BYTES + DURATION_BYTES)) {
        return;
    }
    const anyID client = packet.readUInt16();
    const uint64 seconds = packet.readUInt32();
    host.banclient(schid, client, seconds, EMPTY, returnCode);
}

void moveClient(const TS3Functions& host, Packet& packet)
{
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    if (!holds(packet, CLIENT_ID_BYTES + CHANNEL_ID_BYTES)) {
        return;
    }
    const anyID client = packet.readUInt16();
    const uint64 channel = packet.readUInt32();
    host.requestClientMove(schid, client, channel, EMPTY, nullptr);
}

}  // namespace

// Writes nothing: the answer is whatever the action left unread, normally nothing.
void handleControlCommand(const RequestContext& context, Packet& packet, const char* returnCode)
{
    const TS3Functions& host = context.host;
    switch (packet.readUInt8()) {
        case CONTROL_DISCONNECT:
            host.stopConnection(host.getCurrentServerConnectionHandlerID(), QUIT_MESSAGE);
            break;
        case CONTROL_TOGGLE_MICROPHONE:
            toggleSelfFlag(host, CLIENT_INPUT_MUTED, returnCode);
            break;
        case CONTROL_TOGGLE_AWAY:
            toggleSelfFlag(host, CLIENT_AWAY, returnCode);
            break;
        case CONTROL_TOGGLE_SPEAKERS:
            toggleSelfFlag(host, CLIENT_OUTPUT_MUTED, returnCode);
            break;
        case CONTROL_TALK_REQUEST:
            requestTalkPower(host, returnCode);
            break;
        case CONTROL_MOVE_SELF:
            moveSelf(context, packet);
            break;
        case CONTROL_KICK_FROM_CHANNEL:
            kickFromChannel(context, packet, returnCode);
            break;
        case CONTROL_KICK_FROM_SERVER:
            kickFromServer(host, packet, returnCode);
            break;
        case CONTROL_BAN:
            ban(host, packet, returnCode);
            break;
        case CONTROL_MOVE_CLIENT:
            moveClient(host, packet);
            break;
        default:
            // Sub-command 0 (also an absent one), 6 and 12 and above do nothing.
            break;
    }
}
