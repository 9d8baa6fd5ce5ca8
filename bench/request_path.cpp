// What one request costs inside the voice client's process, beside the floor: the host
// calls that any implementation must make, in the same order, plus one copy of the answer
// bytes into a buffer that already exists. Run under the simulated host with its call log
// off; the host's cost is in both figures and cancels in their ratio.
//
// Counters per request: bytes (answer size), host_calls (every call into the table,
// releases included), allocs (operator new calls in this process, the host's included).

#include "alloc_counter.h"
#include "bench_model.h"

#include "host/properties.h"
#include "plugin/plugin_state.h"
#include "protocol/commands.h"
#include "protocol/request.h"
#include "sim/sim_host.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Entries in the other list of each model: a client list is measured on a server with
// this many channels, a channel list with this many clients.
constexpr std::size_t OTHER_ENTRIES = 50;

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
    pluginState().functions = sim::functionTable();
    s_channels = channels;
    s_clients = clients;
}

Bytes answerOf(std::uint8_t command)
{
    const Packet packet = processRequest(&command, 1);
    return Bytes(packet.data(), packet.data() + packet.size());
}

// --- The floors: the host calls of each command in the plug-in's order, and nothing else.

void createReturnCode(const TS3Functions& host)
{
    char returnCode[RETURN_CODE_SIZE];
    host.createReturnCode(nullptr, returnCode, sizeof returnCode);
    benchmark::DoNotOptimize(returnCode);
}

void serverNameCalls(const TS3Functions& host)
{
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    char* name = nullptr;
    host.getServerVariableAsString(schid, SERVER_NAME, &name);
    host.freeMemory(name);
}

void channelListCalls(const TS3Functions& host)
{
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    uint64* channels = nullptr;
    if (host.getChannelList(schid, &channels) != 0) {
        return;
    }
    std::size_t count = 0;
    for (; channels[count] != 0; ++count) {
        char* name = nullptr;
        if (host.getChannelVariableAsString(schid, channels[count], CHANNEL_NAME, &name) == 0) {
            host.freeMemory(name);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const uint64 channel = channels[i];
        char* name = nullptr;
        if (host.getChannelVariableAsString(schid, channel, CHANNEL_NAME, &name) == 0) {
            host.freeMemory(name);
        }
        int value = 0;
        uint64 parent = 0;
        host.getChannelVariableAsInt(schid, channel, CHANNEL_NEEDED_TALK_POWER, &value);
        host.getChannelVariableAsInt(schid, channel, CHANNEL_ORDER, &value);
        host.getParentChannelOfChannel(schid, channel, &parent);
        host.getChannelVariableAsInt(schid, channel, CHANNEL_FLAG_PASSWORD, &value);
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(parent);
    }
    host.freeMemory(channels);
}

void clientListCalls(const TS3Functions& host)
{
    constexpr std::size_t PROPERTIES[] = {CLIENT_TALK_REQUEST, CLIENT_IS_TALKER,   CLIENT_INPUT_MUTED,
                                          CLIENT_OUTPUT_MUTED, CLIENT_IS_RECORDING, CLIENT_AWAY,
                                          CLIENT_IS_CHANNEL_COMMANDER, CLIENT_IS_MUTED};
    createReturnCode(host);
    const uint64 schid = host.getCurrentServerConnectionHandlerID();
    anyID self = 0;
    anyID* clients = nullptr;
    if (host.getClientID(schid, &self) != 0 || host.getClientList(schid, &clients) != 0) {
        return;
    }
    uint64 channel = 0;
    host.getChannelOfClient(schid, self, &channel);
    for (std::size_t i = 0; clients[i] != 0; ++i) {
        const anyID client = clients[i];
        char* nickname = nullptr;
        if (host.getClientVariableAsString(schid, client, CLIENT_NICKNAME, &nickname) == 0) {
            host.freeMemory(nickname);
        }
        int value = 0;
        if (client == self) {
            host.getClientSelfVariableAsInt(schid, CLIENT_FLAG_TALKING, &value);
        } else {
            host.getClientVariableAsInt(schid, client, CLIENT_FLAG_TALKING, &value);
        }
        host.getChannelOfClient(schid, client, &channel);
        for (const std::size_t property : PROPERTIES) {
            host.getClientVariableAsInt(schid, client, property, &value);
        }
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(channel);
    }
    host.freeMemory(clients);
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
    const std::vector<CallKey> floor = callsOf([&] { floorCalls(hostFunctions()); });
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
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations),
                                                  benchmark::Counter::kAvgIterations);
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
        const Packet answer = processRequest(&command, 1);
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
    const TS3Functions& host = hostFunctions();
    Bytes buffer(answer.size());
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) {
        floorCalls(host);
        std::memcpy(buffer.data(), answer.data(), answer.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    const std::uint64_t allocations = bench::allocationCount() - before;
    report(state, buffer.size(), hostCalls, allocations);
}

void BM_ServerName(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, OTHER_ENTRIES);
    runRequest(state, COMMAND_SERVER_NAME, serverNameCalls);
}

void BM_ServerNameFloor(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, OTHER_ENTRIES);
    runFloor(state, COMMAND_SERVER_NAME, serverNameCalls);
}

void BM_ChannelList(benchmark::State& state)
{
    useModel(static_cast<std::size_t>(state.range(0)), OTHER_ENTRIES);
    runRequest(state, COMMAND_CHANNEL_LIST, channelListCalls);
}

void BM_ChannelListFloor(benchmark::State& state)
{
    useModel(static_cast<std::size_t>(state.range(0)), OTHER_ENTRIES);
    runFloor(state, COMMAND_CHANNEL_LIST, channelListCalls);
}

void BM_ClientList(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, static_cast<std::size_t>(state.range(0)));
    runRequest(state, COMMAND_CLIENT_LIST, clientListCalls);
}

void BM_ClientListFloor(benchmark::State& state)
{
    useModel(OTHER_ENTRIES, static_cast<std::size_t>(state.range(0)));
    runFloor(state, COMMAND_CLIENT_LIST, clientListCalls);
}

}  // namespace

BENCHMARK(BM_ServerName);
BENCHMARK(BM_ServerNameFloor);
BENCHMARK(BM_ChannelList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ChannelListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientList)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ClientListFloor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

BENCHMARK_MAIN();
