// The simulated host's own promises that the other tests lean on: lists, lookups, actions,
// failure rules, the memory ledger, the call log, and changes made from outside while the
// plug-in works on it, as g19-hostsim's demo and control input make them.

#include "support/models.h"
#include "support/sim_fixture.h"

#include "host/properties.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

constexpr uint64 SCHID = 1;

// Channels 30, 10, 20 (in that order) and clients 5 (own), 2 (not listed), 9.
sim::Model sampleModel()
{
    return oneServer(
        {{30, "Lobby", 0, {}}, {10, "Games", 30, {{CHANNEL_NEEDED_TALK_POWER, -1}}}, {20, "AFK", 30, {}}},
        {{5, "me", 10, {{CLIENT_INPUT_MUTED, 0}}, true},
         {2, "hidden", 20, {{CLIENT_AWAY, 1}}, false},
         {9, "guest", 10, {{CLIENT_TALK_REQUEST, 1}}, true}},
        5, "srv");
}

class SimHostModelTest : public SimHostTest {
protected:
    void SetUp() override
    {
        SimHostTest::SetUp();
        sim::setModel(sampleModel());
    }

    const TS3Functions& host() const { return m_host; }

    int clientInt(anyID client, std::size_t property, unsigned int* ret = nullptr) const
    {
        int value = -99;
        const unsigned int code = host().getClientVariableAsInt(SCHID, client, property, &value);
        if (ret != nullptr) {
            *ret = code;
        }
        return value;
    }

    std::vector<anyID> clientList() const
    {
        anyID* list = nullptr;
        EXPECT_EQ(host().getClientList(SCHID, &list), 0u);
        std::vector<anyID> ids;
        for (anyID* entry = list; entry != nullptr && *entry != 0; ++entry) {
            ids.push_back(*entry);
        }
        host().freeMemory(list);
        return ids;
    }
};

TEST_F(SimHostModelTest, ListsKeepModelOrderEndWithZeroAndLeaveOutUnlistedClients)
{
    EXPECT_EQ(clientList(), (std::vector<anyID>{5, 9}));

    uint64* channels = nullptr;
    ASSERT_EQ(host().getChannelList(SCHID, &channels), 0u);
    EXPECT_EQ(std::vector<uint64>(channels, channels + 4), (std::vector<uint64>{30, 10, 20, 0}));
    host().freeMemory(channels);

    // The unlisted client still answers every query.
    char* name = nullptr;
    ASSERT_EQ(host().getClientVariableAsString(SCHID, 2, CLIENT_NICKNAME, &name), 0u);
    EXPECT_STREQ(name, "hidden");
    host().freeMemory(name);
    EXPECT_EQ(clientInt(2, CLIENT_AWAY), 1);
}

TEST_F(SimHostModelTest, GettersAnswerFromTheModelAndFailOnUnknownIDs)
{
    int value = 0;
    uint64 id = 0;
    anyID self = 0;
    ASSERT_EQ(host().getChannelVariableAsInt(SCHID, 10, CHANNEL_NEEDED_TALK_POWER, &value), 0u);
    EXPECT_EQ(value, -1);
    ASSERT_EQ(host().getChannelVariableAsInt(SCHID, 10, CHANNEL_ORDER, &value), 0u);
    EXPECT_EQ(value, 0) << "a property the channel does not hold reads as 0";
    ASSERT_EQ(host().getParentChannelOfChannel(SCHID, 20, &id), 0u);
    EXPECT_EQ(id, 30u);
    ASSERT_EQ(host().getChannelOfClient(SCHID, 9, &id), 0u);
    EXPECT_EQ(id, 10u);
    ASSERT_EQ(host().getClientID(SCHID, &self), 0u);
    EXPECT_EQ(self, 5u);
    EXPECT_EQ(clientInt(9, CLIENT_TALK_REQUEST), 1);
    EXPECT_EQ(host().getCurrentServerConnectionHandlerID(), SCHID);

    struct Case {
        const char* label;
        std::function<unsigned int()> call;
        unsigned int code;
    };
    const Case cases[] = {
        {"unknown connection", [&] { return host().getClientID(SCHID + 1, &self); },
         sim::ERROR_UNKNOWN_CONNECTION},
        {"unknown client", [&] { return host().getChannelOfClient(SCHID, 77, &id); },
         sim::ERROR_UNKNOWN_CLIENT},
        {"unknown channel", [&] { return host().getParentChannelOfChannel(SCHID, 11, &id); },
         sim::ERROR_UNKNOWN_CHANNEL},
        {"channel of another connection", [&] { return host().getChannelVariableAsInt(0, 10, 8, &value); },
         sim::ERROR_UNKNOWN_CONNECTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.call(), c.code);
    }
    EXPECT_EQ(sim::memory().allocated, 0u);
}

