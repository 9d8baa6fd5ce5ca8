#include "sim/sim_host.h"

#include "host/properties.h"
#include "sim/host_table.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace sim {
namespace {

enum class Block { STRING, CLIENT_LIST, CHANNEL_LIST };

const char* blockName(Block block)
{
    switch (block) {
        case Block::STRING:
            return "string";
        case Block::CLIENT_LIST:
            return "clientList";
        case Block::CHANNEL_LIST:
            return "channelList";
    }
    return "invalid";
}

// Positions in a connection's vectors by ID, so that a query costs the same at ten clients
// as at ten thousand.
struct ConnectionIndex {
    std::unordered_map<anyID, std::size_t> clients;
    std::unordered_map<uint64, std::size_t> channels;
};

// The arguments of one call that a failure rule can filter on.
struct Args {
    const char* fn;
    std::optional<uint64> schid;
    std::optional<anyID> client;
    std::optional<uint64> channel;
    std::optional<std::size_t> property;
};

using Clock = std::chrono::steady_clock;

struct HostState {
    std::mutex mutex;

    Model model;
    std::unordered_map<uint64, std::size_t> connectionPositions;
    std::vector<ConnectionIndex> indexes;              // parallel to model.connections
    std::unordered_map<uint64, IntProperties> staged;  // self properties set, not yet flushed

    std::vector<FailureRule> rules;
    std::vector<unsigned int> matched;  // matching calls seen so far, per rule

    bool logging = true;
    std::vector<Call> log;
    Clock::time_point logStart = Clock::now();
    std::function<void(const Call&)> observer;

    std::unordered_map<void*, Block> ledger;  // live host memory
    MemoryReport counts;                      // `live` is taken from the ledger
    unsigned long long returnCodes = 0;
    std::size_t unimplementedCalls = 0;

    void rebuildClients(std::size_t position)
    {
        ConnectionIndex& index = indexes[position];
        index.clients.clear();
        const std::vector<Client>& clients = model.connections[position].clients;
        index.clients.reserve(clients.size());
        for (std::size_t i = 0; i < clients.size(); ++i) {
            index.clients.emplace(clients[i].id, i);
        }
    }

    void rebuildIndex()
    {
        connectionPositions.clear();
        indexes.assign(model.connections.size(), ConnectionIndex{});
        for (std::size_t c = 0; c < model.connections.size(); ++c) {
            const Connection& connection = model.connections[c];
            connectionPositions.emplace(connection.schid, c);
            indexes[c].channels.reserve(connection.channels.size());
            for (std::size_t i = 0; i < connection.channels.size(); ++i) {
                indexes[c].channels.emplace(connection.channels[i].id, i);
            }
            rebuildClients(c);
        }
    }

    unsigned int findConnection(uint64 schid, Connection*& connection, std::size_t* position = nullptr)
    {
        const auto it = connectionPositions.find(schid);
        if (it == connectionPositions.end()) {
            return ERROR_UNKNOWN_CONNECTION;
        }
        connection = &model.connections[it->second];
        if (position != nullptr) {
            *position = it->second;
        }
        return 0;
    }

    unsigned int findClient(uint64 schid, anyID id, Client*& client,
                            std::size_t* connectionPosition = nullptr)
    {
        Connection* connection = nullptr;
        std::size_t position = 0;
        if (const unsigned int code = findConnection(schid, connection, &position)) {
            return code;
        }
        const auto it = indexes[position].clients.find(id);
        if (it == indexes[position].clients.end()) {
            return ERROR_UNKNOWN_CLIENT;
        }
        client = &connection->clients[it->second];
        if (connectionPosition != nullptr) {
            *connectionPosition = position;
        }
        return 0;
    }

    unsigned int findSelf(uint64 schid, Client*& client)
    {
        Connection* connection = nullptr;
        if (const unsigned int code = findConnection(schid, connection)) {
            return code;
        }
        if (connection->self == 0) {
            return ERROR_UNKNOWN_CLIENT;
        }
        return findClient(schid, connection->self, client);
    }

