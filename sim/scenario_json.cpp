#include "sim/scenario_json.h"

#include "host/properties.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace sim {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// The host functions the plug-in calls; a failure rule for any other name could never
// match, which is almost always a typo in the scenario.
constexpr std::string_view SLOT_NAMES[] = {
    "freeMemory",
    "stopConnection",
    "requestClientMove",
    "requestClientKickFromChannel",
    "requestClientKickFromServer",
    "getClientID",
    "getClientSelfVariableAsInt",
    "setClientSelfVariableAsInt",
    "flushClientSelfUpdates",
    "getClientVariableAsInt",
    "getClientVariableAsString",
    "getClientList",
    "getChannelOfClient",
    "getChannelVariableAsInt",
    "getChannelVariableAsString",
    "getChannelList",
    "getParentChannelOfChannel",
    "getServerVariableAsString",
    "requestIsTalker",
    "banclient",
    "getCurrentServerConnectionHandlerID",
    "createReturnCode",
};

struct NamedProperty {
    const char* key;
    std::size_t property;
};

constexpr NamedProperty CHANNEL_FIELDS[] = {
    {"neededTalkPower", CHANNEL_NEEDED_TALK_POWER},
    {"order", CHANNEL_ORDER},
    {"password", CHANNEL_FLAG_PASSWORD},
};

constexpr NamedProperty CLIENT_FIELDS[] = {
    {"talking", CLIENT_FLAG_TALKING},
    {"inputMuted", CLIENT_INPUT_MUTED},
    {"outputMuted", CLIENT_OUTPUT_MUTED},
    {"localMuted", CLIENT_IS_MUTED},
    {"recording", CLIENT_IS_RECORDING},
    {"away", CLIENT_AWAY},
    {"talkRequest", CLIENT_TALK_REQUEST},
    {"isTalker", CLIENT_IS_TALKER},
    {"channelCommander", CLIENT_IS_CHANNEL_COMMANDER},
};

constexpr std::uint64_t ANY_ID_MAX = std::numeric_limits<anyID>::max();
constexpr std::uint64_t UINT64_MAX_VALUE = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t UINT_MAX_VALUE = std::numeric_limits<unsigned int>::max();

// Thrown while reading and turned into the error text at the top; `path` is a JSON pointer.
class FieldError : public std::runtime_error {
public:
    FieldError(const std::string& path, const std::string& what)
        : std::runtime_error("at " + (path.empty() ? std::string("/") : path) + ": " + what)
    {
    }
};

std::string childPath(const std::string& path, std::string_view key)
{
    std::string result = path + "/";
    for (const char c : key) {
        if (c == '~') {
            result += "~0";
        } else if (c == '/') {
            result += "~1";
        } else {
            result += c;
        }
    }
    return result;
}

std::string childPath(const std::string& path, std::size_t index)
{
    return path + "/" + std::to_string(index);
}

void expectObject(const json& value, const std::string& path, std::initializer_list<std::string_view> keys)
{
    if (!value.is_object()) {
        throw FieldError(path, "expected an object");
    }
    for (const auto& item : value.items()) {
        if (std::find(keys.begin(), keys.end(), item.key()) == keys.end()) {
            throw FieldError(childPath(path, item.key()), "unknown field");
        }
    }
}

const json& expectArray(const json& value, const std::string& path)
{
    if (!value.is_array()) {
        throw FieldError(path, "expected an array");
    }
    return value;
}

std::uint64_t readUnsigned(const json& value, const std::string& path, std::uint64_t max)
{
    // nlohmann keeps every non-negative integer as unsigned, so a negative number and a
    // number beyond 2^64 - 1 (read as floating point) both end up in the error below.
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= max) {
            return number;
        }
    }
    throw FieldError(path, "expected an integer from 0 to " + std::to_string(max));
}

int readInt(const json& value, const std::string& path)
{
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
            return static_cast<int>(number);
        }
    } else if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= std::numeric_limits<int>::min()) {
            return static_cast<int>(number);
        }
    }
    throw FieldError(path, "expected an integer from " + std::to_string(std::numeric_limits<int>::min()) +
                               " to " + std::to_string(std::numeric_limits<int>::max()));
}

std::string readString(const json& value, const std::string& path)
{
    if (!value.is_string()) {
        throw FieldError(path, "expected a string");
    }
    return value.get<std::string>();
}

bool readBool(const json& value, const std::string& path)
{
    if (!value.is_boolean()) {
        throw FieldError(path, "expected true or false");
    }
    return value.get<bool>();
}

