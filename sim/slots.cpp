// The slots of the simulated host's table, each one served through serve() (host_state.h),
// which takes the lock, applies the failure rules and logs the call; and the host memory
// they hand out, entered in the ledger.

#include "host/properties.h"
#include "sim/host_state.h"
#include "sim/host_table.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>
#include <utility>

namespace sim {

void* HostState::allocate(std::size_t bytes, Block block)
{
    void* memory = std::malloc(bytes);
    if (memory == nullptr) {
        // A test double that cannot allocate has nothing sensible to simulate.
        std::abort();
    }
    ledger.emplace(memory, block);
    ++counts.allocated;
    return memory;
}

char* HostState::newString(const std::string& text)
{
    char* memory = static_cast<char*>(allocate(text.size() + 1, Block::STRING));
    std::memcpy(memory, text.c_str(), text.size() + 1);
    return memory;
}

namespace {

int intOf(const IntProperties& properties, std::size_t property)
{
    const auto it = properties.find(property);
    return it == properties.end() ? 0 : it->second;
}

std::optional<std::string> optionalText(const char* text)
{
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

template <typename T>
Value logged(T value)
{
    if constexpr (std::is_signed_v<T>) {
        return std::int64_t{value};
    } else {
        return std::uint64_t{value};
    }
}

// A getter of a plain value: `read` looks it up; on success it goes to the out-parameter
// and into the log.
template <typename T, typename Read>
unsigned int readValue(const Args& args, T* result, Read&& read)
{
    T value{};
    return serve(
        args,
        [&](HostState& h) {
            unsigned int ret = read(h, value);
            if (ret == 0 && result == nullptr) {
                ret = ERROR_INVALID_PARAMETER;
            }
            if (ret == 0) {
                *result = value;
            }
            return ret;
        },
        [&](Call& call, unsigned int ret) {
            if (ret == 0) {
                call.value = logged(value);
            }
        });
}

// A getter of a string: `read` points `text` at it, or leaves it null for a property the
// model does not hold; on success a copy in host memory goes to the out-parameter.
template <typename Read>
unsigned int readString(const Args& args, char** result, Read&& read)
{
    std::string text;
    return serve(
        args,
        [&](HostState& h) {
            const std::string* found = nullptr;
            const unsigned int ret = read(h, found);
            if (ret != 0) {
                return ret;
            }
            if (result == nullptr || found == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            *result = h.newString(*found);
            if (h.logging) {
                text = *found;
            }
            return 0u;
        },
        [&](Call& call, unsigned int ret) {
            if (ret == 0) {
                call.value = std::move(text);
            }
        });
}

// The log entry of an action that takes a return code.
void returnCodeOf(Call& call, const char* returnCode)
{
    call.takesReturnCode = true;
    call.returnCode = optionalText(returnCode);
}

unsigned int simFreeMemory(void* pointer)
{
    const char* released = nullptr;
    return serve(
        Args{"freeMemory", {}, {}, {}, {}},
        [&](HostState& h) {
            released = h.release(pointer);
            return 0u;
        },
        [&](Call& call, unsigned int) {
            if (released != nullptr) {
                call.released = released;
            }
        });
}

unsigned int simStopConnection(uint64 schid, const char* quitMessage)
{
    return serve(
        Args{"stopConnection", schid, {}, {}, {}},
        [&](HostState& h) {
            Connection* connection = nullptr;
            std::size_t position = 0;
            const unsigned int ret = h.findConnection(schid, connection, &position);
            if (ret == 0) {
                h.removeConnection(position);
            }
            return ret;
        },
        [&](Call& call, unsigned int) { call.message = optionalText(quitMessage); });
}

unsigned int simRequestClientMove(uint64 schid, anyID clientID, uint64 newChannelID, const char* password,
                                  const char* returnCode)
{
    return serve(
        Args{"requestClientMove", schid, clientID, newChannelID, {}},
        [&](HostState& h) {
            Client* client = nullptr;
            Channel* channel = nullptr;
            unsigned int ret = h.findClient(schid, clientID, client);
            if (ret == 0) {
                ret = h.findChannel(schid, newChannelID, channel);
            }
            if (ret == 0) {
                client->channel = newChannelID;
                h.touch();
            }
            return ret;
        },
        [&](Call& call, unsigned int) {
            call.password = optionalText(password);
            returnCodeOf(call, returnCode);
        });
}

unsigned int simRequestClientKickFromChannel(uint64 schid, anyID clientID, const char* kickReason,
                                             const char* returnCode)
{
    return serve(
        Args{"requestClientKickFromChannel", schid, clientID, {}, {}},
        [&](HostState& h) {
            Client* client = nullptr;
            std::size_t position = 0;
            const unsigned int ret = h.findClient(schid, clientID, client, &position);
            if (ret != 0) {
                return ret;
            }
            // A kicked client lands in the server's default channel, the first one.
            const std::vector<Channel>& channels = h.model.connections[position].channels;
            if (channels.empty()) {
                return ERROR_UNKNOWN_CHANNEL;
            }
            client->channel = channels.front().id;
            h.touch();
            return 0u;
        },
        [&](Call& call, unsigned int) {
            call.reason = optionalText(kickReason);
            returnCodeOf(call, returnCode);
        });
}

// Kick from the server and ban: both take the client off the connection.
unsigned int removeFromServer(const Args& args, const char* reason, const char* returnCode,
                              std::optional<uint64> seconds)
{
    return serve(
        args,
        [&](HostState& h) {
            Client* client = nullptr;
            std::size_t position = 0;
            const unsigned int ret = h.findClient(*args.schid, *args.client, client, &position);
            if (ret == 0) {
                h.removeClient(position, *args.client);
            }
            return ret;
        },
        [&](Call& call, unsigned int) {
            call.reason = optionalText(reason);
            call.seconds = seconds;
            returnCodeOf(call, returnCode);
        });
}

unsigned int simRequestClientKickFromServer(uint64 schid, anyID clientID, const char* kickReason,
                                            const char* returnCode)
{
    return removeFromServer(Args{"requestClientKickFromServer", schid, clientID, {}, {}}, kickReason,
                            returnCode, std::nullopt);
}

unsigned int simBanclient(uint64 schid, anyID clientID, uint64 timeInSeconds, const char* banReason,
                          const char* returnCode)
{
    return removeFromServer(Args{"banclient", schid, clientID, {}, {}}, banReason, returnCode, timeInSeconds);
}

unsigned int simGetClientID(uint64 schid, anyID* result)
{
    return readValue(Args{"getClientID", schid, {}, {}, {}}, result, [&](HostState& h, anyID& self) {
        Connection* connection = nullptr;
        const unsigned int ret = h.findConnection(schid, connection);
        if (ret != 0) {
            return ret;
        }
        self = connection->self;
        return self == 0 ? ERROR_UNKNOWN_CLIENT : 0u;
    });
}

unsigned int simGetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int* result)
{
    return readValue(Args{"getClientSelfVariableAsInt", schid, {}, {}, flag}, result,
                     [&](HostState& h, int& value) {
                         Client* self = nullptr;
                         const unsigned int ret = h.findSelf(schid, self);
                         if (ret == 0) {
                             value = intOf(self->ints, flag);
                         }
                         return ret;
                     });
}

unsigned int simSetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int value)
{
    return serve(
        Args{"setClientSelfVariableAsInt", schid, {}, {}, flag},
        [&](HostState& h) {
            Client* self = nullptr;
            const unsigned int ret = h.findSelf(schid, self);
            if (ret == 0) {
                h.staged[schid][flag] = value;
            }
            return ret;
        },
        [&](Call& call, unsigned int) { call.value = std::int64_t{value}; });
}

unsigned int simFlushClientSelfUpdates(uint64 schid, const char* returnCode)
{
    return serve(
        Args{"flushClientSelfUpdates", schid, {}, {}, {}},
        [&](HostState& h) {
            Client* self = nullptr;
            const unsigned int ret = h.findSelf(schid, self);
            if (ret != 0) {
                return ret;
            }
            if (const auto it = h.staged.find(schid); it != h.staged.end()) {
                for (const auto& [property, staged] : it->second) {
                    self->ints[property] = staged;
                }
                h.staged.erase(it);
                h.touch();
            }
            return 0u;
        },
        [&](Call& call, unsigned int) { returnCodeOf(call, returnCode); });
}

unsigned int simGetClientVariableAsInt(uint64 schid, anyID clientID, std::size_t flag, int* result)
{
    return readValue(Args{"getClientVariableAsInt", schid, clientID, {}, flag}, result,
                     [&](HostState& h, int& value) {
                         Client* client = nullptr;
                         const unsigned int ret = h.findClient(schid, clientID, client);
                         if (ret == 0) {
                             value = intOf(client->ints, flag);
                         }
                         return ret;
                     });
}

unsigned int simGetClientVariableAsString(uint64 schid, anyID clientID, std::size_t flag, char** result)
{
    return readString(Args{"getClientVariableAsString", schid, clientID, {}, flag}, result,
                      [&](HostState& h, const std::string*& text) {
                          Client* client = nullptr;
                          const unsigned int ret = h.findClient(schid, clientID, client);
                          if (ret == 0 && flag == CLIENT_NICKNAME) {
                              text = &client->nickname;
                          }
                          return ret;
                      });
}

// The two lists: `ids` of the connection's entries that are listed, a 0 after them.
template <typename Id, typename Entries, typename Listed>
unsigned int handOutList(const Args& args, Id** result, Block block, Entries entries, Listed listed)
{
    std::vector<std::uint64_t> text;
    return serve(
        args,
        [&](HostState& h) {
            Connection* connection = nullptr;
            unsigned int ret = h.findConnection(*args.schid, connection);
            if (ret == 0 && result == nullptr) {
                ret = ERROR_INVALID_PARAMETER;
            }
            if (ret != 0) {
                return ret;
            }
            std::size_t count = 0;
            for (const auto& entry : entries(*connection)) {
                count += listed(entry) ? 1 : 0;
            }
            Id* list = static_cast<Id*>(h.allocate((count + 1) * sizeof(Id), block));
            std::size_t i = 0;
            for (const auto& entry : entries(*connection)) {
                if (listed(entry)) {
                    list[i++] = entry.id;
                }
            }
            list[i] = 0;
            *result = list;
            if (h.logging) {
                text.assign(list, list + count);
            }
            return 0u;
        },
        [&](Call& call, unsigned int ret) {
            if (ret == 0) {
                call.value = std::move(text);
            }
        });
}

unsigned int simGetClientList(uint64 schid, anyID** result)
{
    return handOutList(
        Args{"getClientList", schid, {}, {}, {}}, result, Block::CLIENT_LIST,
        [](const Connection& connection) -> const std::vector<Client>& { return connection.clients; },
        [](const Client& client) { return client.listed; });
}

unsigned int simGetChannelList(uint64 schid, uint64** result)
{
    return handOutList(
        Args{"getChannelList", schid, {}, {}, {}}, result, Block::CHANNEL_LIST,
        [](const Connection& connection) -> const std::vector<Channel>& { return connection.channels; },
        [](const Channel&) { return true; });
}

unsigned int simGetChannelOfClient(uint64 schid, anyID clientID, uint64* result)
{
    return readValue(Args{"getChannelOfClient", schid, clientID, {}, {}}, result,
                     [&](HostState& h, uint64& channel) {
                         Client* client = nullptr;
                         const unsigned int ret = h.findClient(schid, clientID, client);
                         if (ret == 0) {
                             channel = client->channel;
                         }
                         return ret;
                     });
}

unsigned int simGetChannelVariableAsInt(uint64 schid, uint64 channelID, std::size_t flag, int* result)
{
    return readValue(Args{"getChannelVariableAsInt", schid, {}, channelID, flag}, result,
                     [&](HostState& h, int& value) {
                         Channel* channel = nullptr;
                         const unsigned int ret = h.findChannel(schid, channelID, channel);
                         if (ret == 0) {
                             value = intOf(channel->ints, flag);
                         }
                         return ret;
                     });
}

unsigned int simGetChannelVariableAsString(uint64 schid, uint64 channelID, std::size_t flag, char** result)
{
    return readString(Args{"getChannelVariableAsString", schid, {}, channelID, flag}, result,
                      [&](HostState& h, const std::string*& text) {
                          Channel* channel = nullptr;
                          const unsigned int ret = h.findChannel(schid, channelID, channel);
                          if (ret == 0 && flag == CHANNEL_NAME) {
                              text = &channel->name;
                          }
                          return ret;
                      });
}

unsigned int simGetParentChannelOfChannel(uint64 schid, uint64 channelID, uint64* result)
{
    return readValue(Args{"getParentChannelOfChannel", schid, {}, channelID, {}}, result,
                     [&](HostState& h, uint64& parent) {
                         Channel* channel = nullptr;
                         const unsigned int ret = h.findChannel(schid, channelID, channel);
                         if (ret == 0) {
                             parent = channel->parent;
                         }
                         return ret;
                     });
}

unsigned int simGetServerVariableAsString(uint64 schid, std::size_t flag, char** result)
{
    return readString(Args{"getServerVariableAsString", schid, {}, {}, flag}, result,
                      [&](HostState& h, const std::string*& text) {
                          Connection* connection = nullptr;
                          const unsigned int ret = h.findConnection(schid, connection);
                          if (ret == 0 && flag == SERVER_NAME) {
                              text = &connection->serverName;
                          }
                          return ret;
                      });
}

unsigned int simRequestIsTalker(uint64 schid, int isTalkerRequest, const char* isTalkerRequestMessage,
                                const char* returnCode)
{
    return serve(
        Args{"requestIsTalker", schid, {}, {}, {}},
        [&](HostState& h) {
            // A real server answers a talk request later, if at all (see Connection::roundTripMs).
            Connection* connection = nullptr;
            const unsigned int ret = h.findConnection(schid, connection);
            if (ret == 0) {
                h.scheduleTalkRequest(*connection, isTalkerRequest != 0);
            }
            return ret;
        },
        [&](Call& call, unsigned int) {
            call.request = isTalkerRequest;
            call.message = optionalText(isTalkerRequestMessage);
            returnCodeOf(call, returnCode);
        });
}

// The two slots without a result code: a rule that fails them makes the first answer 0 and
// the second write an empty code; both are logged with result 0.
uint64 simGetCurrentServerConnectionHandlerID()
{
    uint64 schid = 0;
    serve(
        Args{"getCurrentServerConnectionHandlerID", {}, {}, {}, {}},
        [&](HostState& h) {
            schid = h.model.current;
            return 0u;
        },
        [&](Call& call, unsigned int) {
            call.ret = 0;
            call.value = std::uint64_t{schid};
        });
    return schid;
}

void simCreateReturnCode(const char* pluginID, char* returnCode, std::size_t maxLen)
{
    const bool writable = returnCode != nullptr && maxLen > 0;
    const unsigned int failed = serve(
        Args{"createReturnCode", {}, {}, {}, {}},
        [&](HostState& h) {
            if (writable) {
                std::snprintf(returnCode, maxLen, "g19sim-%llu", ++h.returnCodes);
            }
            return 0u;
        },
        [&](Call& call, unsigned int ret) {
            call.ret = 0;
            call.pluginID = optionalText(pluginID);
            call.maxLen = maxLen;
            if (writable) {
                call.value = ret == 0 ? std::string(returnCode) : std::string();
            }
        });
    if (failed != 0 && writable) {
        returnCode[0] = '\0';
    }
}

}  // namespace

TS3Functions functionTable()
{
    TS3Functions table = unimplementedTable();
    table.freeMemory = simFreeMemory;
    table.stopConnection = simStopConnection;
    table.requestClientMove = simRequestClientMove;
    table.requestClientKickFromChannel = simRequestClientKickFromChannel;
    table.requestClientKickFromServer = simRequestClientKickFromServer;
    table.getClientID = simGetClientID;
    table.getClientSelfVariableAsInt = simGetClientSelfVariableAsInt;
    table.setClientSelfVariableAsInt = simSetClientSelfVariableAsInt;
    table.flushClientSelfUpdates = simFlushClientSelfUpdates;
    table.getClientVariableAsInt = simGetClientVariableAsInt;
    table.getClientVariableAsString = simGetClientVariableAsString;
    table.getClientList = simGetClientList;
    table.getChannelOfClient = simGetChannelOfClient;
    table.getChannelVariableAsInt = simGetChannelVariableAsInt;
    table.getChannelVariableAsString = simGetChannelVariableAsString;
    table.getChannelList = simGetChannelList;
    table.getParentChannelOfChannel = simGetParentChannelOfChannel;
    table.getServerVariableAsString = simGetServerVariableAsString;
    table.requestIsTalker = simRequestIsTalker;
    table.banclient = simBanclient;
    table.getCurrentServerConnectionHandlerID = simGetCurrentServerConnectionHandlerID;
    table.createReturnCode = simCreateReturnCode;
    return table;
}

}  // namespace sim
