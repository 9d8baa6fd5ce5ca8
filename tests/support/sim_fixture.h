#pragma once
// A test that talks to the request protocol through the simulated host.

#include "plugin/plugin_state.h"
#include "protocol/request.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class SimHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setLogging(true);
        sim::setCallObserver({});
        pluginState().functions = sim::functionTable();
        // As under the listener: the flag is set while requests are served, so the
        // control commands' pauses take their full time.
        pluginState().running.set();
    }

    void TearDown() override
    {
        pluginState().running.clear();
        const sim::MemoryReport memory = sim::memory();
        EXPECT_EQ(memory.live, 0u) << "host memory leaked";
        EXPECT_EQ(memory.invalid, 0u) << "host memory released wrongly";
    }

    // The logged calls of one host function, in call order.
    static std::vector<sim::Call> callsOf(const std::string& fn)
    {
        std::vector<sim::Call> found;
        for (sim::Call& call : sim::calls()) {
            if (call.fn == fn) {
                found.push_back(std::move(call));
            }
        }
        return found;
    }

    // The answer bytes of one request.
    static Bytes answer(const Bytes& request)
    {
        const Packet packet = processRequest(request.data(), static_cast<std::int32_t>(request.size()));
        return Bytes(packet.data(), packet.data() + packet.size());
    }
};
