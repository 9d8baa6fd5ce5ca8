// Lives of the plug-in in one process, quickly: the test build of the library is made of the
// same exports, listener and handlers as the real one and differs only in its listener
// settings (an ephemeral loopback port, pauses of a few milliseconds), so a life costs
// milliseconds instead of the three seconds of the real start-up.
//
// G19_SOAK_CYCLES sets the number of cycles (200 by default); the run under Valgrind uses fewer.

#include "lifecycle_soak.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

constexpr int DEFAULT_CYCLES = 200;
constexpr int WARM_UP = 20;
// Allocator pools and the loader's caches settle during the warm-up; what the remaining cycles
// add beyond this is growth, not noise.
constexpr std::size_t RESIDENT_NOISE_KIB = 1024;

int cycleCount()
{
    const char* configured = std::getenv("G19_SOAK_CYCLES");
    return configured != nullptr ? std::atoi(configured) : DEFAULT_CYCLES;
}

TEST(LifecycleSoak, ManyLivesOfTheTestBuildOfTheLibrary)
{
    const int cycles = cycleCount();
    ASSERT_GT(cycles, 0);
    const SoakFigures figures = runSoak(G19_QUICK_PLUGIN_PATH, Listening::TEST_PORT, cycles, WARM_UP);
    EXPECT_EQ(figures.cycles, cycles);
    std::cout << "[ figures  ] " << figures.cycles << " cycles, " << figures.peerAtShutdown
              << " with a peer connected at shutdown, " << figures.requests << " requests, longest shutdown "
              << figures.longestShutdown.count() / 1000.0 << " ms, resident "
              << figures.residentAfterWarmUpKiB << " KiB after " << WARM_UP << " cycles, "
              << figures.residentAtEndKiB << " KiB at the end\n";
    // Sanitizers hold freed memory back on purpose, and a short run has no trend to show.
    if (!SANITIZED && cycles >= 5 * WARM_UP) {
        EXPECT_LE(figures.residentAtEndKiB, figures.residentAfterWarmUpKiB + RESIDENT_NOISE_KIB)
            << "resident memory grew over the cycles";
    }
}

}  // namespace