    unsigned int findChannel(uint64 schid, uint64 id, Channel*& channel)
    {
        Connection* connection = nullptr;
        std::size_t position = 0;
        if (const unsigned int code = findConnection(schid, connection, &position)) {
            return code;
        }
        const auto it = indexes[position].channels.find(id);
        if (it == indexes[position].channels.end()) {
            return ERROR_UNKNOWN_CHANNEL;
        }
        channel = &connection->channels[it->second];
        return 0;
    }

    void removeClient(std::size_t position, anyID id)
    {
        std::vector<Client>& clients = model.connections[position].clients;
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(indexes[position].clients.at(id)));
        rebuildClients(position);
    }

    unsigned int failure(const Args& args)
    {
        unsigned int code = 0;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const FailureRule& rule = rules[i];
            if (rule.fn != args.fn || (rule.schid && rule.schid != args.schid) ||
                (rule.client && rule.client != args.client) ||
                (rule.channel && rule.channel != args.channel) ||
                (rule.property && rule.property != args.property)) {
                continue;
            }
            const unsigned int seen = matched[i]++;
            const bool fails = seen >= rule.skip && (!rule.count || seen - rule.skip < *rule.count);
            if (fails && code == 0) {
                code = rule.code;
            }
        }
        return code;
    }

    // Logs the call; `fill` adds what only this slot knows. Nothing is built when logging is off.
    template <typename Fill>
    void record(const Args& args, unsigned int ret, Fill&& fill)
    {
        if (!logging) {
            return;
        }
        Call call;
        call.tMs = std::chrono::duration<double, std::milli>(Clock::now() - logStart).count();
        call.fn = args.fn;
        call.schid = args.schid;
        call.client = args.client;
        call.channel = args.channel;
        call.property = args.property;
        call.ret = ret;
        fill(call);
        log.push_back(std::move(call));
        if (observer) {
            observer(log.back());
        }
    }

    void* allocate(std::size_t bytes, Block block)
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

    char* newString(const std::string& text)
    {
        char* memory = static_cast<char*>(allocate(text.size() + 1, Block::STRING));
        std::memcpy(memory, text.c_str(), text.size() + 1);
        return memory;
    }

    void freeLive()
    {
        for (const auto& entry : ledger) {
            std::free(entry.first);
        }
        ledger.clear();
    }
};

HostState& host()
{
    // Never destroyed: a listener thread may still call in while the process exits.
    static HostState* const state = new HostState;
    return *state;
}

int intOf(const IntProperties& properties, std::size_t property)
{
    const auto it = properties.find(property);
    return it == properties.end() ? 0 : it->second;
}

std::optional<std::string> optionalText(const char* text)
{
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

// Fills the out-string of a string getter from `text`, or reports why it cannot.
unsigned int handOutString(HostState& h, unsigned int ret, const std::string* text, char** result,
                           std::string& logged)
{
    if (ret != 0) {
        return ret;
    }
    if (result == nullptr || text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = h.newString(*text);
    if (h.logging) {
        logged = *text;
    }
    return 0;
}

// --- The slots ---------------------------------------------------------------------------

unsigned int simFreeMemory(void* pointer)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"freeMemory", {}, {}, {}, {}};
    const unsigned int ret = h.failure(args);
    const char* released = nullptr;
    if (ret == 0) {
        if (pointer == nullptr) {
            released = "null";
        } else if (const auto it = h.ledger.find(pointer); it != h.ledger.end()) {
            released = blockName(it->second);
            std::free(pointer);
            h.ledger.erase(it);
            ++h.counts.released;
        } else {
            released = "invalid";
            ++h.counts.invalid;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (released != nullptr) {
            call.released = released;
        }
    });
    return ret;
}

unsigned int simStopConnection(uint64 schid, const char* quitMessage)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"stopConnection", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Connection* connection = nullptr;
        std::size_t position = 0;
        ret = h.findConnection(schid, connection, &position);
        if (ret == 0) {
            h.model.connections.erase(h.model.connections.begin() + static_cast<std::ptrdiff_t>(position));
            h.staged.erase(schid);
            h.rebuildIndex();
        }
    }
    h.record(args, ret, [&](Call& call) { call.message = optionalText(quitMessage); });
    return ret;
}

