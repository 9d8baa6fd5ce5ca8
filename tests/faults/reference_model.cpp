#include "faults/reference_model.h"
#include "support/wire.h"

#include <algorithm>
#include <utility>

namespace faults {
namespace {

constexpr std::size_t RETURN_CODE_BUFFER = 128;
const char* const QUIT = "Connection closed by G19 Plugin";

// The fields of one host call that the plug-in chooses; both the model and the real log are
// reduced to this before they are compared.
struct Line {
    explicit Line(std::string name, std::optional<std::uint64_t> connection = std::nullopt)
        : fn(std::move(name)), schid(connection)
    {
    }

    std::string fn;
    std::optional<std::uint64_t> schid;
    std::optional<std::uint64_t> client;
    std::optional<std::uint64_t> channel;
    std::optional<std::uint64_t> property;
    std::optional<std::int64_t> request;
    std::optional<std::uint64_t> seconds;
    std::optional<std::string> message;
    std::optional<std::string> password;
    std::optional<std::string> reason;
    std::optional<std::int64_t> value;  // what setClientSelfVariableAsInt sets
    bool takesReturnCode = false;
    std::optional<std::string> returnCode;
    bool hasPluginId = false;
    std::optional<std::string> pluginId;
    std::optional<std::uint64_t> maxLen;
    std::optional<std::string> released;
    unsigned int ret = 0;

    std::string text() const
    {
        std::string out = fn;
        const auto number = [&out](const char* key, const auto& field) {
            if (field) {
                out += std::string(" ") + key + "=" + std::to_string(*field);
            }
        };
        const auto quoted = [&out](const char* key, const std::optional<std::string>& field) {
            if (field) {
                out += std::string(" ") + key + "=\"" + *field + "\"";
            }
        };
        number("schid", schid);
        number("client", client);
        number("channel", channel);
        number("property", property);
        number("request", request);
        number("seconds", seconds);
        quoted("message", message);
        quoted("password", password);
        quoted("reason", reason);
        number("value", value);
        if (takesReturnCode) {
            out += returnCode ? " rc=\"" + *returnCode + "\"" : std::string(" rc=null");
        }
        if (hasPluginId) {
            out += pluginId ? " pluginID=\"" + *pluginId + "\"" : std::string(" pluginID=null");
        }
        number("maxLen", maxLen);
        quoted("released", released);
        out += " ret=" + std::to_string(ret);
        return out;
    }
};

// A block of host memory the model hands out: 0 stands for null.
struct Block {
    int id = 0;
    std::string kind;
};

// The host: answers from the model, fails the calls the fault names, and records each call.
class ModelHost {
public:
    ModelHost(const sim::Model& model, const std::optional<Fault>& fault, std::string createdCode)
        : m_model(model), m_fault(fault), m_createdCode(std::move(createdCode))
    {
    }

    Outcome& outcome() { return m_outcome; }

    uint64 currentSchid()
    {
        Line line{"getCurrentServerConnectionHandlerID"};
        const bool fails = failsNow(line.fn);
        record(line, 0);
        return fails ? 0 : m_model.current;
    }

    std::string createReturnCode()
    {
        Line line{"createReturnCode"};
        line.hasPluginId = true;
        line.maxLen = RETURN_CODE_BUFFER;
        const bool fails = failsNow(line.fn);
        record(line, 0);
        return fails ? std::string() : m_createdCode;
    }

    void freeMemory(const Block& block)
    {
        Line line{"freeMemory"};
        const unsigned int ret = injected(line.fn);
        if (ret == 0) {
            line.released = block.id == 0 ? std::string("null") : block.kind;
            if (block.id != 0) {
                --m_outcome.live;
            }
        }
        record(line, ret);
    }

    unsigned int serverName(uint64 schid, std::string& name, Block& block)
    {
        Line line{"getServerVariableAsString", schid};
        line.property = 1;
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        if (ret == 0) {
            name = connection->serverName;
            block = handOut("string");
        }
        return record(line, ret);
    }

    unsigned int channelList(uint64 schid, std::vector<uint64>& ids, Block& block)
    {
        Line line{"getChannelList", schid};
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        if (ret == 0) {
            for (const sim::Channel& channel : connection->channels) {
                ids.push_back(channel.id);
            }
            block = handOut("channelList");
        }
        return record(line, ret);
    }

