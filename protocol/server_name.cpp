#include "host/host_memory.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "protocol/wire.h"

void handleServerNameQuery(const RequestContext& context, Packet& packet)
{
    const TS3Functions& host = context.host;
    const uint64 schid = host.getCurrentServerConnectionHandlerID();

    packet.clear();
    packet.writeUInt8(COMMAND_SERVER_NAME);
    packet.writeString(context.version);

    // Released whatever the call returned; the host accepts null.
    HostString name(host, HostString::Release::ALSO_NULL);
    if (host.getServerVariableAsString(schid, SERVER_NAME, name.out()) == 0) {
        packet.writeString(name.text());
    }
}
