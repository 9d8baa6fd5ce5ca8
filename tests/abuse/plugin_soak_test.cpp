// A few whole lives of the real library, with its real start-up pauses on port 12132: the
// one difference from the test build that the quick soak cannot cover.

#include "lifecycle_soak.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

constexpr int CYCLES = 3;

TEST(LifecycleSoak, FewLivesOfTheRealLibraryOnTheDisplayPort)
{
    const SoakFigures figures = runSoak(G19_PLUGIN_PATH, Listening::DISPLAY_PORT, CYCLES, 1);
    EXPECT_EQ(figures.cycles, CYCLES);
    std::cout << "[ figures  ] " << figures.cycles << " cycles of the real library, "
              << figures.peerAtShutdown << " with a peer connected at shutdown, longest shutdown "
              << figures.longestShutdown.count() / 1000.0 << " ms\n";
}

}  // namespace
