// The simulated host's hold: calls of one slot that wait inside the host until released.

#include "sim/host_state.h"

namespace sim {

void HostState::waitWhileHeld(const char* fn)
{
    std::unique_lock<std::mutex> lock(holdMutex);
    if (!holding || heldFn != fn) {
        return;
    }
    ++held;
    holdReleased.wait(lock, [this] { return !holding; });
    --held;
}

void holdCalls(const std::string& fn)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.holdMutex);
    h.heldFn = fn;
    h.holding = true;
}

void releaseHeldCalls()
{
    HostState& h = host();
    {
        std::lock_guard<std::mutex> lock(h.holdMutex);
        h.holding = false;
    }
    h.holdReleased.notify_all();
}

std::size_t heldCalls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.holdMutex);
    return h.held;
}

}  // namespace sim