// Calls `read(value, path)` for `key` when the object holds it.
template <typename Read>
void optionalField(const json& object, const char* key, const std::string& path, Read&& read)
{
    const auto found = object.find(key);
    if (found != object.end()) {
        read(*found, childPath(path, key));
    }
}

const json& requiredField(const json& object, const char* key, const std::string& path)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        throw FieldError(childPath(path, key), "missing");
    }
    return *found;
}

void readProps(const json& value, const std::string& path, IntProperties& ints)
{
    if (!value.is_object()) {
        throw FieldError(path, "expected an object of property numbers");
    }
    for (const auto& item : value.items()) {
        const std::string& key = item.key();
        std::size_t property = 0;
        const auto [end, status] = std::from_chars(key.data(), key.data() + key.size(), property);
        if (key.empty() || status != std::errc() || end != key.data() + key.size()) {
            throw FieldError(childPath(path, key), "expected a property number as the key");
        }
        ints[property] = readInt(item.value(), childPath(path, key));
    }
}

template <std::size_t N>
void readNamedProperties(const json& object, const std::string& path, const NamedProperty (&fields)[N],
                         IntProperties& ints)
{
    for (const NamedProperty& field : fields) {
        optionalField(object, field.key, path,
                      [&](const json& v, const std::string& p) { ints[field.property] = readInt(v, p); });
    }
}

Channel readChannel(const json& value, const std::string& path)
{
    expectObject(value, path, {"id", "name", "parent", "neededTalkPower", "order", "password", "props"});
    Channel channel;
    channel.id = readUnsigned(requiredField(value, "id", path), childPath(path, "id"), UINT64_MAX_VALUE);
    optionalField(value, "name", path,
                  [&](const json& v, const std::string& p) { channel.name = readString(v, p); });
    optionalField(value, "parent", path, [&](const json& v, const std::string& p) {
        channel.parent = readUnsigned(v, p, UINT64_MAX_VALUE);
    });
    readNamedProperties(value, path, CHANNEL_FIELDS, channel.ints);
    optionalField(value, "props", path,
                  [&](const json& v, const std::string& p) { readProps(v, p, channel.ints); });
    return channel;
}

Client readClient(const json& value, const std::string& path)
{
    expectObject(value, path,
                 {"id", "nickname", "channel", "talking", "inputMuted", "outputMuted", "localMuted",
                  "recording", "away", "talkRequest", "isTalker", "channelCommander", "listed", "props"});
    Client client;
    client.id =
        static_cast<anyID>(readUnsigned(requiredField(value, "id", path), childPath(path, "id"), ANY_ID_MAX));
    optionalField(value, "nickname", path,
                  [&](const json& v, const std::string& p) { client.nickname = readString(v, p); });
    optionalField(value, "channel", path, [&](const json& v, const std::string& p) {
        client.channel = readUnsigned(v, p, UINT64_MAX_VALUE);
    });
    readNamedProperties(value, path, CLIENT_FIELDS, client.ints);
    optionalField(value, "listed", path,
                  [&](const json& v, const std::string& p) { client.listed = readBool(v, p); });
    optionalField(value, "props", path,
                  [&](const json& v, const std::string& p) { readProps(v, p, client.ints); });
    return client;
}

Connection readConnection(const json& value, const std::string& path)
{
    expectObject(value, path, {"schid", "server", "self", "channels", "clients"});
    Connection connection;
    connection.schid =
        readUnsigned(requiredField(value, "schid", path), childPath(path, "schid"), UINT64_MAX_VALUE);
    optionalField(value, "server", path, [&](const json& server, const std::string& serverPath) {
        expectObject(server, serverPath, {"name", "roundTripMs"});
        optionalField(server, "name", serverPath,
                      [&](const json& v, const std::string& p) { connection.serverName = readString(v, p); });
        optionalField(server, "roundTripMs", serverPath, [&](const json& v, const std::string& p) {
            connection.roundTripMs = static_cast<std::uint32_t>(readUnsigned(v, p, UINT_MAX_VALUE));
        });
    });
    optionalField(value, "self", path, [&](const json& v, const std::string& p) {
        connection.self = static_cast<anyID>(readUnsigned(v, p, ANY_ID_MAX));
    });
    optionalField(value, "channels", path, [&](const json& v, const std::string& p) {
        for (std::size_t i = 0; i < expectArray(v, p).size(); ++i) {
            connection.channels.push_back(readChannel(v[i], childPath(p, i)));
        }
    });
    optionalField(value, "clients", path, [&](const json& v, const std::string& p) {
        for (std::size_t i = 0; i < expectArray(v, p).size(); ++i) {
            connection.clients.push_back(readClient(v[i], childPath(p, i)));
        }
    });
    return connection;
}

