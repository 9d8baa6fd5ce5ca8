// The bridge's side of the figures: a display request answered from the mirror beside the
// same request answered by the simulated client (the plug-in's path), the cost of taking in
// one talkStatusChanged as the session does (read without a document, logged into the memory
// a report is made from, then applied), and of taking in a whole snapshot. The bridge's host has no round
// trips to make, so its request should cost no more than the plug-in's.
//
// The mirror is filled from a snapshot of the benchmark server, and before any timing its
// answers are checked to be the simulated client's byte for byte: the two figures measure
// the same work.

#include "bench_model.h"

#include "bridge/bridge_host.h"
#include "bridge/bridge_log.h"
#include "bridge/feed.h"
#include "bridge/talk_frame.h"
#include "g19/version.h"
#include "host/properties.h"
#include "protocol/request.h"
#include "sim/sim_host.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

std::ostringstream g_diagnostics;
const TS3Functions SIM_HOST = sim::functionTable();
const TS3Functions BRIDGE_HOST = bridge::functionTable();

int intOf(const sim::IntProperties& ints, std::size_t property)
{
    const auto it = ints.find(property);
    return it == ints.end() ? 0 : it->second;
}

// The model as the client's `auth` answer carries it.
std::string snapshotOf(const sim::Model& model)
{
    json connections = json::array();
    for (const sim::Connection& connection : model.connections) {
        json roots = json::array();
        json children = json::object();
        for (const sim::Channel& channel : connection.channels) {
            json entry = {{"id", std::to_string(channel.id)},
                          {"parentId", std::to_string(channel.parent)},
                          {"order", std::to_string(static_cast<std::uint32_t>(intOf(channel.ints, CHANNEL_ORDER)))},
                          {"properties",
                           {{"name", channel.name},
                            {"flagPassword", intOf(channel.ints, CHANNEL_FLAG_PASSWORD) != 0},
                            {"neededTalkPower", intOf(channel.ints, CHANNEL_NEEDED_TALK_POWER)}}}};
            (channel.parent == 0 ? roots : children[std::to_string(channel.parent)]).push_back(entry);
        }
        json clients = json::array();
        for (const sim::Client& client : connection.clients) {
            const auto flag = [&](std::size_t property) { return intOf(client.ints, property) != 0; };
            clients.push_back({{"id", client.id},
                               {"channelId", std::to_string(client.channel)},
                               {"properties",
                                {{"nickname", client.nickname},
                                 {"flagTalking", flag(CLIENT_FLAG_TALKING)},
                                 {"inputMuted", flag(CLIENT_INPUT_MUTED)},
                                 {"outputMuted", flag(CLIENT_OUTPUT_MUTED)},
                                 {"isMuted", flag(CLIENT_IS_MUTED)},
                                 {"isRecording", flag(CLIENT_IS_RECORDING)},
                                 {"away", flag(CLIENT_AWAY)},
                                 {"talkRequest", intOf(client.ints, CLIENT_TALK_REQUEST)},
                                 {"isTalker", flag(CLIENT_IS_TALKER)},
                                 {"isChannelCommander", flag(CLIENT_IS_CHANNEL_COMMANDER)},
                                 {"inputHardware", client.id == connection.self},
                                 {"talkPower", 0}}}});
        }
        connections.push_back({{"id", connection.schid},
                               {"clientId", connection.self},
                               {"status", 4},
                               {"properties", {{"name", connection.serverName}, {"uniqueIdentifier", "bench"}}},
                               {"channelInfos", {{"rootChannels", roots}, {"subChannels", children}}},
                               {"clientInfos", clients}});
    }
    json message = {{"type", "auth"},
                    {"status", {{"code", 0}, {"message", "ok"}}},
                    {"payload", {{"apiKey", "bench"}, {"connections", connections}}}};
    return message.dump();
}

void takeSnapshot(const std::string& text)
{
    const json message = json::parse(text);
    bridge::updateMirror([&](bridge::Mirror& mirror) { mirror.replace(message["payload"]["connections"]); });
}

Bytes answerOf(const TS3Functions& host, std::uint8_t command)
{
    const RequestContext context{host, G19_VERSION, [](std::chrono::milliseconds) {}, g_diagnostics};
    const Packet packet = processRequest(context, &command, 1);
    return Bytes(packet.data(), packet.data() + packet.size());
}

// The benchmark server with its channels listed parents first, as the bridge lists them:
// Remote Apps groups channels by parent, so no other order can travel through it.
sim::Model treeOrdered(sim::Model model)
{
    for (sim::Connection& connection : model.connections) {
        std::map<uint64, std::vector<sim::Channel>> children;
        for (sim::Channel& channel : connection.channels) {
            children[channel.parent].push_back(std::move(channel));
        }
        connection.channels.clear();
        const auto visit = [&](auto&& self, uint64 parent) -> void {
            for (sim::Channel& child : children[parent]) {
                const uint64 id = child.id;
                connection.channels.push_back(std::move(child));
                self(self, id);
            }
        };
        visit(visit, 0);
    }
    return model;
}

