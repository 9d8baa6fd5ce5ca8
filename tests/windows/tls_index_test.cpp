// The Windows library loaded and unloaded thousands of times in one process, as a client
// does when a player disables and enables the plug-in: the process's thread-local-storage
// indexes (1088 in all, under Wine), handles and memory stay where they were. A library
// that takes one index per load and never gives it back makes the 1088th load abort the
// whole client.

#include "server/plugin_library.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

// Winsock 2 must come before windows.h, which would bring in the older Winsock.
#include <winsock2.h>

#include <windows.h>

#include <cstddef>
#include <iostream>
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

// Committed private memory, region by region: Wine answers GetProcessMemoryInfo's private
// bytes with 0.
std::size_t privateBytes()
{
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

struct Usage {
    std::size_t tlsIndexes = freeTlsIndexes();
    std::size_t handles = openHandles();
    std::size_t memory = privateBytes();
};

void expectFlat(const Usage& before, int cycles)
{
    const Usage after;
    std::cout << cycles << " cycles: free TLS indexes " << before.tlsIndexes << " -> " << after.tlsIndexes
              << ", handles " << before.handles << " -> " << after.handles << ", private bytes "
              << before.memory << " -> " << after.memory << "\n";
    EXPECT_EQ(after.tlsIndexes, before.tlsIndexes) << "free TLS indexes after " << cycles << " cycles";
    EXPECT_EQ(after.handles, before.handles) << "open handles after " << cycles << " cycles";
    EXPECT_LT(after.memory, before.memory + 256 * 1024) << "private bytes after " << cycles << " cycles";
}

// The memory and handles that the first load and the first start take once per process
// (the loader's and Winsock's own) are taken before counting. The voice client uses
// Winsock itself, so the system's socket library stays loaded while the plug-in comes and
// goes; Wine's would lose about 330 bytes each time it went with the plug-in.
void warmUp()
{
    static WSADATA clientSockets;
    static const int started = WSAStartup(MAKEWORD(2, 2), &clientSockets);
    ASSERT_EQ(started, 0);
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
