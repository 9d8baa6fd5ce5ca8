// The simulated host changed from outside while the plug-in works on it, as g19-hostsim's
// demo and control input do.

#include "host/properties.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

namespace {

sim::Model oneClient()
{
    sim::Client self;
    self.id = 3;
    self.channel = 1;
    sim::Connection connection;
    connection.schid = 1;
    connection.self = 3;
    connection.channels.push_back({1, "Lobby", 0, {}});
    connection.clients.push_back(self);
    sim::Model model;
    model.current = 1;
    model.connections.push_back(connection);
    return model;
}

int selfProperty(const TS3Functions& host, std::size_t property)
{
    int value = -1;
    EXPECT_EQ(host.getClientSelfVariableAsInt(1, property, &value), 0u);
    return value;
}

class SimUpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setModel(oneClient());
    }
    void TearDown() override { sim::reset(); }

    const TS3Functions host = sim::functionTable();
};

TEST_F(SimUpdateTest, UpdateKeepsWhatThePluginStagedAndChanged)
{
    // A mute toggled by a display is staged, then the model changes, then the flush comes.
    ASSERT_EQ(host.setClientSelfVariableAsInt(1, CLIENT_INPUT_MUTED, 1), 0u);
    sim::updateModel(
        [](sim::Model& model) { model.connections[0].clients[0].ints[CLIENT_FLAG_TALKING] = 1; });
    ASSERT_EQ(host.flushClientSelfUpdates(1, nullptr), 0u);
    EXPECT_EQ(selfProperty(host, CLIENT_INPUT_MUTED), 1);
    EXPECT_EQ(selfProperty(host, CLIENT_FLAG_TALKING), 1);

    // IDs added by an update are found at once.
    sim::updateModel([](sim::Model& model) {
        sim::Client other;
        other.id = 9;
        other.channel = 1;
        model.connections[0].clients.push_back(other);
    });
    uint64 channel = 0;
    EXPECT_EQ(host.getChannelOfClient(1, 9, &channel), 0u);
    EXPECT_EQ(channel, 1u);
}

TEST_F(SimUpdateTest, ReplacingModelAndRulesDropsTheOldOnes)
{
    sim::FailureRule old;
    old.fn = "getClientID";
    sim::setFailures({old});
    ASSERT_EQ(host.setClientSelfVariableAsInt(1, CLIENT_AWAY, 1), 0u);

    sim::FailureRule fresh;
    fresh.fn = "getChannelOfClient";
    fresh.code = 7;
    sim::setModelAndFailures(oneClient(), {fresh});

    anyID self = 0;
    EXPECT_EQ(host.getClientID(1, &self), 0u) << "the old rule is gone";
    uint64 channel = 0;
    EXPECT_EQ(host.getChannelOfClient(1, 3, &channel), 7u) << "the new rule is in force";
    ASSERT_EQ(host.flushClientSelfUpdates(1, nullptr), 0u);
    EXPECT_EQ(selfProperty(host, CLIENT_AWAY), 0) << "a value staged for the old model is not applied";
}

}  // namespace
