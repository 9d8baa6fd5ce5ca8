// What one request costs inside the voice client's process, beside the floor: the host
// calls that any implementation must make, in the same order, plus one copy of the answer
// bytes into a buffer that already exists. Run under the simulated host with its call log
// off; the host's cost is in both figures and cancels in their ratio.
//
// Counters per request: bytes (answer size), host_calls (every call into the table,
// releases included), allocs (operator new calls in this process, the host's included).

#include "alloc_counter.h"
#include "bench_model.h"
#include "floor_calls.h"

#include "g19/version.h"
#include "protocol/request.h"
#include "protocol/wire.h"
#include "sim/sim_host.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Entries in the other list of each model: a client list is measured on a server with
// this many channels, a channel list with this many clients.
constexpr std::size_t OTHER_ENTRIES = 50;

// What the listener hands every request; the pauses are not measured.
const TS3Functions HOST = sim::functionTable();
std::ostringstream g_diagnostics;
const RequestContext REQUESTS{HOST, G19_VERSION, [](std::chrono::milliseconds) {}, g_diagnostics};

// Installs the model once per size; building a model of 10,000 entries is not cheap and
// Google Benchmark calls each benchmark function several times.
void useModel(std::size_t channels, std::size_t clients)
{
    static std::size_t s_channels = SIZE_MAX;
    static std::size_t s_clients = SIZE_MAX;
    if (channels == s_channels && clients == s_clients) {
        return;
    }
    sim::reset();
    sim::setLogging(false);
    sim::setModel(bench::serverModel(channels, clients));
    s_channels = channels;
    s_clients = clients;
}

Bytes answerOf(std::uint8_t command)
{
    const Packet packet = processRequest(REQUESTS, &command, 1);
    return Bytes(packet.data(), packet.data() + packet.size());
}

// --- Checks made before timing, so that a figure is never taken of the wrong work.

// The host calls one action makes, as (slot, IDs, property): what must match between a
// request and its floor.
using CallKey = std::tuple<std::string, uint64, uint64, uint64, std::size_t>;

template <typename Action>
std::vector<CallKey> callsOf(Action action)
{
    sim::clearCalls();
    sim::setLogging(true);
    action();
    sim::setLogging(false);
    std::vector<CallKey> keys;
    for (const sim::Call& call : sim::calls()) {
        keys.emplace_back(call.fn, call.schid.value_or(0), call.client.value_or(0), call.channel.value_or(0),
                          call.property.value_or(SIZE_MAX));
    }
    sim::clearCalls();
    return keys;
}

// Skips the benchmark with a reason when the floor does not make the request's calls or
// when either leaks host memory. Returns the answer and the number of host calls.
bool prepare(benchmark::State& state, std::uint8_t command, void (*floorCalls)(const TS3Functions&),
             Bytes& answer, std::size_t& hostCalls)
{
    const std::vector<CallKey> request = callsOf([&] { answer = answerOf(command); });
    const std::vector<CallKey> floor = callsOf([&] { floorCalls(HOST); });
    if (request != floor) {
        state.SkipWithError("the floor does not make the same host calls as the request");
        return false;
    }
    if (sim::memory().live != 0) {
        state.SkipWithError("host memory left unreleased");
        return false;
    }
    hostCalls = request.size();
    return true;
}

void report(benchmark::State& state, std::size_t bytes, std::size_t hostCalls, std::uint64_t allocations)
{
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["host_calls"] = static_cast<double>(hostCalls);
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

void runRequest(benchmark::State& state, std::uint8_t command, void (*floorCalls)(const TS3Functions&))
{
    Bytes expected;
    std::size_t hostCalls = 0;
    if (!prepare(state, command, floorCalls, expected, hostCalls)) {
        return;
    }
    std::size_t bytes = 0;
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) {
        const Packet answer = processRequest(REQUESTS, &command, 1);
        bytes = answer.size();
        benchmark::DoNotOptimize(answer.data());
    }
    const std::uint64_t allocations = bench::allocationCount() - before;
    if (bytes != expected.size()) {
        state.SkipWithError("the answer changed between runs");
        return;
    }
    report(state, bytes, hostCalls, allocations);
}