FailureRule readFailure(const json& value, const std::string& path)
{
    expectObject(value, path, {"fn", "code", "schid", "client", "channel", "property", "skip", "count"});
    FailureRule rule;
    rule.fn = readString(requiredField(value, "fn", path), childPath(path, "fn"));
    if (std::find(std::begin(SLOT_NAMES), std::end(SLOT_NAMES), rule.fn) == std::end(SLOT_NAMES)) {
        throw FieldError(childPath(path, "fn"), "not a host function the plug-in calls: \"" + rule.fn + "\"");
    }
    optionalField(value, "code", path, [&](const json& v, const std::string& p) {
        rule.code = static_cast<unsigned int>(readUnsigned(v, p, UINT_MAX_VALUE));
        if (rule.code == 0) {
            throw FieldError(p, "a failure needs a non-zero code");
        }
    });
    optionalField(value, "schid", path, [&](const json& v, const std::string& p) {
        rule.schid = readUnsigned(v, p, UINT64_MAX_VALUE);
    });
    optionalField(value, "client", path, [&](const json& v, const std::string& p) {
        rule.client = static_cast<anyID>(readUnsigned(v, p, ANY_ID_MAX));
    });
    optionalField(value, "channel", path, [&](const json& v, const std::string& p) {
        rule.channel = readUnsigned(v, p, UINT64_MAX_VALUE);
    });
    optionalField(value, "property", path, [&](const json& v, const std::string& p) {
        rule.property = static_cast<std::size_t>(readUnsigned(v, p, std::numeric_limits<std::size_t>::max()));
    });
    optionalField(value, "skip", path, [&](const json& v, const std::string& p) {
        rule.skip = static_cast<unsigned int>(readUnsigned(v, p, UINT_MAX_VALUE));
    });
    optionalField(value, "count", path, [&](const json& v, const std::string& p) {
        rule.count = static_cast<unsigned int>(readUnsigned(v, p, UINT_MAX_VALUE));
    });
    return rule;
}

std::map<std::string, UserAction> readBindings(const json& value, const std::string& path)
{
    if (!value.is_object()) {
        throw FieldError(path, "expected an object of button names and actions");
    }
    std::map<std::string, UserAction> bindings;
    for (const auto& item : value.items()) {
        const std::string itemPath = childPath(path, item.key());
        const std::string name = readString(item.value(), itemPath);
        const std::optional<UserAction> action = userActionNamed(name);
        if (!action) {
            throw FieldError(itemPath, "not an action: \"" + name + "\"; one of " + userActionNames());
        }
        bindings[item.key()] = *action;
    }
    return bindings;
}

Scenario readScenario(const json& value)
{
    const std::string root;
    expectObject(value, root, {"current", "connections", "failures", "bindings", "remoteAppsKeys"});
    Scenario scenario;
    optionalField(value, "current", root, [&](const json& v, const std::string& p) {
        scenario.model.current = readUnsigned(v, p, UINT64_MAX_VALUE);
    });
    optionalField(value, "connections", root, [&](const json& v, const std::string& p) {
        for (std::size_t i = 0; i < expectArray(v, p).size(); ++i) {
            scenario.model.connections.push_back(readConnection(v[i], childPath(p, i)));
        }
    });
    optionalField(value, "failures", root, [&](const json& v, const std::string& p) {
        for (std::size_t i = 0; i < expectArray(v, p).size(); ++i) {
            scenario.failures.push_back(readFailure(v[i], childPath(p, i)));
        }
    });
    optionalField(value, "bindings", root,
                  [&](const json& v, const std::string& p) { scenario.model.bindings = readBindings(v, p); });
    optionalField(value, "remoteAppsKeys", root, [&](const json& v, const std::string& p) {
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < expectArray(v, p).size(); ++i) {
            keys.push_back(readString(v[i], childPath(p, i)));
        }
        scenario.remoteAppsKeys = std::move(keys);
    });
    return scenario;
}

// Named fields for the properties that have a name, "props" for the rest.
template <std::size_t N>
void writeProperties(ordered_json& object, const IntProperties& ints, const NamedProperty (&fields)[N])
{
    ordered_json props = ordered_json::object();
    for (const auto& [property, value] : ints) {
        const auto named =
            std::find_if(std::begin(fields), std::end(fields),
                         [&](const NamedProperty& field) { return field.property == property; });
        if (named != std::end(fields)) {
            object[named->key] = value;
        } else {
            props[std::to_string(property)] = value;
        }
    }
    if (!props.empty()) {
        object["props"] = std::move(props);
    }
}

