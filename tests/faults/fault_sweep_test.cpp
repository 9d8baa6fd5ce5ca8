// Every host call of a request, failed in turn. For each request of the table: run it once
// cleanly and record the host calls it makes; then, for every position k in that sequence,
// run it again with the call at k failing (once, and from then on for every later call of
// the same function), and compare answer, host calls, standard output and host memory with
// what the reference model of the rules says.

#include "faults/reference_model.h"

#include "g19/version.h"
#include "protocol/request.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using faults::Bytes;

// Not a code the simulated host produces by itself, so that a diagnostic carrying it shows
// that the injected failure, not a lookup, reached the output.
constexpr unsigned int FAULT_CODE = 0x0B07;
constexpr uint64 SCHID = 4;
constexpr anyID SELF = 3;
constexpr anyID OTHER = 7;
constexpr uint64 TWO_POW_32 = 0x100000000ull;

// Small, but with every kind of value the answers carry: nested channels, a 64-bit channel ID,
// an empty and a non-ASCII name, negative and oversized properties, the own client first.
sim::Model smallServer()
{
    sim::Connection connection;
    connection.schid = SCHID;
    connection.serverName = "Fault Sweep";
    connection.self = SELF;
    connection.channels = {
        {1, "Lobby", 0, {{8, 0}}},
        {2, "Zw\xC3\xB6lf", 1, {{28, -1}, {8, 1}, {12, 1}}},
        {TWO_POW_32, "", 2, {{28, 70000}, {8, 2}}},
    };
    connection.clients = {
        {SELF, "me", 1, {{4, 1}, {5, 1}, {43, 65537}, {46, 1}, {38, 0}}, true},
        {OTHER, "other", TWO_POW_32, {{4, -1}, {6, 256}, {17, 1}, {38, 1}, {57, 1}, {16, 1}}, true},
    };
    sim::Model model;
    model.current = SCHID;
    model.connections.push_back(connection);
    return model;
}

struct Request {
    const char* name;
    Bytes bytes;
};

void PrintTo(const Request& request, std::ostream* os)
{
    *os << request.name;
}

// One of each command and sub-command; trailing bytes where the answer is the unread rest.
const Request REQUESTS[] = {
    {"ServerName", {0x02, 0xAA}},
    {"ChannelList", {0x03, 0xAA}},
    {"ClientList", {0x05, 0xAA, 0xBB}},
    {"Disconnect", {0x04, 0x01}},
    {"ToggleMicrophone", {0x04, 0x02, 0xAA}},
    {"ToggleAway", {0x04, 0x03}},
    {"ToggleSpeakers", {0x04, 0x04}},
    {"TalkRequest", {0x04, 0x05}},
    {"MoveSelf", {0x04, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 'a', 'b', 'c', 0xAA}},
    {"KickFromChannel", {0x04, 0x08, 0x00, OTHER}},
    {"KickFromServer", {0x04, 0x09, 0x00, OTHER, 0xAA}},
    {"Ban", {0x04, 0x0A, 0x00, OTHER, 0x00, 0x00, 0x0E, 0x10}},
    {"MoveClient", {0x04, 0x0B, 0x00, OTHER, 0x00, 0x00, 0x00, 0x01}},
};

struct Observed {
    Bytes answer;
    std::vector<sim::Call> log;
    std::string output;
    sim::MemoryReport memory;
};

// One request on a fresh copy of the server, with `rules` in force.
Observed run(const Bytes& request, std::vector<sim::FailureRule> rules)
{
    sim::reset();
    sim::setModel(smallServer());
    sim::setFailures(std::move(rules));

    // The pauses of the moves and kicks are not under test here.
    const TS3Functions host = sim::functionTable();
    std::ostringstream output;
    const RequestContext context{host, G19_VERSION, [](std::chrono::milliseconds) {}, output};
    const Packet answer = processRequest(context, request.data(), static_cast<std::int32_t>(request.size()));

    return {Bytes(answer.data(), answer.data() + answer.size()), sim::calls(), output.str(), sim::memory()};
}

std::vector<std::string> describe(const std::vector<sim::Call>& log)
{
    std::vector<std::string> lines;
    for (const sim::Call& call : log) {
        lines.push_back(faults::describeCall(call));
    }
    return lines;
}

void expectMatches(const Observed& seen, const faults::Outcome& expected)
{
    EXPECT_EQ(seen.answer, expected.answer);
    EXPECT_EQ(describe(seen.log), expected.calls);
    EXPECT_EQ(seen.output, expected.output);
    EXPECT_EQ(seen.memory.allocated, expected.allocated);
    EXPECT_EQ(seen.memory.live, expected.live) << "host memory not given back";
    EXPECT_EQ(seen.memory.invalid, 0u) << "host memory released that was not handed out";
}

class FaultSweep : public testing::TestWithParam<Request> {
protected:
    void SetUp() override
    {
        sim::setLogging(true);
        sim::setCallObserver({});
    }

    void TearDown() override { sim::reset(); }
};

TEST_P(FaultSweep, EveryHostCallFailedInTurn)
{
    const Request& request = GetParam();
    const Observed clean = run(request.bytes, {});
    ASSERT_FALSE(clean.log.empty());
    ASSERT_EQ(clean.log.front().fn, "createReturnCode");
    ASSERT_TRUE(clean.log.front().value.has_value());
    const std::string created = std::get<std::string>(*clean.log.front().value);

    {
        SCOPED_TRACE("clean run");
        const faults::Outcome expected = faults::expectedOutcome(smallServer(), request.bytes, {}, created);
        expectMatches(clean, expected);
        ASSERT_EQ(expected.live, 0u);
    }

    std::size_t injected = 0;
    for (std::size_t k = 0; k < clean.log.size(); ++k) {
        unsigned int earlier = 0;
        for (std::size_t j = 0; j < k; ++j) {
            earlier += clean.log[j].fn == clean.log[k].fn ? 1 : 0;
        }
        for (const bool persistent : {false, true}) {
            faults::Fault fault{clean.log[k].fn, FAULT_CODE, earlier, std::nullopt};
            if (!persistent) {
                fault.count = 1;
            }
            sim::FailureRule rule;
            rule.fn = fault.fn;
            rule.code = fault.code;
            rule.skip = fault.skip;
            rule.count = fault.count;

            SCOPED_TRACE("call " + std::to_string(k) + " (" + fault.fn + ") fails" +
                         (persistent ? ", and every later call of it" : ""));
            const Observed seen = run(request.bytes, {rule});
            ASSERT_GT(seen.log.size(), k);
            // The sequence up to the failing call is the clean one; past it the model decides.
            EXPECT_EQ(seen.log[k].fn, fault.fn);
            expectMatches(seen, faults::expectedOutcome(smallServer(), request.bytes, fault, created));
            ++injected;
        }
    }
    std::cout << "[ figures  ] " << request.name << ": " << clean.log.size() << " host calls, " << injected
              << " faults injected\n";
}

INSTANTIATE_TEST_SUITE_P(Requests, FaultSweep, testing::ValuesIn(REQUESTS),
                         [](const testing::TestParamInfo<Request>& info) { return info.param.name; });

}  // namespace
