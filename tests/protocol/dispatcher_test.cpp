// The dispatcher and the version and server-name query, against the simulated host.

#include "support/sim_fixture.h"
#include "support/wire.h"

#include "host/properties.h"

#include <string>

namespace {

// 02, then the version text "0.9.9" as a string.
const Bytes VERSION_ANSWER = {0x02, 0x00, 0x05, 0x30, 0x2E, 0x39, 0x2E, 0x39};

sim::Model serversNamed(const std::vector<std::string>& names, uint64 current)
{
    sim::Model model{current, {}};
    for (std::size_t i = 0; i < names.size(); ++i) {
        model.connections.push_back({i + 1, names[i], 1, {{1, "Lobby", 0, {}}}, {{1, "me", 1, {}, true}}});
    }
    return model;
}

using DispatcherTest = SimHostTest;

TEST_F(DispatcherTest, ServerNameQueryAnswersVersionAndTheCurrentServersName)
{
    sim::setModel(serversNamed({"abc"}, 1));
    const Bytes exact = {0x02, 0x00, 0x05, 0x30, 0x2E, 0x39, 0x2E, 0x39, 0x00, 0x03, 0x61, 0x62, 0x63};
    EXPECT_EQ(answer({0x02}), exact);
    EXPECT_EQ(answer({0x02, 0xAA, 0xBB}), exact) << "bytes behind the command are dropped";

    struct Case {
        const char* label;
        std::vector<std::string> names;
        uint64 current;
        Bytes expected;
    };
    const std::string longName(300, 'x');
    const Case cases[] = {
        {"empty name", {""}, 1, serverNameAnswer("")},
        {"bytes passed unchanged",
         {"Caf\xC3\xA9 \xE2\x9C\x93"},
         1,
         serverNameAnswer("Caf\xC3\xA9 \xE2\x9C\x93")},
        {"two-byte length", {longName}, 1, serverNameAnswer(longName)},
        {"the connection in front", {"first", "second"}, 2, serverNameAnswer("second")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::setModel(serversNamed(c.names, c.current));
        EXPECT_EQ(answer({0x02}), c.expected);
        EXPECT_EQ(sim::memory().live, 0u);
    }
}

TEST_F(DispatcherTest, FailedServerNameReadStopsAfterTheVersionAndStillReleases)
{
    struct Case {
        const char* label;
        uint64 current;
        std::vector<sim::FailureRule> rules;
    };
    sim::FailureRule failName;
    failName.fn = "getServerVariableAsString";
    failName.code = 0x0501;
    const Case cases[] = {
        {"host refuses the read", 1, {failName}},
        {"no connection in front", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::setModel(serversNamed({"abc"}, c.current));
        sim::setFailures(c.rules);
        EXPECT_EQ(answer({0x02}), VERSION_ANSWER);

        const std::vector<sim::Call> reads = callsOf("getServerVariableAsString");
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_NE(reads[0].ret, 0u);
        EXPECT_EQ(reads[0].property, SERVER_NAME);
        const std::vector<sim::Call> releases = callsOf("freeMemory");
        ASSERT_EQ(releases.size(), 1u);
        EXPECT_EQ(releases[0].released, "null");
    }
}

TEST_F(DispatcherTest, UnrecognisedCommandsAnswerOneZeroByteAndCallOnlyForAReturnCode)
{
    sim::setModel(serversNamed({"abc"}, 1));
    const Bytes requests[] = {{}, {0x00}, {0x01}, {0x06}, {0xFF}, {0x07, 0xAA, 0xBB}, {0x00, 0x02}};
    for (const Bytes& request : requests) {
        SCOPED_TRACE(::testing::PrintToString(request));
        sim::clearCalls();
        EXPECT_EQ(answer(request), Bytes{0x00});
        const std::vector<sim::Call> calls = sim::calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].fn, "createReturnCode");
    }
}

TEST_F(DispatcherTest, EveryRequestAsksForOneReturnCodeFirstAndLeavesNoHostMemory)
{
    sim::Model model = serversNamed({"abc"}, 1);
    model.connections[0].channels.push_back(sim::Channel{2, "Games", 1, {{CHANNEL_ORDER, 1}}});
    model.connections[0].clients.push_back(sim::Client{7, "guest", 2, {{CLIENT_AWAY, 1}}, true});
    sim::setModel(model);

    const Bytes requests[] = {{}, {0x02}, {0x03}, {0x04}, {0x04, 0x02}, {0x05}, {0x05, 0xAA}, {0x09}};
    for (const Bytes& request : requests) {
        SCOPED_TRACE(::testing::PrintToString(request));
        sim::clearCalls();
        answer(request);
        const std::vector<sim::Call> calls = sim::calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].fn, "createReturnCode");
        EXPECT_EQ(calls[0].pluginID, std::nullopt);
        EXPECT_EQ(calls[0].maxLen, 128u);
        EXPECT_EQ(callsOf("createReturnCode").size(), 1u);

        const sim::MemoryReport memory = sim::memory();
        EXPECT_EQ(memory.live, 0u);
        EXPECT_EQ(memory.invalid, 0u);
    }
}

}  // namespace
