// The simulated host's memory ledger as a whole, and reset().

#include "sim/host_state.h"

#include <cstdlib>

namespace sim {
void HostState::freeLive()
{
    for (const auto& entry : ledger) {
        std::free(entry.first);
    }
    ledger.clear();
}

void reset()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.replaceModel(Model{});
    h.replaceRules({});
    h.clearLog();
    h.freeLive();
    h.counts = MemoryReport{};
    h.returnCodes = 0;
    h.unimplementedCalls = 0;
}

MemoryReport memory()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    MemoryReport report = h.counts;
    report.live = h.ledger.size();
    return report;
}

}  // namespace sim