unsigned int simRequestClientMove(uint64 schid, anyID clientID, uint64 newChannelID, const char* password,
                                  const char* returnCode)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"requestClientMove", schid, clientID, newChannelID, {}};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Client* client = nullptr;
        Channel* channel = nullptr;
        ret = h.findClient(schid, clientID, client);
        if (ret == 0) {
            ret = h.findChannel(schid, newChannelID, channel);
        }
        if (ret == 0) {
            client->channel = newChannelID;
        }
    }
    h.record(args, ret, [&](Call& call) {
        call.password = optionalText(password);
        call.takesReturnCode = true;
        call.returnCode = optionalText(returnCode);
    });
    return ret;
}

unsigned int simRequestClientKickFromChannel(uint64 schid, anyID clientID, const char* kickReason,
                                             const char* returnCode)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"requestClientKickFromChannel", schid, clientID, {}, {}};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Client* client = nullptr;
        std::size_t position = 0;
        ret = h.findClient(schid, clientID, client, &position);
        if (ret == 0) {
            // A kicked client lands in the server's default channel, the first one.
            const std::vector<Channel>& channels = h.model.connections[position].channels;
            if (channels.empty()) {
                ret = ERROR_UNKNOWN_CHANNEL;
            } else {
                client->channel = channels.front().id;
            }
        }
    }
    h.record(args, ret, [&](Call& call) {
        call.reason = optionalText(kickReason);
        call.takesReturnCode = true;
        call.returnCode = optionalText(returnCode);
    });
    return ret;
}

// Kick from the server and ban: both take the client off the connection.
unsigned int removeFromServer(const Args& args, const char* reason, const char* returnCode,
                              std::optional<uint64> seconds)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Client* client = nullptr;
        std::size_t position = 0;
        ret = h.findClient(*args.schid, *args.client, client, &position);
        if (ret == 0) {
            h.removeClient(position, *args.client);
        }
    }
    h.record(args, ret, [&](Call& call) {
        call.reason = optionalText(reason);
        call.seconds = seconds;
        call.takesReturnCode = true;
        call.returnCode = optionalText(returnCode);
    });
    return ret;
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
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getClientID", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    anyID self = 0;
    if (ret == 0) {
        Connection* connection = nullptr;
        ret = h.findConnection(schid, connection);
        if (ret == 0) {
            self = connection->self;
            ret = self == 0 ? ERROR_UNKNOWN_CLIENT : result == nullptr ? ERROR_INVALID_PARAMETER : 0;
        }
        if (ret == 0) {
            *result = self;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::uint64_t{self};
        }
    });
    return ret;
}

unsigned int simGetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int* result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getClientSelfVariableAsInt", schid, {}, {}, flag};
    unsigned int ret = h.failure(args);
    int value = 0;
    if (ret == 0) {
        Client* self = nullptr;
        ret = h.findSelf(schid, self);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            value = intOf(self->ints, flag);
            *result = value;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::int64_t{value};
        }
    });
    return ret;
}

unsigned int simSetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int value)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"setClientSelfVariableAsInt", schid, {}, {}, flag};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Client* self = nullptr;
        ret = h.findSelf(schid, self);
        if (ret == 0) {
            h.staged[schid][flag] = value;
        }
    }
    h.record(args, ret, [&](Call& call) { call.value = std::int64_t{value}; });
    return ret;
}

unsigned int simFlushClientSelfUpdates(uint64 schid, const char* returnCode)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"flushClientSelfUpdates", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        Client* self = nullptr;
        ret = h.findSelf(schid, self);
        if (ret == 0) {
            if (const auto it = h.staged.find(schid); it != h.staged.end()) {
                for (const auto& [property, value] : it->second) {
                    self->ints[property] = value;
                }
                h.staged.erase(it);
            }
        }
    }
    h.record(args, ret, [&](Call& call) {
        call.takesReturnCode = true;
        call.returnCode = optionalText(returnCode);
    });
    return ret;
}

unsigned int simGetClientVariableAsInt(uint64 schid, anyID clientID, std::size_t flag, int* result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getClientVariableAsInt", schid, clientID, {}, flag};
    unsigned int ret = h.failure(args);
    int value = 0;
    if (ret == 0) {
        Client* client = nullptr;
        ret = h.findClient(schid, clientID, client);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            value = intOf(client->ints, flag);
            *result = value;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::int64_t{value};
        }
    });
    return ret;
}