TEST_F(SimHostModelTest, ActionsChangeTheModel)
{
    // A self property changes at the flush, not before.
    EXPECT_EQ(host().setClientSelfVariableAsInt(SCHID, CLIENT_INPUT_MUTED, 1), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_INPUT_MUTED), 0);
    EXPECT_EQ(host().flushClientSelfUpdates(SCHID, "rc"), 0u);
    int self = 0;
    EXPECT_EQ(host().getClientSelfVariableAsInt(SCHID, CLIENT_INPUT_MUTED, &self), 0u);
    EXPECT_EQ(self, 1);

    EXPECT_EQ(host().requestIsTalker(SCHID, 1, "", "rc"), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_TALK_REQUEST), 0) << "a scenario answers a talk request, not the sim";

    uint64 channel = 0;
    EXPECT_EQ(host().requestClientMove(SCHID, 9, 20, "", nullptr), 0u);
    host().getChannelOfClient(SCHID, 9, &channel);
    EXPECT_EQ(channel, 20u);
    EXPECT_EQ(host().requestClientMove(SCHID, 9, 99, "", nullptr), sim::ERROR_UNKNOWN_CHANNEL);
    EXPECT_EQ(host().requestClientKickFromChannel(SCHID, 9, "", "rc"), 0u);
    host().getChannelOfClient(SCHID, 9, &channel);
    EXPECT_EQ(channel, 30u) << "kicked into the first channel";

    // Removing a client in the middle keeps the clients behind it reachable.
    EXPECT_EQ(host().requestClientKickFromServer(SCHID, 2, "", "rc"), 0u);
    unsigned int ret = 0;
    EXPECT_EQ(clientInt(9, CLIENT_TALK_REQUEST, &ret), 1);
    EXPECT_EQ(ret, 0u);
    EXPECT_EQ(host().banclient(SCHID, 9, 60, "", "rc"), 0u);
    clientInt(9, CLIENT_TALK_REQUEST, &ret);
    EXPECT_EQ(ret, sim::ERROR_UNKNOWN_CLIENT);
    EXPECT_EQ(clientList(), (std::vector<anyID>{5}));

    EXPECT_EQ(host().stopConnection(SCHID, "bye"), 0u);
    EXPECT_TRUE(sim::model().connections.empty());
    EXPECT_EQ(host().getCurrentServerConnectionHandlerID(), SCHID);
    anyID id = 0;
    EXPECT_EQ(host().getClientID(SCHID, &id), sim::ERROR_UNKNOWN_CONNECTION);
}

// A server with a round trip answers a talk request that long later, with the request's time,
// and a withdrawal with 0; the plug-in's re-read right after its call sees the old value.
TEST_F(SimHostModelTest, TalkRequestsChangeTheOwnClientAfterTheRoundTrip)
{
    sim::updateModel([](sim::Model& model) { model.connections[0].roundTripMs = 40; });
    const long long asked = std::time(nullptr);
    EXPECT_EQ(host().requestIsTalker(SCHID, 1, "", "rc"), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_TALK_REQUEST), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int requestedAt = clientInt(5, CLIENT_TALK_REQUEST);
    EXPECT_GE(requestedAt, asked);
    EXPECT_LE(requestedAt, std::time(nullptr));

    EXPECT_EQ(host().requestIsTalker(SCHID, 0, "", "rc"), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_TALK_REQUEST), requestedAt);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(sim::model().connections[0].clients[0].ints[CLIENT_TALK_REQUEST], 0) << "model() sees it too";
    EXPECT_EQ(clientInt(9, CLIENT_TALK_REQUEST), 1) << "only the own client asks";
}