    unsigned int channelName(uint64 schid, uint64 id, std::string& name, Block& block)
    {
        Line line{"getChannelVariableAsString", schid};
        line.channel = id;
        line.property = 0;
        const sim::Channel* channel = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findChannel(schid, id, channel);
        }
        if (ret == 0) {
            name = channel->name;
            block = handOut("string");
        }
        return record(line, ret);
    }

    unsigned int channelInt(uint64 schid, uint64 id, std::size_t property, int& value)
    {
        Line line{"getChannelVariableAsInt", schid};
        line.channel = id;
        line.property = property;
        const sim::Channel* channel = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findChannel(schid, id, channel);
        }
        if (ret == 0) {
            value = intOf(channel->ints, property);
        }
        return record(line, ret);
    }

    unsigned int parentOf(uint64 schid, uint64 id, uint64& parent)
    {
        Line line{"getParentChannelOfChannel", schid};
        line.channel = id;
        const sim::Channel* channel = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findChannel(schid, id, channel);
        }
        if (ret == 0) {
            parent = channel->parent;
        }
        return record(line, ret);
    }

    unsigned int clientId(uint64 schid, anyID& self)
    {
        Line line{"getClientID", schid};
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        if (ret == 0 && connection->self == 0) {
            ret = sim::ERROR_UNKNOWN_CLIENT;
        }
        if (ret == 0) {
            self = connection->self;
        }
        return record(line, ret);
    }

    unsigned int clientList(uint64 schid, std::vector<anyID>& ids, Block& block)
    {
        Line line{"getClientList", schid};
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        if (ret == 0) {
            for (const sim::Client& client : connection->clients) {
                if (client.listed) {
                    ids.push_back(client.id);
                }
            }
            block = handOut("clientList");
        }
        return record(line, ret);
    }

    unsigned int channelOfClient(uint64 schid, anyID id, uint64& channel)
    {
        Line line{"getChannelOfClient", schid};
        line.client = id;
        const sim::Client* client = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        if (ret == 0) {
            channel = client->channel;
        }
        return record(line, ret);
    }

    unsigned int nickname(uint64 schid, anyID id, std::string& name, Block& block)
    {
        Line line{"getClientVariableAsString", schid};
        line.client = id;
        line.property = 1;
        const sim::Client* client = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        if (ret == 0) {
            name = client->nickname;
            block = handOut("string");
        }
        return record(line, ret);
    }

    unsigned int clientInt(uint64 schid, anyID id, std::size_t property, int& value)
    {
        Line line{"getClientVariableAsInt", schid};
        line.client = id;
        line.property = property;
        const sim::Client* client = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        if (ret == 0) {
            value = intOf(client->ints, property);
        }
        return record(line, ret);
    }

    unsigned int selfInt(uint64 schid, std::size_t property, int& value)
    {
        Line line{"getClientSelfVariableAsInt", schid};
        line.property = property;
        const sim::Client* self = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findSelf(schid, self);
        }
        if (ret == 0) {
            value = intOf(self->ints, property);
        }
        return record(line, ret);
    }

    void setSelfInt(uint64 schid, std::size_t property, int value)
    {
        Line line{"setClientSelfVariableAsInt", schid};
        line.property = property;
        line.value = value;
        const sim::Client* self = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findSelf(schid, self);
        }
        record(line, ret);
    }

    void flushSelf(uint64 schid, const std::string& returnCode)
    {
        Line line{"flushClientSelfUpdates", schid};
        withReturnCode(line, returnCode);
        const sim::Client* self = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findSelf(schid, self);
        }
        record(line, ret);
    }

    void stopConnection(uint64 schid)
    {
        Line line{"stopConnection", schid};
        line.message = QUIT;
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        record(line, ret);
    }

    void requestTalker(uint64 schid, int request, const std::string& returnCode)
    {
        Line line{"requestIsTalker", schid};
        line.request = request;
        line.message = "";
        withReturnCode(line, returnCode);
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findConnection(schid, connection);
        }
        record(line, ret);
    }

    void move(uint64 schid, anyID id, uint64 channelId)
    {
        Line line{"requestClientMove", schid};
        line.client = id;
        line.channel = channelId;
        line.password = "";
        line.takesReturnCode = true;  // and passes none
        const sim::Client* client = nullptr;
        const sim::Channel* channel = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        if (ret == 0) {
            ret = findChannel(schid, channelId, channel);
        }
        record(line, ret);
    }

    void kickFromChannel(uint64 schid, anyID id, const std::string& returnCode)
    {
        Line line{"requestClientKickFromChannel", schid};
        line.client = id;
        line.reason = "";
        withReturnCode(line, returnCode);
        const sim::Client* client = nullptr;
        const sim::Connection* connection = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        if (ret == 0 && findConnection(schid, connection) == 0 && connection->channels.empty()) {
            ret = sim::ERROR_UNKNOWN_CHANNEL;
        }
        record(line, ret);
    }

    // Kick from the server (no duration) and ban.
    void removeClient(const char* fn, uint64 schid, anyID id, std::optional<uint64> seconds,
                      const std::string& returnCode)
    {
        Line line{fn, schid};
        line.client = id;
        line.seconds = seconds;
        line.reason = "";
        withReturnCode(line, returnCode);
        const sim::Client* client = nullptr;
        unsigned int ret = injected(line.fn);
        if (ret == 0) {
            ret = findClient(schid, id, client);
        }
        record(line, ret);
    }