unsigned int simGetClientVariableAsString(uint64 schid, anyID clientID, std::size_t flag, char** result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getClientVariableAsString", schid, clientID, {}, flag};
    unsigned int ret = h.failure(args);
    std::string logged;
    if (ret == 0) {
        Client* client = nullptr;
        ret = h.findClient(schid, clientID, client);
        const std::string* text = ret == 0 && flag == CLIENT_NICKNAME ? &client->nickname : nullptr;
        ret = handOutString(h, ret, text, result, logged);
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::move(logged);
        }
    });
    return ret;
}

unsigned int simGetClientList(uint64 schid, anyID** result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getClientList", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    std::vector<std::uint64_t> logged;
    if (ret == 0) {
        Connection* connection = nullptr;
        ret = h.findConnection(schid, connection);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            std::size_t listed = 0;
            for (const Client& client : connection->clients) {
                listed += client.listed ? 1 : 0;
            }
            anyID* list = static_cast<anyID*>(h.allocate((listed + 1) * sizeof(anyID), Block::CLIENT_LIST));
            std::size_t i = 0;
            for (const Client& client : connection->clients) {
                if (client.listed) {
                    list[i++] = client.id;
                }
            }
            list[i] = 0;
            *result = list;
            if (h.logging) {
                logged.assign(list, list + listed);
            }
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::move(logged);
        }
    });
    return ret;
}

unsigned int simGetChannelOfClient(uint64 schid, anyID clientID, uint64* result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getChannelOfClient", schid, clientID, {}, {}};
    unsigned int ret = h.failure(args);
    uint64 channel = 0;
    if (ret == 0) {
        Client* client = nullptr;
        ret = h.findClient(schid, clientID, client);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            channel = client->channel;
            *result = channel;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::uint64_t{channel};
        }
    });
    return ret;
}

unsigned int simGetChannelVariableAsInt(uint64 schid, uint64 channelID, std::size_t flag, int* result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getChannelVariableAsInt", schid, {}, channelID, flag};
    unsigned int ret = h.failure(args);
    int value = 0;
    if (ret == 0) {
        Channel* channel = nullptr;
        ret = h.findChannel(schid, channelID, channel);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            value = intOf(channel->ints, flag);
            *result = value;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::int64_t{value};
        }
    });
    return ret;
}

unsigned int simGetChannelVariableAsString(uint64 schid, uint64 channelID, std::size_t flag, char** result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getChannelVariableAsString", schid, {}, channelID, flag};
    unsigned int ret = h.failure(args);
    std::string logged;
    if (ret == 0) {
        Channel* channel = nullptr;
        ret = h.findChannel(schid, channelID, channel);
        const std::string* text = ret == 0 && flag == CHANNEL_NAME ? &channel->name : nullptr;
        ret = handOutString(h, ret, text, result, logged);
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::move(logged);
        }
    });
    return ret;
}

unsigned int simGetChannelList(uint64 schid, uint64** result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getChannelList", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    std::vector<std::uint64_t> logged;
    if (ret == 0) {
        Connection* connection = nullptr;
        ret = h.findConnection(schid, connection);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            const std::size_t count = connection->channels.size();
            void* memory = h.allocate((count + 1) * sizeof(uint64), Block::CHANNEL_LIST);
            uint64* list = static_cast<uint64*>(memory);
            for (std::size_t i = 0; i < count; ++i) {
                list[i] = connection->channels[i].id;
            }
            list[count] = 0;
            *result = list;
            if (h.logging) {
                logged.assign(list, list + count);
            }
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::move(logged);
        }
    });
    return ret;
}

unsigned int simGetParentChannelOfChannel(uint64 schid, uint64 channelID, uint64* result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getParentChannelOfChannel", schid, {}, channelID, {}};
    unsigned int ret = h.failure(args);
    uint64 parent = 0;
    if (ret == 0) {
        Channel* channel = nullptr;
        ret = h.findChannel(schid, channelID, channel);
        if (ret == 0 && result == nullptr) {
            ret = ERROR_INVALID_PARAMETER;
        }
        if (ret == 0) {
            parent = channel->parent;
            *result = parent;
        }
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::uint64_t{parent};
        }
    });
    return ret;
}

