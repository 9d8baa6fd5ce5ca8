#include "floor_calls.h"

#include "host/properties.h"

#include <cstddef>

// Results are not used: every call goes through a function pointer into another unit, so
// the compiler cannot drop it.

namespace bench {
namespace {

void createReturnCode(const TS3Functions& host)
{
    char returnCode[RETURN_CODE_SIZE];
    host.createReturnCode(nullptr, returnCode, sizeof returnCode);
}

}  // namespace

void serverNameCalls(const TS3Functions& host)
{
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    char* name = nullptr;
    host.getServerVariableAsString(schid, SERVER_NAME, &name);
    host.freeMemory(name);
}

void channelListCalls(const TS3Functions& host)
{
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    uint64* channels = nullptr;
    if (host.getChannelList(schid, &channels) != 0) {
        return;
    }
    std::size_t count = 0;
    for (; channels[count] != 0; ++count) {
        char* name = nullptr;
        if (host.getChannelVariableAsString(schid, channels[count], CHANNEL_NAME, &name) == 0) {
            host.freeMemory(name);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const uint64 channel = channels[i];
        char* name = nullptr;
        if (host.getChannelVariableAsString(schid, channel, CHANNEL_NAME, &name) == 0) {
            host.freeMemory(name);
        }
        int value = 0;
        uint64 parent = 0;
        host.getChannelVariableAsInt(schid, channel, CHANNEL_NEEDED_TALK_POWER, &value);
        host.getChannelVariableAsInt(schid, channel, CHANNEL_ORDER, &value);
        host.getParentChannelOfChannel(schid, channel, &parent);
        host.getChannelVariableAsInt(schid, channel, CHANNEL_FLAG_PASSWORD, &value);
    }
    host.freeMemory(channels);
}

void clientListCalls(const TS3Functions& host)
{
    constexpr std::size_t PROPERTIES[] = {
        CLIENT_TALK_REQUEST, CLIENT_IS_TALKER, CLIENT_INPUT_MUTED,          CLIENT_OUTPUT_MUTED,
        CLIENT_IS_RECORDING, CLIENT_AWAY,      CLIENT_IS_CHANNEL_COMMANDER, CLIENT_IS_MUTED};
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    anyID self = 0;
    anyID* clients = nullptr;
    if (host.getClientID(schid, &self) != 0 || host.getClientList(schid, &clients) != 0) {
        return;
    }
    uint64 channel = 0;
    host.getChannelOfClient(schid, self, &channel);
    for (std::size_t i = 0; clients[i] != 0; ++i) {
        const anyID client = clients[i];
        char* nickname = nullptr;
        if (host.getClientVariableAsString(schid, client, CLIENT_NICKNAME, &nickname) == 0) {
            host.freeMemory(nickname);
        }
        int value = 0;
        if (client == self) {
            host.getClientSelfVariableAsInt(schid, CLIENT_FLAG_TALKING, &value);
        } else {
            host.getClientVariableAsInt(schid, client, CLIENT_FLAG_TALKING, &value);
        }
        host.getChannelOfClient(schid, client, &channel);
        for (const std::size_t property : PROPERTIES) {
            host.getClientVariableAsInt(schid, client, property, &value);
        }
    }
    host.freeMemory(clients);
}

}  // namespace bench