private:
    static int intOf(const sim::IntProperties& ints, std::size_t property)
    {
        const auto it = ints.find(property);
        return it == ints.end() ? 0 : it->second;
    }

    static void withReturnCode(Line& line, const std::string& returnCode)
    {
        line.takesReturnCode = true;
        line.returnCode = returnCode;
    }

    // Counts the call against the fault and says whether this one fails.
    bool failsNow(const std::string& fn)
    {
        if (!m_fault || m_fault->fn != fn) {
            return false;
        }
        const unsigned int seen = m_seen++;
        return seen >= m_fault->skip && (!m_fault->count || seen - m_fault->skip < *m_fault->count);
    }

    unsigned int injected(const std::string& fn) { return failsNow(fn) ? m_fault->code : 0; }

    unsigned int record(const Line& line, unsigned int ret)
    {
        Line done = line;
        done.ret = ret;
        m_outcome.calls.push_back(done.text());
        return ret;
    }

    Block handOut(const char* kind)
    {
        ++m_outcome.allocated;
        ++m_outcome.live;
        return Block{static_cast<int>(m_outcome.allocated), kind};
    }

    unsigned int findConnection(uint64 schid, const sim::Connection*& found) const
    {
        for (const sim::Connection& connection : m_model.connections) {
            if (connection.schid == schid) {
                found = &connection;
                return 0;
            }
        }
        return sim::ERROR_UNKNOWN_CONNECTION;
    }

    unsigned int findClient(uint64 schid, anyID id, const sim::Client*& found) const
    {
        const sim::Connection* connection = nullptr;
        if (const unsigned int ret = findConnection(schid, connection)) {
            return ret;
        }
        for (const sim::Client& client : connection->clients) {
            if (client.id == id) {
                found = &client;
                return 0;
            }
        }
        return sim::ERROR_UNKNOWN_CLIENT;
    }

    unsigned int findSelf(uint64 schid, const sim::Client*& found) const
    {
        const sim::Connection* connection = nullptr;
        if (const unsigned int ret = findConnection(schid, connection)) {
            return ret;
        }
        return connection->self == 0 ? sim::ERROR_UNKNOWN_CLIENT : findClient(schid, connection->self, found);
    }

    unsigned int findChannel(uint64 schid, uint64 id, const sim::Channel*& found) const
    {
        const sim::Connection* connection = nullptr;
        if (const unsigned int ret = findConnection(schid, connection)) {
            return ret;
        }
        for (const sim::Channel& channel : connection->channels) {
            if (channel.id == id) {
                found = &channel;
                return 0;
            }
        }
        return sim::ERROR_UNKNOWN_CHANNEL;
    }

    const sim::Model& m_model;
    std::optional<Fault> m_fault;
    unsigned int m_seen = 0;
    std::string m_createdCode;
    Outcome m_outcome;
};

// The request bytes after the command byte, taken off the front as the handlers read them.
class Rest {
public:
    explicit Rest(Bytes bytes) : m_bytes(std::move(bytes)) {}

