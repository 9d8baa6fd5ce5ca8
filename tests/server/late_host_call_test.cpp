// A host call that does not return while the client stops the plug-in: the client's main
// thread holds what the call needs and waits in ts3plugin_shutdown. Shutdown must return
// anyway, the client unloads the library, the call returns later into code that is still
// mapped, the thread gives back what it holds and ends, and the process goes on. In a
// program of its own: the library stays mapped until the process ends.

#include "peer.h"
#include "plugin_library.h"
#include "sim/sim_host.h"
#include "support/models.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(LateHostCall, ShutdownReturnsTheLibraryIsUnloadedAndTheCallEndsLater)
{
    sim::reset();
    sim::setModel(crowdedServer("Held", 20, 10));
    sim::holdCalls("getClientList");

    PluginLibrary plugin(G19_QUICK_PLUGIN_PATH);
    ASSERT_TRUE(plugin.complete());
    plugin.setFunctionPointers(sim::functionTable());
    ASSERT_EQ(plugin.init(), 0);
    Peer peer(plugin.waitForListeningPort());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send({0x05}));
    ASSERT_TRUE(waitUntil([] { return sim::heldCalls() == 1; })) << "the client list was not asked for";

    const auto begin = Clock::now();
    plugin.shutdown();
    const auto took = Clock::now() - begin;
    EXPECT_LT(took, 2s) << "shutdown waited for the held call";
    std::cout << "shutdown with a held host call: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
    plugin.unload();
    EXPECT_TRUE(PluginLibrary::isMapped(G19_QUICK_PLUGIN_PATH))
        << "the held call would return into unmapped code";

    sim::clearCalls();
    sim::releaseHeldCalls();
    // The held call itself, then only the release of what it handed over.
    EXPECT_TRUE(waitUntil([] { return sim::calls().size() >= 2; })) << "the client list was not given back";
    const std::vector<sim::Call> calls = sim::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fn, "getClientList");
    EXPECT_EQ(calls[1].fn, "freeMemory");
    EXPECT_EQ(calls[1].released, "clientList");

    EXPECT_EQ(sim::memory().live, 0u);

    // Once that thread has ended, the client may load and start the plug-in again.
    PluginLibrary again(G19_QUICK_PLUGIN_PATH);
    ASSERT_TRUE(again.complete());
    again.setFunctionPointers(sim::functionTable());
    ASSERT_TRUE(waitUntil([&again] { return again.init() == 0; })) << "the plug-in did not start again";
    Peer second(again.waitForListeningPort());
    ASSERT_TRUE(second.send({0x02}));
    EXPECT_EQ(second.read(serverNameAnswer("Held").size()), serverNameAnswer("Held"));
    const auto secondBegin = Clock::now();
    again.shutdown();
    EXPECT_LT(Clock::now() - secondBegin, 1s);
    EXPECT_EQ(sim::memory().invalid, 0u);
}

}  // namespace
