// Fuzz target for the request path: one input is a simulated server, a few host failure
// rules and one request. The request goes through processRequest exactly as the listener
// passes a receive; every input must leave the host's memory balanced and produce an answer
// the display can read.
//
// Input layout, read from the front; a byte past the end reads as 0, so every input is valid:
//   connection  schid, current, server name, own client
//   channels    count, then per channel: ID, name, parent, talk power, order, password flag
//   clients     count, then per client: ID, nickname, channel, listed, property mask, then one
//               value per property in the mask
//   rules       count, then per rule: function, code, skip, count, filter
//   request     every byte that is left (at most one receive's 512)
// Each field but the counts is one byte that picks from the tables below: IDs near 2^16,
// 2^32 and 2^64, empty, long, non-ASCII and invalid UTF-8 names, negative and oversized values.

#include "client/answers.h"
#include "g19/version.h"
#include "protocol/request.h"
#include "protocol/wire.h"
#include "sim/sim_host.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t RECEIVE_BYTES = 512;
constexpr std::size_t MAX_CHANNELS = 8;
constexpr std::size_t MAX_CLIENTS = 8;
constexpr std::size_t MAX_RULES = 4;

const std::uint64_t SCHIDS[] = {1, 2, 0xFFFFFFFFFFFFFFFFull};
const std::uint64_t CHANNEL_IDS[] = {
    1,
    2,
    3,
    42,
    0xFFFF,
    0x10000,
    0xFFFFFFFF,
    0x100000000ull,
    0x100000001ull,
    0x7FFFFFFFFFFFFFFFull,
    0x8000000000000000ull,
    0xFFFFFFFFFFFFFFFFull,
    0,  // ends the host's list early, as a terminator inside it
};
const anyID CLIENT_IDS[] = {1, 2, 3, 7, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF, 0};
const int VALUES[] = {
    0, 1, 2, -1, 255, 256, 65535, 65537, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
const std::size_t CLIENT_PROPERTIES[] = {4, 5, 6, 16, 17, 38, 43, 46, 57};
const std::size_t FILTER_PROPERTIES[] = {0, 1, 4, 5, 6, 8, 12, 28, 38, 43};
// Every slot the plug-in calls except freeMemory: a host that refuses to take memory back
// leaks by its own doing, and the fault sweep covers that case.
const char* const FUNCTIONS[] = {
    "getCurrentServerConnectionHandlerID",
    "createReturnCode",
    "getServerVariableAsString",
    "getChannelList",
    "getChannelVariableAsString",
    "getChannelVariableAsInt",
    "getParentChannelOfChannel",
    "getClientID",
    "getClientList",
    "getChannelOfClient",
    "getClientVariableAsString",
    "getClientVariableAsInt",
    "getClientSelfVariableAsInt",
    "setClientSelfVariableAsInt",
    "flushClientSelfUpdates",
    "stopConnection",
    "requestIsTalker",
    "requestClientMove",
    "requestClientKickFromChannel",
    "requestClientKickFromServer",
    "banclient",
};

std::string nameFor(std::uint8_t selector)
{
    switch (selector % 9) {
        case 0:
            return "";
        case 1:
            return "a";
        case 2:
            return "Lobby";
        case 3:
            return "Zw\xC3\xB6lf \xE2\x9C\x93";
        case 4:
            return "\xFF\xFE\xC0\x80";
        case 5:
            return std::string(300, 'x');
        case 6:
            // Longer than a string field can say: the answer must cut it, not break its framing.
            return std::string(70000, 'y');
        case 7:
            return std::string("emb\0edded", 9);
        default:
            return "ERROR";
    }
}

template <typename T, std::size_t N>
T pick(const T (&table)[N], std::uint8_t selector)
{
    return table[selector % N];
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    const std::uint8_t* rest() const { return m_data + m_at; }
    std::size_t left() const { return m_size - m_at; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

sim::Model readModel(Input& in)
{
    sim::Connection connection;
    connection.schid = pick(SCHIDS, in.byte());
    const std::uint8_t current = in.byte();
    connection.serverName = nameFor(in.byte());
    const std::uint8_t self = in.byte();

    const std::size_t channels = in.byte() % (MAX_CHANNELS + 1);
    for (std::size_t i = 0; i < channels; ++i) {
        sim::Channel channel;
        channel.id = pick(CHANNEL_IDS, in.byte());
        channel.name = nameFor(in.byte());
        channel.parent = pick(CHANNEL_IDS, in.byte());
        channel.ints[28] = pick(VALUES, in.byte());
        channel.ints[8] = pick(VALUES, in.byte());
        channel.ints[12] = pick(VALUES, in.byte());
        connection.channels.push_back(channel);
    }

    const std::size_t clients = in.byte() % (MAX_CLIENTS + 1);
    for (std::size_t i = 0; i < clients; ++i) {
        sim::Client client;
        client.id = pick(CLIENT_IDS, in.byte());
        client.nickname = nameFor(in.byte());
        client.channel = pick(CHANNEL_IDS, in.byte());
        client.listed = in.byte() % 4 != 0;
        const std::uint16_t mask = static_cast<std::uint16_t>(in.byte() | in.byte() << 8);
        for (std::size_t p = 0; p < std::size(CLIENT_PROPERTIES); ++p) {
            if (mask & (1u << p)) {
                client.ints[CLIENT_PROPERTIES[p]] = pick(VALUES, in.byte());
            }
        }
        connection.clients.push_back(client);
    }
    // The own client is one of the clients, or an ID the host does not know, or none.
    if (self % 4 == 0 || connection.clients.empty()) {
        connection.self = self % 8 == 0 ? 0 : pick(CLIENT_IDS, self);
    } else {
        connection.self = connection.clients[self % connection.clients.size()].id;
    }

    sim::Model model;
    // Mostly the connection itself; sometimes no connection in front, or one that is gone.
    model.current = current % 8 == 0 ? 0 : current % 8 == 1 ? connection.schid + 1 : connection.schid;
    model.connections.push_back(connection);
    return model;
}

std::vector<sim::FailureRule> readRules(Input& in)
{
    std::vector<sim::FailureRule> rules(in.byte() % (MAX_RULES + 1));
    for (sim::FailureRule& rule : rules) {
        rule.fn = pick(FUNCTIONS, in.byte());
        rule.code = 1u + in.byte();
        rule.skip = in.byte() % 16;
        if (const std::uint8_t count = in.byte() % 4; count != 0) {
            rule.count = count;
        }
        const std::uint8_t filter = in.byte();
        switch (filter % 4) {
            case 1:
                rule.property = pick(FILTER_PROPERTIES, static_cast<std::uint8_t>(filter >> 2));
                break;
            case 2:
                rule.client = pick(CLIENT_IDS, static_cast<std::uint8_t>(filter >> 2));
                break;
            case 3:
                rule.channel = pick(CHANNEL_IDS, static_cast<std::uint8_t>(filter >> 2));
                break;
            default:
                break;
        }
    }
    return rules;
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "request fuzzer: %s\n", what.c_str());
    std::abort();
}

// Entries of a host list before its first 0, which ends the list as far as the plug-in knows.
template <typename Entries, typename Id>
std::size_t listedBeforeZero(const Entries& entries, Id id)
{
    std::size_t count = 0;
    for (const auto& entry : entries) {
        const auto value = id(entry);
        if (!value) {
            continue;
        }
        if (*value == 0) {
            break;
        }
        ++count;
    }
    return count;
}

void checkAnswer(const sim::Model& model, std::uint8_t command, const std::vector<std::uint8_t>& rest,
                 const std::vector<std::uint8_t>& answer, const std::string& output)
{
    const sim::Connection* front = nullptr;
    for (const sim::Connection& connection : model.connections) {
        if (connection.schid == model.current) {
            front = &connection;
            break;
        }
    }
    if (command != COMMAND_CLIENT_LIST && !output.empty()) {
        fail("standard output written for command " + std::to_string(command) + ": " + output);
    }
    switch (command) {
        case COMMAND_SERVER_NAME: {
            const auto decoded = display::decodeServerInfo(answer.data(), answer.size());
            if (!decoded.complete()) {
                fail("server name answer: " + display::describe(decoded.status, decoded.error));
            }
            break;
        }
        case COMMAND_CHANNEL_LIST: {
            if (answer.empty()) {
                break;  // the host could not list or name the channels
            }
            const auto decoded = display::decodeChannelList(answer.data(), answer.size());
            if (!decoded.complete()) {
                fail("channel list answer: " + display::describe(decoded.status, decoded.error));
            }
            const std::size_t expected =
                front == nullptr ? 0 : listedBeforeZero(front->channels, [](const sim::Channel& c) {
                    return std::optional(c.id);
                });
            if (front == nullptr || decoded.answer.channels.size() != expected) {
                fail("channel list answer has " + std::to_string(decoded.answer.channels.size()) +
                     " records, the host lists " + std::to_string(expected));
            }
            break;
        }
        case COMMAND_CONTROL:
            // Nothing is written: the answer is what the action left of the request.
            if (answer.size() > rest.size() ||
                !std::equal(answer.begin(), answer.end(),
                            rest.end() - static_cast<std::ptrdiff_t>(answer.size()))) {
                fail("control answer is not the unread rest of the request");
            }
            break;
        case COMMAND_CLIENT_LIST: {
            if (!output.empty()) {
                if (output.rfind("\nERR: ", 0) != 0 && output.rfind("\nERR2: ", 0) != 0) {
                    fail("client list diagnostic: " + output);
                }
                if (answer != rest) {
                    fail("client list answer after a diagnostic is not the request left untouched");
                }
                break;
            }
            const auto decoded = display::decodeClientList(answer.data(), answer.size());
            if (!decoded.complete()) {
                fail("client list answer: " + display::describe(decoded.status, decoded.error));
            }
            const std::size_t expected =
                front == nullptr ? 0 : listedBeforeZero(front->clients, [](const sim::Client& c) {
                    return c.listed ? std::optional<anyID>(c.id) : std::nullopt;
                });
            if (front == nullptr || decoded.answer.clients.size() != expected ||
                decoded.answer.ownId != front->self) {
                fail("client list answer does not match the host's list or own client");
            }
            break;
        }
        default:
            if (answer != std::vector<std::uint8_t>{0}) {
                fail("unrecognised command " + std::to_string(command) + " not answered with exactly 00");
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const TS3Functions host = [] {
        sim::setLogging(false);
        return sim::functionTable();
    }();

    Input in(data, size);
    const sim::Model model = readModel(in);
    sim::reset();
    sim::setModel(model);
    sim::setFailures(readRules(in));

    const std::size_t count = std::min(in.left(), RECEIVE_BYTES);
    const std::vector<std::uint8_t> request(in.rest(), in.rest() + count);

    // The control commands' pauses return at once, as after a stop.
    std::ostringstream output;
    const RequestContext context{host, G19_VERSION, [](std::chrono::milliseconds) {}, output};
    const Packet packet = processRequest(context, request.data(), static_cast<std::int32_t>(request.size()));

    const sim::MemoryReport memory = sim::memory();
    if (memory.live != 0 || memory.invalid != 0) {
        fail("host memory unbalanced: " + std::to_string(memory.live) + " live, " +
             std::to_string(memory.invalid) + " invalid releases");
    }
    const std::uint8_t command = request.empty() ? 0 : request.front();
    const std::vector<std::uint8_t> rest(request.empty() ? request.begin() : request.begin() + 1,
                                         request.end());
    checkAnswer(model, command, rest, std::vector<std::uint8_t>(packet.data(), packet.data() + packet.size()),
                output.str());
    return 0;
}