unsigned int simGetServerVariableAsString(uint64 schid, std::size_t flag, char** result)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getServerVariableAsString", schid, {}, {}, flag};
    unsigned int ret = h.failure(args);
    std::string logged;
    if (ret == 0) {
        Connection* connection = nullptr;
        ret = h.findConnection(schid, connection);
        const std::string* text = ret == 0 && flag == SERVER_NAME ? &connection->serverName : nullptr;
        ret = handOutString(h, ret, text, result, logged);
    }
    h.record(args, ret, [&](Call& call) {
        if (ret == 0) {
            call.value = std::move(logged);
        }
    });
    return ret;
}

unsigned int simRequestIsTalker(uint64 schid, int isTalkerRequest, const char* isTalkerRequestMessage,
                                const char* returnCode)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"requestIsTalker", schid, {}, {}, {}};
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        // A real server answers a talk request later, if at all; a scenario sets property 43.
        Connection* connection = nullptr;
        ret = h.findConnection(schid, connection);
    }
    h.record(args, ret, [&](Call& call) {
        call.request = isTalkerRequest;
        call.message = optionalText(isTalkerRequestMessage);
        call.takesReturnCode = true;
        call.returnCode = optionalText(returnCode);
    });
    return ret;
}

uint64 simGetCurrentServerConnectionHandlerID()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"getCurrentServerConnectionHandlerID", {}, {}, {}, {}};
    const uint64 schid = h.failure(args) != 0 ? 0 : h.model.current;
    h.record(args, 0, [&](Call& call) { call.value = std::uint64_t{schid}; });
    return schid;
}

void simCreateReturnCode(const char* pluginID, char* returnCode, std::size_t maxLen)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Args args{"createReturnCode", {}, {}, {}, {}};
    const bool fails = h.failure(args) != 0;
    if (returnCode != nullptr && maxLen > 0) {
        if (fails) {
            returnCode[0] = '\0';
        } else {
            std::snprintf(returnCode, maxLen, "g19sim-%llu", ++h.returnCodes);
        }
    }
    h.record(args, 0, [&](Call& call) {
        call.pluginID = optionalText(pluginID);
        call.maxLen = maxLen;
        if (returnCode != nullptr && maxLen > 0) {
            call.value = std::string(returnCode);
        }
    });
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

void recordUnimplementedCall(std::size_t slot)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    ++h.unimplementedCalls;
    const std::string fn = "slot" + std::to_string(slot);
    h.record(Args{fn.c_str(), {}, {}, {}, {}}, 0, [](Call&) {});
}

std::size_t unimplementedCalls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.unimplementedCalls;
}

void setModel(Model model)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.model = std::move(model);
    h.staged.clear();
    h.rebuildIndex();
}

Model model()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.model;
}

void updateModel(const std::function<void(Model&)>& change)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    change(h.model);
    h.rebuildIndex();
}

void setModelAndFailures(Model model, std::vector<FailureRule> rules)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.model = std::move(model);
    h.staged.clear();
    h.rebuildIndex();
    h.rules = std::move(rules);
    h.matched.assign(h.rules.size(), 0);
}

void setFailures(std::vector<FailureRule> rules)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.rules = std::move(rules);
    h.matched.assign(h.rules.size(), 0);
}

void reset()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.model = Model{};
    h.staged.clear();
    h.rebuildIndex();
    h.rules.clear();
    h.matched.clear();
    h.log.clear();
    h.logStart = Clock::now();
    h.freeLive();
    h.counts = MemoryReport{};
    h.returnCodes = 0;
    h.unimplementedCalls = 0;
}

void setLogging(bool enabled)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.logging = enabled;
}

std::vector<Call> calls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.log;
}

void clearCalls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.log.clear();
    h.logStart = Clock::now();
}

void setCallObserver(std::function<void(const Call&)> observer)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.observer = std::move(observer);
}

MemoryReport memory()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    MemoryReport report = h.counts;
    report.live = h.ledger.size();
    return report;
}

}  // namespace sim