    bool holds(std::size_t count) const { return m_bytes.size() - m_at >= count; }
    std::uint64_t take(std::size_t width)
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = value << 8 | (m_at < m_bytes.size() ? m_bytes[m_at++] : 0);
        }
        return value;
    }
    void skipString()
    {
        const std::size_t length = take(2);
        m_at = std::min(m_bytes.size(), m_at + length);
    }
    void drop() { m_at = m_bytes.size(); }
    Bytes left() const { return Bytes(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at), m_bytes.end()); }

private:
    Bytes m_bytes;
    std::size_t m_at = 0;
};

Bytes serverName(ModelHost& host)
{
    const uint64 schid = host.currentSchid();
    Wire out;
    out.u8(2).str("0.9.9");
    std::string name;
    Block block;
    if (host.serverName(schid, name, block) == 0) {
        out.str(name);
    }
    host.freeMemory(block);
    return out;
}

Bytes channelList(ModelHost& host)
{
    const uint64 schid = host.currentSchid();
    std::vector<uint64> ids;
    Block list;
    if (host.channelList(schid, ids, list) != 0) {
        return {};
    }
    for (const uint64 id : ids) {
        std::string name;
        Block block;
        if (host.channelName(schid, id, name, block) != 0) {
            host.freeMemory(list);
            return {};
        }
        host.freeMemory(block);
    }
    Wire out;
    out.u8(3).i64(static_cast<std::int64_t>(ids.size()));
    const auto intField = [&](uint64 id, std::size_t property) {
        int value = 0;
        out.i64(host.channelInt(schid, id, property, value) == 0 ? value : 0);
    };
    for (const uint64 id : ids) {
        std::string name;
        Block block;
        const bool named = host.channelName(schid, id, name, block) == 0;
        out.i64(named ? static_cast<std::int64_t>(id) : 0);
        out.str(named ? name : "");
        if (named) {
            host.freeMemory(block);
        }
        intField(id, 28);
        intField(id, 8);
        uint64 parent = 0;
        out.i64(host.parentOf(schid, id, parent) == 0 ? static_cast<std::int64_t>(parent) : 0);
        intField(id, 12);
    }
    host.freeMemory(list);
    return out;
}

Bytes clientList(ModelHost& host, Rest& rest, std::string& output)
{
    const uint64 schid = host.currentSchid();
    anyID self = 0;
    if (const unsigned int ret = host.clientId(schid, self)) {
        output += "\nERR: " + std::to_string(ret);
        return rest.left();
    }
    std::vector<anyID> ids;
    Block list;
    if (const unsigned int ret = host.clientList(schid, ids, list)) {
        output += "\nERR2: " + std::to_string(ret);
        return rest.left();
    }
    Wire out;
    out.u8(5).i64(self);
    uint64 channel = 0;
    out.i64(host.channelOfClient(schid, self, channel) == 0 ? static_cast<std::int64_t>(channel) : 0);
    out.i64(static_cast<std::int64_t>(ids.size()));
    const auto property = [&](anyID id, std::size_t number) {
        int value = 0;
        return host.clientInt(schid, id, number, value) == 0 ? value : 0;
    };
    for (const anyID id : ids) {
        out.i64(id);
        std::string name;
        Block block;
        if (host.nickname(schid, id, name, block) == 0) {
            out.str(name);
            host.freeMemory(block);
        } else {
            out.str("ERROR");
        }
        int talking = 0;
        if (id == self) {
            out.i64(host.selfInt(schid, 4, talking) == 0 ? talking : 0);
        } else {
            out.i64(property(id, 4));
        }
        channel = 0;
        out.i64(host.channelOfClient(schid, id, channel) == 0 ? static_cast<std::int64_t>(channel) : 0);
        out.u16(static_cast<std::uint16_t>(property(id, 43)));
        out.u16(static_cast<std::uint16_t>(property(id, 46)));
        out.u8(static_cast<std::uint8_t>(property(id, 5)));
        out.u8(static_cast<std::uint8_t>(property(id, 6)));
        out.u8(static_cast<std::uint8_t>(property(id, 17)));
        out.u8(0);
        out.u8(0);
        out.u8(static_cast<std::uint8_t>(property(id, 38)));
        out.u8(static_cast<std::uint8_t>(property(id, 57)));
        out.u8(static_cast<std::uint8_t>(property(id, 16)));
    }
    host.freeMemory(list);
    return out;
}

