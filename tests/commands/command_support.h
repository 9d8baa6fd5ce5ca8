#pragma once
// Shared by the command tests: a small server to ask, expected answers built field by
// field, and the host's call log reduced to lines that a table can hold.

#include "support/sim_fixture.h"

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace commands_test {

inline constexpr uint64 SCHID = 1;
inline constexpr std::uint64_t TWO_POW_32 = 0x100000000ull;

// One connection in front, holding exactly these channels and clients.
inline sim::Model oneServer(std::vector<sim::Channel> channels, std::vector<sim::Client> clients, anyID self)
{
    sim::Connection connection;
    connection.schid = SCHID;
    connection.serverName = "Test";
    connection.self = self;
    connection.channels = std::move(channels);
    connection.clients = std::move(clients);
    sim::Model model;
    model.current = SCHID;
    model.connections.push_back(std::move(connection));
    return model;
}

// An expected answer, written with the same field widths the display reads.
class Wire {
public:
    Wire& u8(std::uint8_t value)
    {
        m_bytes.push_back(value);
        return *this;
    }
    Wire& u16(std::uint16_t value) { return big(value, 2); }
    Wire& u32(std::uint32_t value) { return big(value, 4); }
    Wire& i64(std::int64_t value) { return big(static_cast<std::uint64_t>(value), 8); }
    Wire& str(const std::string& text)
    {
        u16(static_cast<std::uint16_t>(text.size()));
        m_bytes.insert(m_bytes.end(), text.begin(), text.end());
        return *this;
    }
    Wire& zeros(std::size_t count)
    {
        m_bytes.insert(m_bytes.end(), count, 0);
        return *this;
    }
    Wire& raw(std::initializer_list<std::uint8_t> bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    operator Bytes() const { return m_bytes; }

private:
    Wire& big(std::uint64_t value, std::size_t width)
    {
        for (std::size_t i = width; i-- > 0;) {
            m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        return *this;
    }

    Bytes m_bytes;
};

// The code the host created for the last request; a return code equal to it shows as "rc=created".
inline std::string createdReturnCode()
{
    const std::vector<sim::Call> created = callsOf("createReturnCode");
    if (created.empty() || !created.back().value) {
        return {};
    }
    return std::get<std::string>(*created.back().value);
}

// One call as a line: the slot name and every argument the plug-in passed.
inline std::string describe(const sim::Call& call, const std::string& created)
{
    std::string line = call.fn;
    const auto add = [&line](const char* key, const std::string& value) {
        line += std::string(" ") + key + "=" + value;
    };
    const auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
    if (call.fn == "getCurrentServerConnectionHandlerID") {
        return line;
    }
    if (call.schid) add("schid", std::to_string(*call.schid));
    if (call.client) add("client", std::to_string(*call.client));
    if (call.channel) add("channel", std::to_string(*call.channel));
    if (call.property) add("property", std::to_string(*call.property));
    if (call.request) add("request", std::to_string(*call.request));
    if (call.seconds) add("seconds", std::to_string(*call.seconds));
    if (call.message) add("message", quoted(*call.message));
    if (call.password) add("password", quoted(*call.password));
    if (call.reason) add("reason", quoted(*call.reason));
    if (call.fn == "setClientSelfVariableAsInt" && call.value) {
        add("value", std::to_string(std::get<std::int64_t>(*call.value)));
    }
    if (call.takesReturnCode) {
        add("rc", !call.returnCode              ? "null"
                  : *call.returnCode == created ? "created"
                                                : quoted(*call.returnCode));
    }
    if (call.released) add("released", *call.released);
    if (call.ret != 0) add("ret", std::to_string(call.ret));
    return line;
}

class CommandTest : public SimHostTest {
protected:
    // Every call the handler made, in order, and its pauses ("pause 200ms") where they fell
    // between the calls; the dispatcher's createReturnCode is left out.
    std::vector<std::string> trace() const
    {
        const std::string created = createdReturnCode();
        const std::vector<sim::Call> calls = sim::calls();
        std::vector<std::string> lines;
        std::size_t pause = 0;
        for (std::size_t i = 0; i <= calls.size(); ++i) {
            for (; pause < pauses().size() && pauses()[pause].afterCalls == i; ++pause) {
                lines.push_back("pause " + std::to_string(pauses()[pause].duration.count()) + "ms");
            }
            if (i < calls.size() && calls[i].fn != "createReturnCode") {
                lines.push_back(describe(calls[i], created));
            }
        }
        return lines;
    }
};

}  // namespace commands_test
