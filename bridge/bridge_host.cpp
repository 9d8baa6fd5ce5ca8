#include "bridge/bridge_host.h"

#include "host/properties.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bridge {

namespace {

// An own value set and not yet flushed.
struct Staged {
    Field field;
    int value;
};

struct HostState {
    std::mutex mutex;
    Mirror mirror;
    HostEvents events;
    std::unordered_map<uint64, std::vector<Staged>> staged;
    unsigned long long returnCodes = 0;
    // The return code of the last request that pressed the talk-power button.
    std::string talkPowerCode;
    // The kinds of action already said to be impossible.
    std::vector<std::string> noticed;
    std::atomic<std::size_t> allocated{0};
    std::atomic<std::size_t> released{0};
};

HostState& state()
{
    // Never destroyed: the listener may still call in while the process exits.
    static HostState* const host = new HostState;
    return *host;
}

// Blocks handed to the request path, given back through freeMemory.
void* allocate(std::size_t bytes)
{
    void* block = std::malloc(bytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    state().allocated.fetch_add(1, std::memory_order_relaxed);
    return block;
}

unsigned int handString(const std::string& text, char** result)
{
    char* copy = static_cast<char*>(allocate(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *result = copy;
    return 0;
}

template <typename Id>
unsigned int handList(const std::vector<Id>& ids, Id** result)
{
    Id* list = static_cast<Id*>(allocate((ids.size() + 1) * sizeof(Id)));
    std::copy(ids.begin(), ids.end(), list);
    list[ids.size()] = 0;
    *result = list;
    return 0;
}

// Serves one slot under the lock: `work` gets the connection asked about, or the slot fails.
template <typename Work>
unsigned int withConnection(uint64 schid, Work&& work)
{
    HostState& h = state();
    std::lock_guard<std::mutex> lock(h.mutex);
    const Connection* connection = h.mirror.find(schid);
    return connection == nullptr ? ERROR_UNKNOWN_CONNECTION : work(*connection);
}

template <typename Work>
unsigned int withClient(uint64 schid, anyID id, Work&& work)
{
    return withConnection(schid, [&](const Connection& connection) {
        const Client* client = connection.findClient(id);
        return client == nullptr ? ERROR_UNKNOWN_CLIENT : work(*client);
    });
}

template <typename Work>
unsigned int withChannel(uint64 schid, uint64 id, Work&& work)
{
    return withConnection(schid, [&](const Connection& connection) {
        const Channel* channel = connection.findChannel(id);
        return channel == nullptr ? ERROR_UNKNOWN_CHANNEL : work(*channel);
    });
}

void press(const char* button)
{
    std::function<void(const char*)> sink;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        sink = state().events.press;
    }
    if (sink) {
        sink(button);
    }
}

// Says once per kind that the display asked for what Remote Apps cannot do.
unsigned int impossible(const std::string& kind, const char* request)
{
    std::function<void(const std::string&)> sink;
    {
        HostState& h = state();
        std::lock_guard<std::mutex> lock(h.mutex);
        if (std::find(h.noticed.begin(), h.noticed.end(), kind) != h.noticed.end()) {
            return ERROR_NOT_POSSIBLE;
        }
        h.noticed.push_back(kind);
        sink = h.events.notice;
    }
    if (sink) {
        sink(kind + "; the voice client lets no app do that, so nothing was sent (request " + request + ")");
    }
    return ERROR_NOT_POSSIBLE;
}

const char* toggleButton(Field field)
{
    switch (field) {
        case Field::INPUT_MUTED: return BUTTON_MICROPHONE;
        case Field::OUTPUT_MUTED: return BUTTON_SPEAKERS;
        case Field::AWAY: return BUTTON_AWAY;
        default: return nullptr;
    }
}

}  // namespace

const char* actionOfButton(std::string_view button)
{
    static constexpr std::array<std::pair<const char*, const char*>, BUTTONS.size()> ACTIONS = {{
        {BUTTON_DISCONNECT, "disconnect from the server"},
        {BUTTON_MICROPHONE, "toggle microphone mute"},
        {BUTTON_AWAY, "toggle away"},
        {BUTTON_SPEAKERS, "toggle speaker mute"},
        {BUTTON_TALK_POWER, "request talk power"},
    }};
    for (const auto& [name, action] : ACTIONS) {
        if (button == name) {
            return action;
        }
    }
    return nullptr;
}

std::string describeButton(const std::string& button)
{
    const char* action = actionOfButton(button);
    return action == nullptr ? button : button + " (" + action + ")";
}

namespace {

extern "C" {

unsigned int bridgeFreeMemory(void* pointer)
{
    if (pointer != nullptr) {
        std::free(pointer);
        state().released.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

unsigned int bridgeStopConnection(uint64 schid, const char*)
{
    const unsigned int ret = withConnection(schid, [](const Connection&) { return 0u; });
    if (ret == 0) {
        press(BUTTON_DISCONNECT);
    }
    return ret;
}

unsigned int bridgeRequestClientMove(uint64 schid, anyID client, uint64, const char*, const char*)
{
    anyID self = 0;
    withConnection(schid, [&](const Connection& connection) {
        self = connection.self;
        return 0u;
    });
    if (self != 0 && client == self) {
        return impossible("the display asked to move you to another channel", "04 07");
    }
    return impossible("the display asked to move a client", "04 0B");
}

unsigned int bridgeKickFromChannel(uint64, anyID, const char*, const char*)
{
    return impossible("the display asked to kick a client from the channel", "04 08");
}

unsigned int bridgeKickFromServer(uint64, anyID, const char*, const char*)
{
    return impossible("the display asked to kick a client from the server", "04 09");
}

unsigned int bridgeBanClient(uint64, anyID, uint64, const char*, const char*)
{
    return impossible("the display asked to ban a client", "04 0A");
}

unsigned int bridgeGetClientID(uint64 schid, anyID* result)
{
    return withConnection(schid, [&](const Connection& connection) {
        if (connection.self == 0) {
            return ERROR_UNKNOWN_CLIENT;
        }
        *result = connection.self;
        return 0u;
    });
}

unsigned int bridgeGetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int* result)
{
    const std::optional<Field> field = fieldOfProperty(flag);
    return withConnection(schid, [&](const Connection& connection) {
        const Client* self = connection.ownClient();
        if (self == nullptr) {
            return ERROR_UNKNOWN_CLIENT;
        }
        // The own state is read only once the client has told it: a toggle of a state not
        // known could set what the user already has.
        if (!field || !self->isKnown(*field)) {
            return ERROR_INVALID_PARAMETER;
        }
        *result = self->value(*field);
        return 0u;
    });
}

unsigned int bridgeSetClientSelfVariableAsInt(uint64 schid, std::size_t flag, int value)
{
    const std::optional<Field> field = fieldOfProperty(flag);
    if (!field || toggleButton(*field) == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    HostState& h = state();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (h.mirror.find(schid) == nullptr) {
        return ERROR_UNKNOWN_CONNECTION;
    }
    std::vector<Staged>& staged = h.staged[schid];
    const auto it =
        std::find_if(staged.begin(), staged.end(), [&](const Staged& s) { return s.field == *field; });
    if (it != staged.end()) {
        it->value = value;
    } else {
        staged.push_back({*field, value});
    }
    return 0;
}

unsigned int bridgeFlushClientSelfUpdates(uint64 schid, const char*)
{
    std::vector<const char*> buttons;
    HostState& h = state();
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        const Connection* connection = h.mirror.find(schid);
        if (connection == nullptr) {
            return ERROR_UNKNOWN_CONNECTION;
        }
        const auto it = h.staged.find(schid);
        if (it == h.staged.end()) {
            return 0;
        }
        const Client* self = connection->ownClient();
        // The client's hotkeys only toggle: a value that is already set needs no press.
        for (const Staged& staged : it->second) {
            if (self != nullptr && self->isKnown(staged.field) &&
                (self->value(staged.field) != 0) != (staged.value != 0)) {
                buttons.push_back(toggleButton(staged.field));
            }
        }
        h.staged.erase(it);
    }
    for (const char* button : buttons) {
        press(button);
    }
    return 0;
}

unsigned int bridgeGetClientVariableAsInt(uint64 schid, anyID client, std::size_t flag, int* result)
{
    const std::optional<Field> field = fieldOfProperty(flag);
    return withClient(schid, client, [&](const Client& found) {
        *result = field ? found.value(*field) : 0;
        return 0u;
    });
}

unsigned int bridgeGetClientVariableAsString(uint64 schid, anyID client, std::size_t flag, char** result)
{
    if (flag != CLIENT_NICKNAME) {
        return ERROR_INVALID_PARAMETER;
    }
    return withClient(schid, client, [&](const Client& found) { return handString(found.nickname, result); });
}

unsigned int bridgeGetClientList(uint64 schid, anyID** result)
{
    return withConnection(schid, [&](const Connection& connection) {
        std::vector<anyID> ids;
        ids.reserve(connection.clients.size());
        for (const Client& client : connection.clients) {
            ids.push_back(client.id);
        }
        return handList(ids, result);
    });
}

unsigned int bridgeGetChannelOfClient(uint64 schid, anyID client, uint64* result)
{
    return withClient(schid, client, [&](const Client& found) {
        *result = found.channel;
        return 0u;
    });
}

unsigned int bridgeGetChannelVariableAsInt(uint64 schid, uint64 channel, std::size_t flag, int* result)
{
    return withChannel(schid, channel, [&](const Channel& found) {
        switch (flag) {
            // The host's int is 32 bits wide; the order is a channel ID of 64.
            case CHANNEL_ORDER:
                *result = static_cast<int>(static_cast<std::uint32_t>(found.order));
                break;
            case CHANNEL_FLAG_PASSWORD:
                *result = found.password;
                break;
            case CHANNEL_NEEDED_TALK_POWER:
                *result = found.neededTalkPower;
                break;
            default:
                *result = 0;
                break;
        }
        return 0u;
    });
}

unsigned int bridgeGetChannelVariableAsString(uint64 schid, uint64 channel, std::size_t flag, char** result)
{
    if (flag != CHANNEL_NAME) {
        return ERROR_INVALID_PARAMETER;
    }
    return withChannel(schid, channel, [&](const Channel& found) { return handString(found.name, result); });
}

unsigned int bridgeGetChannelList(uint64 schid, uint64** result)
{
    return withConnection(
        schid, [&](const Connection& connection) { return handList(connection.listOrder(), result); });
}

unsigned int bridgeGetParentChannelOfChannel(uint64 schid, uint64 channel, uint64* result)
{
    return withChannel(schid, channel, [&](const Channel& found) {
        *result = found.parent;
        return 0u;
    });
}

unsigned int bridgeGetServerVariableAsString(uint64 schid, std::size_t flag, char** result)
{
    if (flag != SERVER_NAME) {
        return ERROR_INVALID_PARAMETER;
    }
    return withConnection(schid, [&](const Connection& connection) {
        return connection.serverName ? handString(*connection.serverName, result) : ERROR_INVALID_PARAMETER;
    });
}

unsigned int bridgeRequestIsTalker(uint64 schid, int, const char*, const char* returnCode)
{
    bool first = true;
    const unsigned int ret = withConnection(schid, [&](const Connection&) {
        HostState& h = state();
        if (returnCode != nullptr) {
            first = h.talkPowerCode != returnCode;
            h.talkPowerCode = returnCode;
        }
        return 0u;
    });
    if (ret == 0 && first) {
        press(BUTTON_TALK_POWER);
    }
    return ret;
}

uint64 bridgeGetCurrentServerConnectionHandlerID()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().mirror.front();
}

void bridgeCreateReturnCode(const char*, char* returnCode, std::size_t maxLen)
{
    if (returnCode == nullptr || maxLen == 0) {
        return;
    }
    unsigned long long number = 0;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        number = ++state().returnCodes;
    }
    const std::string code = "g19bridge-" + std::to_string(number);
    const std::size_t length = std::min(code.size(), maxLen - 1);
    std::memcpy(returnCode, code.data(), length);
    returnCode[length] = '\0';
}

}  // extern "C"

}  // namespace

TS3Functions functionTable()
{
    TS3Functions table{};
    table.freeMemory = bridgeFreeMemory;
    table.stopConnection = bridgeStopConnection;
    table.requestClientMove = bridgeRequestClientMove;
    table.requestClientKickFromChannel = bridgeKickFromChannel;
    table.requestClientKickFromServer = bridgeKickFromServer;
    table.getClientID = bridgeGetClientID;
    table.getClientSelfVariableAsInt = bridgeGetClientSelfVariableAsInt;
    table.setClientSelfVariableAsInt = bridgeSetClientSelfVariableAsInt;
    table.flushClientSelfUpdates = bridgeFlushClientSelfUpdates;
    table.getClientVariableAsInt = bridgeGetClientVariableAsInt;
    table.getClientVariableAsString = bridgeGetClientVariableAsString;
    table.getClientList = bridgeGetClientList;
    table.getChannelOfClient = bridgeGetChannelOfClient;
    table.getChannelVariableAsInt = bridgeGetChannelVariableAsInt;
    table.getChannelVariableAsString = bridgeGetChannelVariableAsString;
    table.getChannelList = bridgeGetChannelList;
    table.getParentChannelOfChannel = bridgeGetParentChannelOfChannel;
    table.getServerVariableAsString = bridgeGetServerVariableAsString;
    table.requestIsTalker = bridgeRequestIsTalker;
    table.banclient = bridgeBanClient;
    table.getCurrentServerConnectionHandlerID = bridgeGetCurrentServerConnectionHandlerID;
    table.createReturnCode = bridgeCreateReturnCode;
    return table;
}

void setEvents(HostEvents events)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().events = std::move(events);
}

void updateMirror(const std::function<void(Mirror&)>& change)
{
    HostState& h = state();
    std::lock_guard<std::mutex> lock(h.mutex);
    change(h.mirror);
    for (auto it = h.staged.begin(); it != h.staged.end();) {
        it = h.mirror.find(it->first) == nullptr ? h.staged.erase(it) : std::next(it);
    }
}

void resetHost()
{
    HostState& h = state();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.mirror.clear();
    h.staged.clear();
    h.talkPowerCode.clear();
    h.noticed.clear();
}

HostMemoryCounts hostMemory()
{
    return {state().allocated.load(), state().released.load()};
}

}  // namespace bridge
