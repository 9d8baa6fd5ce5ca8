// The simulated host's one state, its memory ledger, and reset().

#include "sim/host_state.h"

#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

const char* blockName(Block block)
{
    switch (block) {
        case Block::STRING:
            return "string";
        case Block::CLIENT_LIST:
            return "clientList";
        case Block::CHANNEL_LIST:
            return "channelList";
    }
    return "invalid";
}

}  // namespace

HostState& host()
{
    // Never destroyed: a listener thread may still call in while the process exits.
    static HostState* const state = new HostState;
    return *state;
}

void* HostState::allocate(std::size_t bytes, Block block)
{
    void* memory = std::malloc(bytes);
    if (memory == nullptr) {
        // A test double that cannot allocate has nothing sensible to simulate.
        std::abort();
    }
    ledger.emplace(memory, block);
    ++counts.allocated;
    return memory;
}

char* HostState::newString(const std::string& text)
{
    char* memory = static_cast<char*>(allocate(text.size() + 1, Block::STRING));
    std::memcpy(memory, text.c_str(), text.size() + 1);
    return memory;
}

const char* HostState::release(void* pointer)
{
    if (pointer == nullptr) {
        return "null";
    }
    const auto it = ledger.find(pointer);
    if (it == ledger.end()) {
        ++counts.invalid;
        return "invalid";
    }
    const char* released = blockName(it->second);
    std::free(pointer);
    ledger.erase(it);
    ++counts.released;
    return released;
}

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
