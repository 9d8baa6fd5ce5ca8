// The plug-in library from end to end, as the display program meets it: on port 12132,
// after the library's own start-up pauses.

#include "peer.h"
#include "plugin_library.h"
#include "sim/sim_host.h"
#include "support/models.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <thread>

namespace {

constexpr std::uint16_t DISPLAY_PORT = 12132;

TEST(PluginOnDisplayPort, AnswersTheDisplayProgramAndStopsPromptly)
{
    sim::reset();
    sim::setModel(serverNamed("End to end"));

    PluginLibrary plugin(G19_PLUGIN_PATH);
    ASSERT_TRUE(plugin.complete());
    plugin.setFunctionPointers(sim::functionTable());
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(plugin.init(), 0);

    {
        // The socket listens about two seconds after init, the first accept a second later.
        // Other programs on this machine may use the port meanwhile: a peer that gets
        // another server's answer tries again.
        const Bytes expected = serverNameAnswer("End to end");
        std::unique_ptr<Peer> peer;
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < deadline) {
            peer = std::make_unique<Peer>(DISPLAY_PORT, 10s);
            if (peer->connected() && peer->send({0x02}) && peer->read(expected.size(), 5s) == expected) {
                break;
            }
            peer.reset();
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_NE(peer, nullptr) << "the plug-in did not answer on port " << DISPLAY_PORT;

        const auto begin = std::chrono::steady_clock::now();
        plugin.shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
        EXPECT_TRUE(peer->readToEnd(1s).closed);
    }
    std::cout.flush();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Runable= 0 \n");

    plugin.unload();
    EXPECT_FALSE(PluginLibrary::isMapped(G19_PLUGIN_PATH));
    EXPECT_EQ(sim::memory().live, 0u);
}

}  // namespace
