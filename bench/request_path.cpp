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
#include <iterator>
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

// Installs a model once for as long as the benchmarks that run one after another want the
// same one; building a model of 10,000 entries is not cheap and Google Benchmark calls each
// benchmark function several times. `key` names the model `build` makes.
template <typename Build>
void install(const std::string& key, Build build)
{
    static std::string s_installed;
    if (key == s_installed) {
        return;
    }
    sim::reset();
    sim::setLogging(false);
    sim::setModel(build());
    s_installed = key;
}

void useModel(std::size_t channels, std::size_t clients)
{
    install(std::to_string(channels) + " channels, " + std::to_string(clients) + " clients",
            [&] { return bench::serverModel(channels, clients); });
}

Bytes answerOf(const RequestContext& requests, std::uint8_t command)
{
    const Packet packet = processRequest(requests, &command, 1);
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
             Bytes& answer, std::size_t& hostCalls, const RequestContext& requests = REQUESTS)
{
    const std::vector<CallKey> request = callsOf([&] { answer = answerOf(requests, command); });
    const std::vector<CallKey> floor = callsOf([&] { floorCalls(requests.host); });
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

// --- A second measurement: both checked sizes of a list, each request beside its floor.

// Whole repetitions, interleaved, can still find a request and its floor, or one size and
// the other, in different states of a machine whose speed changes within seconds; and every
// switch between sizes builds a model anew, laid out differently in memory. The paired
// benchmarks hold both sizes as two connections of one model, built once, and in every
// iteration run the request and its floor at each size, one after the other, the first of
// them alternating, each timed on the process's CPU clock. Their counters are medians
// over the iterations: per size the request's time, the floor's and their ratio pair by
// pair, and the growth from the smaller size to the larger, the request's and the floor's,
// within one iteration. scripts/bench measures a list again this way when it misses.
constexpr std::size_t PAIRED_SIZES[] = {1000, 10000};

// The connection in front for the paired benchmarks: the host table below answers this
// instead of the model's own, after making the same call.
uint64 g_front = bench::BENCH_SCHID;

TS3Functions pairedTable()
{
    TS3Functions table = HOST;
    table.getCurrentServerConnectionHandlerID = [] {
        HOST.getCurrentServerConnectionHandlerID();
        return g_front;
    };
    return table;
}

const TS3Functions PAIRED_HOST = pairedTable();
const RequestContext PAIRED_REQUESTS{PAIRED_HOST, G19_VERSION, [](std::chrono::milliseconds) {},
                                     g_diagnostics};

// Connection i + 1 holds the list at PAIRED_SIZES[i].
void usePairedModel(std::uint8_t command)
{
    install(command == COMMAND_CHANNEL_LIST ? "channel lists paired" : "client lists paired", [&] {
        sim::Model model;
        model.current = bench::BENCH_SCHID;
        for (std::size_t i = 0; i < std::size(PAIRED_SIZES); ++i) {
            const std::size_t size = PAIRED_SIZES[i];
            sim::Model one = command == COMMAND_CHANNEL_LIST ? bench::serverModel(size, OTHER_ENTRIES)
                                                             : bench::serverModel(OTHER_ENTRIES, size);
            one.connections[0].schid = i + 1;
            model.connections.push_back(std::move(one.connections[0]));
        }
        return model;
    });
}

void runPaired(benchmark::State& state, std::uint8_t command, void (*floorCalls)(const TS3Functions&))
{
    struct Side {
        Bytes expected;
        Bytes buffer;
        std::size_t hostCalls = 0;
        std::vector<double> requestTimes;
        std::vector<double> floorTimes;
        std::vector<double> ratios;
    };
    constexpr std::size_t SIDES = std::size(PAIRED_SIZES);
    Side sides[SIDES];
    const auto reserved = static_cast<std::size_t>(state.max_iterations);
    for (std::size_t i = 0; i < SIDES; ++i) {
        g_front = i + 1;
        if (!prepare(state, command, floorCalls, sides[i].expected, sides[i].hostCalls, PAIRED_REQUESTS)) {
            return;
        }
        sides[i].buffer.resize(sides[i].expected.size());
        sides[i].requestTimes.reserve(reserved);
        sides[i].floorTimes.reserve(reserved);
        sides[i].ratios.reserve(reserved);
    }
    std::vector<double> scales;
    std::vector<double> floorScales;
    scales.reserve(reserved);
    floorScales.reserve(reserved);

    bool requestFirst = true;
    bool sameAnswers = true;
    for (auto _ : state) {
        std::clock_t times[SIDES][2] = {};  // per size: the request's, the floor's
        for (std::size_t i = 0; i < SIDES; ++i) {
            Side& side = sides[i];
            g_front = i + 1;
            // The other size has just been through the caches; the host calls once, untimed,
            // bring this one back, so that neither of the two timed turns starts cold.
            floorCalls(PAIRED_HOST);
            for (const bool request : {requestFirst, !requestFirst}) {
                const std::clock_t start = std::clock();
                if (request) {
                    const Packet answer = processRequest(PAIRED_REQUESTS, &command, 1);
                    sameAnswers = sameAnswers && answer.size() == side.expected.size();
                    benchmark::DoNotOptimize(answer.data());
                } else {
                    floorCalls(PAIRED_HOST);
                    std::memcpy(side.buffer.data(), side.expected.data(), side.expected.size());
                    benchmark::DoNotOptimize(side.buffer.data());
                    benchmark::ClobberMemory();
                }
                times[i][request ? 0 : 1] = std::clock() - start;
            }
        }
        requestFirst = !requestFirst;
        for (std::size_t i = 0; i < SIDES; ++i) {
            sides[i].requestTimes.push_back(static_cast<double>(times[i][0]));
            sides[i].floorTimes.push_back(static_cast<double>(times[i][1]));
            if (times[i][1] > 0) {
                sides[i].ratios.push_back(static_cast<double>(times[i][0]) /
                                          static_cast<double>(times[i][1]));
            }
        }
        if (times[0][0] > 0 && times[0][1] > 0) {
            scales.push_back(static_cast<double>(times[SIDES - 1][0]) / static_cast<double>(times[0][0]));
            floorScales.push_back(static_cast<double>(times[SIDES - 1][1]) /
                                  static_cast<double>(times[0][1]));
        }
    }
    if (!sameAnswers) {
        state.SkipWithError("the answer changed between runs");
        return;
    }
    constexpr double NS_PER_TICK = 1e9 / CLOCKS_PER_SEC;
    for (std::size_t i = 0; i < SIDES; ++i) {
        const std::string size = std::to_string(PAIRED_SIZES[i]);
        state.counters["bytes_" + size] = static_cast<double>(sides[i].expected.size());
        state.counters["host_calls_" + size] = static_cast<double>(sides[i].hostCalls);
        state.counters["request_ns_" + size] = median(sides[i].requestTimes) * NS_PER_TICK;
        state.counters["floor_ns_" + size] = median(sides[i].floorTimes) * NS_PER_TICK;
        state.counters["ratio_" + size] = median(sides[i].ratios);
    }
    state.counters["scale"] = median(scales);
    state.counters["floor_scale"] = median(floorScales);
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
    usePairedModel(COMMAND_CHANNEL_LIST);
    runPaired(state, COMMAND_CHANNEL_LIST, bench::channelListCalls);
}

void BM_ClientListPaired(benchmark::State& state)
{
    usePairedModel(COMMAND_CLIENT_LIST);
    runPaired(state, COMMAND_CLIENT_LIST, bench::clientListCalls);
}

}  // namespace

BENCHMARK(BM_ServerName);
BENCHMARK(BM_ServerNameFloor);
BENCHMARK(BM_ChannelList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ChannelListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
// scripts/bench runs these only to measure a missed list again.
BENCHMARK(BM_ChannelListPaired);
BENCHMARK(BM_ClientListPaired);

BENCHMARK_MAIN();
