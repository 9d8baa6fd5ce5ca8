#include "g19/version.h"
#include "host/properties.h"
#include "plugin/plugin_state.h"
#include "protocol/commands.h"
#include "protocol/request.h"

void handleServerNameQuery(Packet& packet)
{
    const TS3Functions& host = hostFunctions();
    const uint64 schid = host.getCurrentServerConnectionHandlerID();

    packet.clear();
    packet.writeUInt8(COMMAND_SERVER_NAME);
    packet.writeString(G19_VERSION);

    char* name = nullptr;
    if (host.getServerVariableAsString(schid, SERVER_NAME, &name) == 0) {
        packet.writeString(name != nullptr ? name : "");
    }
    // Released whatever the call returned; the host accepts null.
    host.freeMemory(name);
}