// Both hosts hold the same server of `clients` clients and `channels` channels; returns it.
sim::Model useServer(std::size_t channels, std::size_t clients)
{
    static std::map<std::pair<std::size_t, std::size_t>, bool> checked;
    const sim::Model model = treeOrdered(bench::serverModel(channels, clients));
    sim::reset();
    sim::setLogging(false);
    sim::setModel(model);
    bridge::resetHost();
    takeSnapshot(snapshotOf(model));
    if (!checked[{channels, clients}]) {
        for (const std::uint8_t command : {2, 3, 5}) {
            if (answerOf(SIM_HOST, command) != answerOf(BRIDGE_HOST, command)) {
                std::fprintf(stderr, "bridge: answer to %d differs from the plug-in's; no figure taken\n", command);
                std::exit(1);
            }
        }
        checked[{channels, clients}] = true;
    }
    return model;
}

void requestBench(benchmark::State& state, const TS3Functions& host, std::uint8_t command)
{
    const auto entries = static_cast<std::size_t>(state.range(0));
    if (command == 5) {
        useServer(50, entries);
    } else {
        useServer(entries, 50);
    }
    for (auto _ : state) {
        Bytes answer = answerOf(host, command);
        benchmark::DoNotOptimize(answer.data());
    }
}

void BM_PluginClientList(benchmark::State& state) { requestBench(state, SIM_HOST, 5); }
void BM_BridgeClientList(benchmark::State& state) { requestBench(state, BRIDGE_HOST, 5); }
void BM_PluginChannelList(benchmark::State& state) { requestBench(state, SIM_HOST, 3); }
void BM_BridgeChannelList(benchmark::State& state) { requestBench(state, BRIDGE_HOST, 3); }

// One talkStatusChanged frame, from its text to the mirror, as an approved session takes it:
// read without a document, kept in the log's memory (without --log, as players run it) and
// applied through the feed; or, for the cost of the memory alone, the same without the log.
void talkStatusBench(benchmark::State& state, bool logged)
{
    const auto clients = static_cast<std::size_t>(state.range(0));
    const sim::Model model = useServer(50, clients);
    bridge::StatusModel status("bench", [](const std::string&) {});
    bridge::Feed feed(status);
    if (feed.answer(json::parse(snapshotOf(model)), true).kind != bridge::Feed::Answer::Kind::APPROVED) {
        std::fprintf(stderr, "bridge: the snapshot was not taken as an approval; no figure taken\n");
        std::exit(1);
    }
    std::vector<std::string> frames;
    for (std::size_t i = 0; i < 64; ++i) {
        frames.push_back(json({{"type", "talkStatusChanged"},
                               {"payload",
                                {{"connectionId", bench::BENCH_SCHID},
                                 {"clientId", 1 + (i * 37) % clients},
                                 {"status", i % 2},
                                 {"isWhisper", false}}}})
                             .dump());
        if (!bridge::readTalkStatus(frames.back())) {
            std::fprintf(stderr, "bridge: a talk frame is not read without its document; no figure taken\n");
            std::exit(1);
        }
    }
    bridge::BridgeLog log(nullptr, "g19-bridge", G19_VERSION);
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string& frame = frames[next++ % frames.size()];
        const std::optional<bridge::TalkStatus> talk = bridge::readTalkStatus(frame);
        if (logged) {
            log.incomingEvent(frame);
        }
        benchmark::DoNotOptimize(feed.talk(*talk));
    }
}

void BM_TalkStatusChanged(benchmark::State& state) { talkStatusBench(state, true); }
void BM_TalkStatusChangedUnlogged(benchmark::State& state) { talkStatusBench(state, false); }

// A whole snapshot, from its text to the mirror.
void BM_Snapshot(benchmark::State& state)
{
    const std::string text = snapshotOf(bench::serverModel(static_cast<std::size_t>(state.range(1)),
                                                           static_cast<std::size_t>(state.range(0))));
    state.counters["bytes"] = static_cast<double>(text.size());
    for (auto _ : state) {
        takeSnapshot(text);
    }
}

}  // namespace

BENCHMARK(BM_PluginClientList)->Arg(100)->Arg(1000);
BENCHMARK(BM_BridgeClientList)->Arg(100)->Arg(1000);
BENCHMARK(BM_PluginChannelList)->Arg(1000);
BENCHMARK(BM_BridgeChannelList)->Arg(1000);
BENCHMARK(BM_TalkStatusChanged)->Arg(1000);
BENCHMARK(BM_TalkStatusChangedUnlogged)->Arg(1000);
BENCHMARK(BM_Snapshot)->Args({1000, 200})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
