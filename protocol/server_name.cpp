#include "g19/version.h"
#include "host/host_memory.h"
#include "host/properties.h"
#include "plugin/plugin_state.h"
#include "protocol/request.h"
#include "protocol/wire.h"

void handleServerNameQuery(Packet& packet)
{
    const TS3Functions& host = hostFunctions();
    const uint64 schid = host.getCurrentServerConnectionHandlerID();

    packet.clear();
    packet.writeUInt8(COMMAND_SERVER_NAME);
    packet.writeString(G19_VERSION);

    // Released whatever the call returned; the host accepts null.
    HostString name(host, HostString::Release::ALSO_NULL);
    if (host.getServerVariableAsString(schid, SERVER_NAME, name.out()) == 0) {
        packet.writeString(name.text());
    }
}