ordered_json channelToJson(const Channel& channel)
{
    ordered_json object = {{"id", channel.id}, {"name", channel.name}, {"parent", channel.parent}};
    writeProperties(object, channel.ints, CHANNEL_FIELDS);
    return object;
}

ordered_json clientToJson(const Client& client)
{
    ordered_json object = {{"id", client.id}, {"nickname", client.nickname}, {"channel", client.channel}};
    writeProperties(object, client.ints, CLIENT_FIELDS);
    object["listed"] = client.listed;
    return object;
}

ordered_json failureToJson(const FailureRule& rule)
{
    ordered_json object = {{"fn", rule.fn}, {"code", rule.code}, {"skip", rule.skip}};
    if (rule.schid) {
        object["schid"] = *rule.schid;
    }
    if (rule.client) {
        object["client"] = *rule.client;
    }
    if (rule.channel) {
        object["channel"] = *rule.channel;
    }
    if (rule.property) {
        object["property"] = *rule.property;
    }
    if (rule.count) {
        object["count"] = *rule.count;
    }
    return object;
}

ordered_json valueToJson(const Value& value)
{
    return std::visit([](const auto& v) { return ordered_json(v); }, value);
}

// Drops nlohmann's "[json.exception.parse_error.101] " in front of its own message.
std::string withoutExceptionTag(const std::string& what)
{
    const auto tagEnd = what.find("] ");
    return (what.rfind("[json.exception.", 0) == 0 && tagEnd != std::string::npos) ? what.substr(tagEnd + 2)
                                                                                   : what;
}

}  // namespace

std::optional<Scenario> parseScenario(std::string_view text, std::string& error)
{
    try {
        return readScenario(json::parse(text.begin(), text.end()));
    } catch (const json::parse_error& e) {
        error = withoutExceptionTag(e.what());
    } catch (const FieldError& e) {
        error = e.what();
    }
    return std::nullopt;
}

ordered_json scenarioToJson(const Scenario& scenario)
{
    ordered_json connections = ordered_json::array();
    for (const Connection& connection : scenario.model.connections) {
        ordered_json channels = ordered_json::array();
        for (const Channel& channel : connection.channels) {
            channels.push_back(channelToJson(channel));
        }
        ordered_json clients = ordered_json::array();
        for (const Client& client : connection.clients) {
            clients.push_back(clientToJson(client));
        }
        ordered_json server = {{"name", connection.serverName}};
        if (connection.roundTripMs != 0) {
            server["roundTripMs"] = connection.roundTripMs;
        }
        connections.push_back({{"schid", connection.schid},
                               {"server", std::move(server)},
                               {"self", connection.self},
                               {"channels", std::move(channels)},
                               {"clients", std::move(clients)}});
    }
    ordered_json failures = ordered_json::array();
    for (const FailureRule& rule : scenario.failures) {
        failures.push_back(failureToJson(rule));
    }
    ordered_json result = {{"current", scenario.model.current},
                           {"connections", std::move(connections)},
                           {"failures", std::move(failures)}};
    if (!scenario.model.bindings.empty()) {
        ordered_json bindings = ordered_json::object();
        for (const auto& [button, action] : scenario.model.bindings) {
            bindings[button] = userActionName(action);
        }
        result["bindings"] = std::move(bindings);
    }
    if (scenario.remoteAppsKeys) {
        result["remoteAppsKeys"] = *scenario.remoteAppsKeys;
    }
    return result;
}

ordered_json callToJson(const Call& call, double tMs)
{
    ordered_json line = {{"t_ms", tMs}, {"fn", call.fn}};
    const auto put = [&line](const char* key, const auto& field) {
        if (field) {
            line[key] = *field;
        }
    };
    put("schid", call.schid);
    put("client", call.client);
    put("channel", call.channel);
    put("property", call.property);
    put("message", call.message);
    put("password", call.password);
    put("reason", call.reason);
    put("seconds", call.seconds);
    put("request", call.request);
    if (call.takesReturnCode) {
        line["returnCode"] = call.returnCode ? ordered_json(*call.returnCode) : ordered_json(nullptr);
    }
    if (call.pluginID) {
        line["pluginID"] = *call.pluginID;
    } else if (call.fn == "createReturnCode") {
        // The plug-in passes no ID; show that rather than leave the argument out.
        line["pluginID"] = nullptr;
    }
    put("released", call.released);
    line["ret"] = call.ret;
    if (call.value) {
        line["value"] = valueToJson(*call.value);
    }
    return line;
}

std::string dumpJson(const ordered_json& value)
{
    return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace sim