void runFloor(benchmark::State& state, std::uint8_t command, void (*floorCalls)(const TS3Functions&))
{
    Bytes answer;
    std::size_t hostCalls = 0;
    if (!prepare(state, command, floorCalls, answer, hostCalls)) {
        return;
    }
    Bytes buffer(answer.size());
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) {
        floorCalls(HOST);
        std::memcpy(buffer.data(), answer.data(), answer.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    const std::uint64_t allocations = bench::allocationCount() - before;
    report(state, buffer.size(), hostCalls, allocations);
}

// A request and its floor in turns, one of each per iteration, the one that goes first
// alternating, each timed on the process's CPU clock. Whole repetitions, interleaved, can
// still find a request and its floor in different states of a machine whose speed changes
// within seconds; one request apart, both see the same. The counters are medians over the
// iterations: the request's time, the floor's and their ratio pair by pair. scripts/bench
// measures a list again this way when its figures above miss a target.
void runPaired(benchmark::State& state, std::uint8_t command, void (*floorCalls)(const TS3Functions&))
{
    Bytes expected;
    std::size_t hostCalls = 0;
    if (!prepare(state, command, floorCalls, expected, hostCalls)) {
        return;
    }
    Bytes buffer(expected.size());
    std::vector<double> requestTimes;
    std::vector<double> floorTimes;
    std::vector<double> ratios;
    requestTimes.reserve(static_cast<std::size_t>(state.max_iterations));
    floorTimes.reserve(static_cast<std::size_t>(state.max_iterations));
    ratios.reserve(static_cast<std::size_t>(state.max_iterations));
    std::size_t bytes = 0;
    bool requestFirst = true;
    for (auto _ : state) {
        std::clock_t requestTime = 0;
        std::clock_t floorTime = 0;
        for (const bool request : {requestFirst, !requestFirst}) {
            const std::clock_t start = std::clock();
            if (request) {
                const Packet answer = processRequest(REQUESTS, &command, 1);
                bytes = answer.size();
                benchmark::DoNotOptimize(answer.data());
            } else {
                floorCalls(HOST);
                std::memcpy(buffer.data(), expected.data(), expected.size());
                benchmark::DoNotOptimize(buffer.data());
                benchmark::ClobberMemory();
            }
            (request ? requestTime : floorTime) = std::clock() - start;
        }
        requestFirst = !requestFirst;
        requestTimes.push_back(static_cast<double>(requestTime));
        floorTimes.push_back(static_cast<double>(floorTime));
        if (floorTime > 0) {
            ratios.push_back(static_cast<double>(requestTime) / static_cast<double>(floorTime));
        }
    }
    if (bytes != expected.size()) {
        state.SkipWithError("the answer changed between runs");
        return;
    }
    constexpr double NS_PER_TICK = 1e9 / CLOCKS_PER_SEC;
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["host_calls"] = static_cast<double>(hostCalls);
    state.counters["request_ns"] = median(requestTimes) * NS_PER_TICK;
    state.counters["floor_ns"] = median(floorTimes) * NS_PER_TICK;
    state.counters["ratio"] = median(ratios);
}

void BM_ServerName(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, OTHER_ENTRIES);
    runRequest(state, COMMAND_SERVER_NAME, bench::serverNameCalls);
}

void BM_ServerNameFloor(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, OTHER_ENTRIES);
    runFloor(state, COMMAND_SERVER_NAME, bench::serverNameCalls);
}

void BM_ChannelList(benchmark::State& state)
{
    useModel(static_cast<std::size_t>(state.range(0)), OTHER_ENTRIES);
    runRequest(state, COMMAND_CHANNEL_LIST, bench::channelListCalls);
}

void BM_ChannelListFloor(benchmark::State& state)
{
    useModel(static_cast<std::size_t>(state.range(0)), OTHER_ENTRIES);
    runFloor(state, COMMAND_CHANNEL_LIST, bench::channelListCalls);
}

void BM_ClientList(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, static_cast<std::size_t>(state.range(0)));
    runRequest(state, COMMAND_CLIENT_LIST, bench::clientListCalls);
}

void BM_ClientListFloor(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, static_cast<std::size_t>(state.range(0)));
    runFloor(state, COMMAND_CLIENT_LIST, bench::clientListCalls);
}

void BM_ChannelListPaired(benchmark::State& state)
{
    useModel(static_cast<std::size_t>(state.range(0)), OTHER_ENTRIES);
    runPaired(state, COMMAND_CHANNEL_LIST, bench::channelListCalls);
}

void BM_ClientListPaired(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, static_cast<std::size_t>(state.range(0)));
    runPaired(state, COMMAND_CLIENT_LIST, bench::clientListCalls);
}

}  // namespace

BENCHMARK(BM_ServerName);
BENCHMARK(BM_ServerNameFloor);
BENCHMARK(BM_ChannelList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ChannelListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
// The checked sizes only; scripts/bench runs these only to measure a missed list again.
BENCHMARK(BM_ChannelListPaired)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientListPaired)->Arg(1000)->Arg(10000);

BENCHMARK_MAIN();
