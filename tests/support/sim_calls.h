#pragma once
// The simulated host's call log, filtered by host function.

#include "sim/sim_host.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The logged calls of one host function, in call order.
inline std::vector<sim::Call> callsOf(const std::string& fn)
{
    std::vector<sim::Call> found;
    for (sim::Call& call : sim::calls()) {
        if (call.fn == fn) {
            found.push_back(std::move(call));
        }
    }
    return found;
}

// Whether `count` calls of `fn` are logged within 5 s, for a call made on another thread.
inline bool waitForCalls(const std::string& fn, std::size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (callsOf(fn).size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return callsOf(fn).size() >= count;
}
