// The Windows library loaded and unloaded thousands of times in one process, as a client
// does when a player disables and enables the plug-in: the process's thread-local-storage
// indexes (1088 in all, under Wine), handles and memory stay where they were. A library
// that takes one index per load and never gives it back makes the 1088th load abort the
// whole client.

#include "server/plugin_library.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <cstddef>
#include <vector>

namespace {

constexpr int LOAD_PAIRS = 3000;
constexpr int INIT_CYCLES = 200;

// Takes every free index, counts them and gives them back.
std::size_t freeTlsIndexes()
{
    std::vector<DWORD> taken;
    for (DWORD index = TlsAlloc(); index != TLS_OUT_OF_INDEXES; index = TlsAlloc()) {
        taken.push_back(index);
    }
    for (const DWORD index : taken) {
        TlsFree(index);
    }
    return taken.size();
}

// Handles open in this process, counted one by one: Wine answers GetProcessHandleCount
// with 0.
std::size_t openHandles()
{
    std::size_t count = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

std::size_t privateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    return counters.PrivateUsage;
}

struct Usage {
    std::size_t tlsIndexes = freeTlsIndexes();
    std::size_t handles = openHandles();
    std::size_t memory = privateBytes();
};

void expectFlat(const Usage& before, int cycles)
{
    const Usage after;
    EXPECT_EQ(after.tlsIndexes, before.tlsIndexes) << "free TLS indexes after " << cycles << " cycles";
    EXPECT_EQ(after.handles, before.handles) << "open handles after " << cycles << " cycles";
    EXPECT_LT(after.memory, before.memory + 1024 * 1024) << "private bytes after " << cycles << " cycles";
}

// The memory and handles that the first load and the first start take once per process
// (the loader's and Winsock's own) are taken before counting.
void warmUp()
{
    PluginLibrary plugin(G19_PLUGIN_PATH);
    plugin.setFunctionPointers(sim::functionTable());
    plugin.init();
    plugin.shutdown();
}

TEST(WindowsLibrary, LoadsAndUnloadsWithoutTakingTlsIndexesHandlesOrMemory)
{
    warmUp();
    const Usage before;
    ASSERT_GT(before.tlsIndexes, 0u);
    for (int pair = 1; pair <= LOAD_PAIRS; ++pair) {
        PluginLibrary plugin(G19_PLUGIN_PATH);
        ASSERT_TRUE(plugin.complete()) << "load " << pair;
        ASSERT_STREQ(plugin.name(), "Kestro G19 TS3 Plugin");
    }
    expectFlat(before, LOAD_PAIRS);
}

TEST(WindowsLibrary, StartsAndStopsBetweenLoadsWithoutTakingTlsIndexesHandlesOrMemory)
{
    sim::reset();
    warmUp();
    const Usage before;
    for (int cycle = 1; cycle <= INIT_CYCLES; ++cycle) {
        PluginLibrary plugin(G19_PLUGIN_PATH);
        ASSERT_TRUE(plugin.complete()) << "load " << cycle;
        plugin.setFunctionPointers(sim::functionTable());
        ASSERT_EQ(plugin.init(), 0) << "cycle " << cycle;
        plugin.shutdown();
    }
    expectFlat(before, INIT_CYCLES);
}

}  // namespace
