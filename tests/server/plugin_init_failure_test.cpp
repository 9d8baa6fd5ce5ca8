// ts3plugin_init when the listener thread cannot be started.

#include "plugin_library.h"
#include "sim/sim_host.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>

namespace {

// Limits the address space to what is mapped now and a little more: no thread stack fits.
void forbidNewThreadStacks()
{
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
    const rlimit addressSpace{limit, limit};
    setrlimit(RLIMIT_AS, &addressSpace);
}

TEST(PluginInitDeathTest, ReportsAThreadThatCannotStart)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PluginLibrary plugin(G19_PLUGIN_PATH);
            if (!plugin.complete()) {
                std::_Exit(2);
            }
            plugin.setFunctionPointers(sim::functionTable());
            forbidNewThreadStacks();
            const int result = plugin.init();
            // With no thread started there is nothing to wait for.
            plugin.shutdown();
            std::_Exit(result == 1 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
