#pragma once
// A test that talks to the request protocol through the simulated host.

#include "g19/version.h"
#include "protocol/request.h"
#include "sim/sim_host.h"
#include "support/sim_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class SimHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setLogging(true);
        sim::setCallObserver({});
    }

    void TearDown() override
    {
        const sim::MemoryReport memory = sim::memory();
        EXPECT_EQ(memory.live, 0u) << "host memory leaked";
        EXPECT_EQ(memory.invalid, 0u) << "host memory released wrongly";
    }

    // The answer bytes of one request.
    Bytes answer(const Bytes& request)
    {
        m_pauses.clear();
        const Packet packet =
            processRequest(m_requests, request.data(), static_cast<std::int32_t>(request.size()));
        return Bytes(packet.data(), packet.data() + packet.size());
    }

    // What the requests wrote to their diagnostics so far. A listener the test starts writes
    // its own lines there too; read them only while its thread is not running.
    std::string diagnostics() const { return m_diagnostics.str(); }

    // A pause the last request asked for, and how many host calls were logged when it did.
    // Here a pause takes no time.
    struct Pause {
        std::size_t afterCalls;
        std::chrono::milliseconds duration;
    };
    const std::vector<Pause>& pauses() const { return m_pauses; }

    const TS3Functions m_host = sim::functionTable();
    std::ostringstream m_diagnostics;

private:
    std::vector<Pause> m_pauses;
    const RequestContext m_requests{m_host, G19_VERSION,
                                    [this](std::chrono::milliseconds duration) {
                                        m_pauses.push_back({sim::calls().size(), duration});
                                    },
                                    m_diagnostics};
};