TEST_F(SimHostModelTest, FailureRulesSkipCountAndFilter)
{
    struct Case {
        const char* label;
        sim::FailureRule rule;
        std::vector<std::pair<anyID, std::size_t>> calls;  // client, property
        std::vector<unsigned int> expected;
    };
    auto rule = [](auto&& configure) {
        sim::FailureRule r;
        r.fn = "getClientVariableAsInt";
        r.code = 7;
        configure(r);
        return r;
    };
    const std::vector<std::pair<anyID, std::size_t>> fiveCalls(5, {9, CLIENT_AWAY});
    const Case cases[] = {
        {"every call", rule([](sim::FailureRule&) {}), fiveCalls, {7, 7, 7, 7, 7}},
        {"skip 1, count 2",
         rule([](sim::FailureRule& r) {
             r.skip = 1;
             r.count = 2;
         }),
         fiveCalls,
         {0, 7, 7, 0, 0}},
        {"client filter",
         rule([](sim::FailureRule& r) { r.client = 9; }),
         {{5, 4}, {9, 4}, {2, 4}},
         {0, 7, 0}},
        {"property filter, skip counts matches only",
         rule([](sim::FailureRule& r) {
             r.property = CLIENT_AWAY;
             r.skip = 1;
         }),
         {{9, CLIENT_AWAY}, {9, 4}, {9, CLIENT_AWAY}},
         {0, 0, 7}},
        {"other connection",
         rule([](sim::FailureRule& r) { r.schid = SCHID + 1; }),
         fiveCalls,
         {0, 0, 0, 0, 0}},
        {"other function",
         rule([](sim::FailureRule& r) { r.fn = "getClientVariableAsString"; }),
         fiveCalls,
         {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::setFailures({c.rule});
        std::vector<unsigned int> codes;
        for (const auto& [client, property] : c.calls) {
            int value = -99;
            codes.push_back(host().getClientVariableAsInt(SCHID, client, property, &value));
            if (codes.back() != 0) {
                EXPECT_EQ(value, -99) << "a failed call writes no out-value";
            }
        }
        EXPECT_EQ(codes, c.expected);
    }

    sim::FailureRule channelRule;
    channelRule.fn = "getChannelVariableAsString";
    channelRule.channel = 20;
    sim::FailureRule noConnection;
    noConnection.fn = "getCurrentServerConnectionHandlerID";
    sim::FailureRule noCode;
    noCode.fn = "createReturnCode";
    sim::setFailures({channelRule, noConnection, noCode});
    char* name = nullptr;
    EXPECT_EQ(host().getChannelVariableAsString(SCHID, 20, CHANNEL_NAME, &name), 1u);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(host().getChannelVariableAsString(SCHID, 10, CHANNEL_NAME, &name), 0u);
    host().freeMemory(name);
    EXPECT_EQ(host().getCurrentServerConnectionHandlerID(), 0u);
    char code[8] = "xxxxxxx";
    host().createReturnCode(nullptr, code, sizeof code);
    EXPECT_STREQ(code, "");
}

TEST_F(SimHostModelTest, LedgerCountsReleasesAndFlagsInvalidOnes)
{
    char* first = nullptr;
    char* second = nullptr;
    host().getServerVariableAsString(SCHID, SERVER_NAME, &first);
    host().getClientVariableAsString(SCHID, 9, CLIENT_NICKNAME, &second);
    EXPECT_STREQ(first, "srv");
    EXPECT_STREQ(second, "guest");
    EXPECT_EQ(sim::memory().live, 2u);

    int notHostMemory = 0;
    host().freeMemory(first);
    host().freeMemory(first);
    host().freeMemory(&notHostMemory);
    host().freeMemory(nullptr);
    const sim::MemoryReport memory = sim::memory();
    EXPECT_EQ(memory.allocated, 2u);
    EXPECT_EQ(memory.released, 1u);
    EXPECT_EQ(memory.live, 1u);
    EXPECT_EQ(memory.invalid, 2u);

    std::vector<std::string> released;
    for (const sim::Call& call : callsOf("freeMemory")) {
        released.push_back(call.released.value_or("?"));
    }
    EXPECT_EQ(released, (std::vector<std::string>{"string", "invalid", "invalid", "null"}));

    sim::reset();  // frees what is still live and forgets the violations made on purpose
    EXPECT_EQ(sim::memory().live, 0u);
    EXPECT_EQ(sim::memory().invalid, 0u);
}

TEST_F(SimHostModelTest, CallLogRecordsArgumentsResultsAndValuesInOrder)
{
    std::vector<std::string> observed;
    sim::setCallObserver([&](const sim::Call& call) { observed.push_back(call.fn); });

    char code[128];
    host().createReturnCode(nullptr, code, sizeof code);
    host().createReturnCode("plugin", code, 9);
    host().banclient(SCHID, 9, 3600, "why", code);
    host().requestClientMove(SCHID, 5, 20, "pw", nullptr);
    host().requestIsTalker(SCHID, 0, "msg", "rc");
    host().setClientSelfVariableAsInt(SCHID, CLIENT_AWAY, 1);
    int value = 0;
    host().getClientVariableAsInt(SCHID, 77, CLIENT_AWAY, &value);

    const std::vector<sim::Call> calls = sim::calls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(observed.size(), 7u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(observed[i], calls[i].fn);
        if (i > 0) {
            EXPECT_GE(calls[i].tMs, calls[i - 1].tMs);
        }
    }

    EXPECT_EQ(calls[0].value, sim::Value(std::string("g19sim-1")));
    EXPECT_EQ(calls[0].pluginID, std::nullopt);
    EXPECT_EQ(calls[1].value, sim::Value(std::string("g19sim-2")));
    EXPECT_EQ(calls[1].pluginID, "plugin");
    EXPECT_EQ(calls[1].maxLen, 9u);
    EXPECT_STREQ(code, "g19sim-2");

    const sim::Call& ban = calls[2];
    EXPECT_EQ(ban.fn, "banclient");
    EXPECT_EQ(ban.schid, SCHID);
    EXPECT_EQ(ban.client, 9u);
    EXPECT_EQ(ban.seconds, 3600u);
    EXPECT_EQ(ban.reason, "why");
    EXPECT_TRUE(ban.takesReturnCode);
    EXPECT_EQ(ban.returnCode, "g19sim-2");

    const sim::Call& move = calls[3];
    EXPECT_EQ(move.channel, 20u);
    EXPECT_EQ(move.password, "pw");
    EXPECT_TRUE(move.takesReturnCode);
    EXPECT_EQ(move.returnCode, std::nullopt);

    EXPECT_EQ(calls[4].request, 0);
    EXPECT_EQ(calls[4].message, "msg");
    EXPECT_EQ(calls[5].value, sim::Value(std::int64_t{1}));
    EXPECT_FALSE(calls[5].takesReturnCode);
    EXPECT_EQ(calls[6].ret, sim::ERROR_UNKNOWN_CLIENT);
    EXPECT_EQ(calls[6].value, std::nullopt);

    sim::setLogging(false);
    host().getClientVariableAsInt(SCHID, 9, CLIENT_AWAY, &value);
    sim::setLogging(true);
    EXPECT_EQ(sim::calls().size(), 7u);
    sim::clearCalls();
    EXPECT_TRUE(sim::calls().empty());
}

TEST_F(SimHostModelTest, UpdateKeepsWhatThePluginStagedAndFindsNewIds)
{
    // A mute toggled by a display is staged, then the model changes, then the flush comes.
    ASSERT_EQ(host().setClientSelfVariableAsInt(SCHID, CLIENT_INPUT_MUTED, 1), 0u);
    sim::updateModel(
        [](sim::Model& model) { model.connections[0].clients[0].ints[CLIENT_FLAG_TALKING] = 1; });
    ASSERT_EQ(host().flushClientSelfUpdates(SCHID, nullptr), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_INPUT_MUTED), 1);
    EXPECT_EQ(clientInt(5, CLIENT_FLAG_TALKING), 1);

    sim::updateModel([](sim::Model& model) {
        model.connections[0].clients.push_back({11, "new", 20, {}, true});
    });
    uint64 channel = 0;
    EXPECT_EQ(host().getChannelOfClient(SCHID, 11, &channel), 0u) << "an ID added by an update is not found";
    EXPECT_EQ(channel, 20u);
}

TEST_F(SimHostModelTest, ReplacingModelAndRulesDropsTheOldOnes)
{
    sim::FailureRule old;
    old.fn = "getClientID";
    sim::setFailures({old});
    ASSERT_EQ(host().setClientSelfVariableAsInt(SCHID, CLIENT_AWAY, 1), 0u);

    sim::FailureRule fresh;
    fresh.fn = "getChannelOfClient";
    fresh.code = 7;
    sim::setModelAndFailures(sampleModel(), {fresh});
    anyID self = 0;
    EXPECT_EQ(host().getClientID(SCHID, &self), 0u) << "the old rule is gone";
    uint64 channel = 0;
    EXPECT_EQ(host().getChannelOfClient(SCHID, 9, &channel), 7u) << "the new rule is in force";
    ASSERT_EQ(host().flushClientSelfUpdates(SCHID, nullptr), 0u);
    EXPECT_EQ(clientInt(5, CLIENT_AWAY), 0) << "a value staged for the old model is not applied";
}

TEST_F(SimHostModelTest, ModelCanBeReplacedWhileAnotherThreadQueries)
{
    std::atomic<bool> done{false};
    std::thread listener([&] {
        while (!done.load()) {
            for (const anyID id : clientList()) {
                char* name = nullptr;
                if (host().getClientVariableAsString(SCHID, id, CLIENT_NICKNAME, &name) == 0) {
                    host().freeMemory(name);
                }
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        sim::Model model = sampleModel();
        model.connections[0].clients.resize(static_cast<std::size_t>(i % 3 + 1));
        sim::setModel(model);
    }
    done.store(true);
    listener.join();
}

}  // namespace