void control(ModelHost& host, Rest& rest, const std::string& returnCode)
{
    // A request too short for its action's fields acts on nothing and leaves nothing.
    const auto need = [&rest](std::size_t count) {
        if (rest.holds(count)) {
            return true;
        }
        rest.drop();
        return false;
    };
    const auto toggle = [&](std::size_t property) {
        const uint64 schid = host.currentSchid();
        int value = 0;
        if (host.selfInt(schid, property, value) != 0) {
            return;
        }
        host.setSelfInt(schid, property, value == 1 ? 0 : 1);
        host.flushSelf(schid, returnCode);
    };
    switch (rest.take(1)) {
        case 1:
            host.stopConnection(host.currentSchid());
            break;
        case 2:
            toggle(5);
            break;
        case 3:
            toggle(38);
            break;
        case 4:
            toggle(6);
            break;
        case 5: {
            const uint64 schid = host.currentSchid();
            host.requestTalker(schid, 1, returnCode);
            int pending = 0;
            host.selfInt(schid, 43, pending);
            host.requestTalker(schid, pending != 0 ? 0 : 1, returnCode);
            break;
        }
        case 7: {
            const uint64 schid = host.currentSchid();
            anyID self = 0;
            if (host.clientId(schid, self) != 0 || !need(4)) {
                break;
            }
            const uint64 channel = rest.take(4);
            rest.skipString();
            host.move(schid, self, channel);
            break;
        }
        case 8: {
            if (!need(2)) {
                break;
            }
            const auto client = static_cast<anyID>(rest.take(2));
            host.kickFromChannel(host.currentSchid(), client, returnCode);
            break;
        }
        case 9: {
            const uint64 schid = host.currentSchid();
            if (need(2)) {
                host.removeClient("requestClientKickFromServer", schid, static_cast<anyID>(rest.take(2)),
                                  std::nullopt, returnCode);
            }
            break;
        }
        case 10: {
            const uint64 schid = host.currentSchid();
            if (need(6)) {
                const auto client = static_cast<anyID>(rest.take(2));
                host.removeClient("banclient", schid, client, rest.take(4), returnCode);
            }
            break;
        }
        case 11: {
            const uint64 schid = host.currentSchid();
            if (need(6)) {
                const auto client = static_cast<anyID>(rest.take(2));
                host.move(schid, client, rest.take(4));
            }
            break;
        }
        default:
            break;
    }
}

}  // namespace

Outcome expectedOutcome(const sim::Model& model, const Bytes& request, const std::optional<Fault>& fault,
                        const std::string& createdCode)
{
    ModelHost host(model, fault, createdCode);
    const std::uint8_t command = request.empty() ? 0 : request.front();
    Rest rest(request.empty() ? Bytes() : Bytes(request.begin() + 1, request.end()));
    const std::string returnCode = host.createReturnCode();

    Bytes answer;
    std::string output;
    switch (command) {
        case 2:
            answer = serverName(host);
            break;
        case 3:
            answer = channelList(host);
            break;
        case 4:
            control(host, rest, returnCode);
            answer = rest.left();
            break;
        case 5:
            answer = clientList(host, rest, output);
            break;
        default:
            answer = {0};
            break;
    }
    Outcome outcome = std::move(host.outcome());
    outcome.answer = std::move(answer);
    outcome.output = std::move(output);
    return outcome;
}

std::string describeCall(const sim::Call& call)
{
    Line line{call.fn};
    line.schid = call.schid;
    line.client = call.client;
    line.channel = call.channel;
    line.property = call.property;
    line.request = call.request;
    line.seconds = call.seconds;
    line.message = call.message;
    line.password = call.password;
    line.reason = call.reason;
    if (call.fn == "setClientSelfVariableAsInt" && call.value) {
        line.value = std::get<std::int64_t>(*call.value);
    }
    line.takesReturnCode = call.takesReturnCode;
    line.returnCode = call.returnCode;
    if (call.fn == "createReturnCode") {
        line.hasPluginId = true;
        line.pluginId = call.pluginID;
        line.maxLen = call.maxLen;
    }
    line.released = call.released;
    line.ret = call.ret;
    return line.text();
}

}  // namespace faults
