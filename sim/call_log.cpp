// The simulated host's log of every call the plug-in makes, and its observer.

#include "sim/host_state.h"

#include <utility>

namespace sim {

Call HostState::startCall(const Args& args, unsigned int ret) const
{
    Call call;
    call.tMs = std::chrono::duration<double, std::milli>(Clock::now() - logStart).count();
    call.fn = args.fn;
    call.schid = args.schid;
    call.client = args.client;
    call.channel = args.channel;
    call.property = args.property;
    call.ret = ret;
    return call;
}

void HostState::append(Call call)
{
    log.push_back(std::move(call));
    if (observer) {
        observer(log.back());
    }
}

void HostState::clearLog()
{
    log.clear();
    logStart = Clock::now();
}

void setLogging(bool enabled)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.logging = enabled;
}

std::vector<Call> calls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.log;
}

void clearCalls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.clearLog();
}

void setCallObserver(std::function<void(const Call&)> observer)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.observer = std::move(observer);
}

void recordUnimplementedCall(std::size_t slot)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    ++h.unimplementedCalls;
    const std::string fn = "slot" + std::to_string(slot);
    h.record(Args{fn.c_str(), {}, {}, {}, {}}, 0, [](Call&) {});
}

std::size_t unimplementedCalls()
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.unimplementedCalls;
}

}  // namespace sim
