#pragma once
// Shared by the command tests: a small server to ask, and the host's call log reduced to
// lines that a table can hold.

#include "support/models.h"
#include "support/sim_fixture.h"
#include "support/wire.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace commands_test {

inline constexpr uint64 SCHID = 1;  // of oneServer
inline constexpr std::uint64_t TWO_POW_32 = 0x100000000ull;

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
