#pragma once
// Inside the simulated host: its one state and the helper every slot is served through.
// Each part of the state is written in a file of its own: the model and its index
// (model.cpp), the failure rules (failure_rules.cpp), the call log (call_log.cpp), the
// memory ledger (sim_host.cpp) and the slots with the memory they hand out (slots.cpp).
// What every slot call runs through (the state itself, the lookups, the rules when there
// are none, a release) is inline here: the benchmarks set the plug-in beside calls into
// this host, which must stay cheap.

#include "sim/sim_host.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

// The kinds of host memory the slots hand out, as freeMemory logs them.
enum class Block { STRING, CLIENT_LIST, CHANNEL_LIST };

// Positions in a connection's vectors by ID, so that a query costs the same at ten clients
// as at ten thousand.
struct ConnectionIndex {
    std::unordered_map<anyID, std::size_t> clients;
    std::unordered_map<uint64, std::size_t> channels;
};

using Clock = std::chrono::steady_clock;

// The arguments of one call that a failure rule can filter on.
struct Args {
    const char* fn;
    std::optional<uint64> schid;
    std::optional<anyID> client;
    std::optional<uint64> channel;
    std::optional<std::size_t> property;
};

// Everything below is guarded by `mutex`; the member functions expect it held.
struct HostState {
    std::mutex mutex;

    // The model (model.cpp).
    Model model;
    std::unordered_map<uint64, std::size_t> connectionPositions;
    std::vector<ConnectionIndex> indexes;              // parallel to model.connections
    std::unordered_map<uint64, IntProperties> staged;  // self properties set, not yet flushed

    void rebuildIndex();
    void rebuildClients(std::size_t position);
    void replaceModel(Model replacement);
    void removeClient(std::size_t position, anyID id);
    void removeConnection(std::size_t position);

    // Counts the model's changes (modelVersion); whoever changes the model calls touch().
    std::uint64_t version = 0;
    std::condition_variable versionChanged;
    void touch()
    {
        ++version;
        versionChanged.notify_all();
    }

    // What a server changes after its round trip: one int property of one client.
    struct LaterChange {
        Clock::time_point due;
        uint64 schid;
        anyID client;
        std::size_t property;
        int value;
    };
    std::vector<LaterChange> later;  // in the order the calls made them
    // What the server answers a talk-power request (`request`) or withdrawal, after the
    // connection's round trip; nothing when it has none or the own client is unknown.
    void scheduleTalkRequest(const Connection& connection, bool request);
    // Applies the changes whose time has come. Every slot call and model() run it first.
    void applyDueChanges()
    {
        if (!later.empty()) {
            applyDue();
        }
    }
    void applyDue();

    unsigned int findConnection(uint64 schid, Connection*& connection, std::size_t* position = nullptr)
    {
        const auto it = connectionPositions.find(schid);
        if (it == connectionPositions.end()) {
            return ERROR_UNKNOWN_CONNECTION;
        }
        connection = &model.connections[it->second];
        if (position != nullptr) {
            *position = it->second;
        }
        return 0;
    }

    unsigned int findClient(uint64 schid, anyID id, Client*& client,
                            std::size_t* connectionPosition = nullptr)
    {
        Connection* connection = nullptr;
        std::size_t position = 0;
        if (const unsigned int code = findConnection(schid, connection, &position)) {
            return code;
        }
        const auto it = indexes[position].clients.find(id);
        if (it == indexes[position].clients.end()) {
            return ERROR_UNKNOWN_CLIENT;
        }
        client = &connection->clients[it->second];
        if (connectionPosition != nullptr) {
            *connectionPosition = position;
        }
        return 0;
    }

    unsigned int findSelf(uint64 schid, Client*& client)
    {
        Connection* connection = nullptr;
        if (const unsigned int code = findConnection(schid, connection)) {
            return code;
        }
        return connection->self == 0 ? ERROR_UNKNOWN_CLIENT : findClient(schid, connection->self, client);
    }

    unsigned int findChannel(uint64 schid, uint64 id, Channel*& channel)
    {
        Connection* connection = nullptr;
        std::size_t position = 0;
        if (const unsigned int code = findConnection(schid, connection, &position)) {
            return code;
        }
        const auto it = indexes[position].channels.find(id);
        if (it == indexes[position].channels.end()) {
            return ERROR_UNKNOWN_CHANNEL;
        }
        channel = &connection->channels[it->second];
        return 0;
    }

    // The failure rules (failure_rules.cpp).
    std::vector<FailureRule> rules;
    std::vector<unsigned int> matched;  // matching calls seen so far, per rule

    void replaceRules(std::vector<FailureRule> replacement);
    // The code of the first rule that fails this call, 0 when none does. Counts the call
    // against every rule it matches.
    unsigned int failure(const Args& args) { return rules.empty() ? 0 : matchRules(args); }
    unsigned int matchRules(const Args& args);

    // The call log (call_log.cpp).
    bool logging = true;
    std::vector<Call> log;
    Clock::time_point logStart = Clock::now();
    std::function<void(const Call&)> observer;
    std::size_t unimplementedCalls = 0;

    // Logs the call; `fill` adds what only its slot knows. Nothing is built when logging is off.
    template <typename Fill>
    void record(const Args& args, unsigned int ret, Fill&& fill)
    {
        if (!logging) {
            return;
        }
        Call call = startCall(args, ret);
        fill(call);
        append(std::move(call));
    }
    Call startCall(const Args& args, unsigned int ret) const;
    void append(Call call);
    void clearLog();

    // The memory ledger (sim_host.cpp; blocks are handed out in slots.cpp).
    std::unordered_map<void*, Block> ledger;  // live host memory
    MemoryReport counts;                      // `live` is taken from the ledger
    unsigned long long returnCodes = 0;

    void* allocate(std::size_t bytes, Block block);
    char* newString(const std::string& text);
    // What freeMemory logs as released: the block's kind, "null" or "invalid".
    const char* release(void* pointer)
    {
        if (pointer == nullptr) {
            return "null";
        }
        const auto it = ledger.find(pointer);
        if (it == ledger.end()) {
            ++counts.invalid;
            return "invalid";
        }
        const Block block = it->second;
        std::free(pointer);
        ledger.erase(it);
        ++counts.released;
        return block == Block::STRING ? "string" : block == Block::CLIENT_LIST ? "clientList" : "channelList";
    }
    void freeLive();

    // The hold (held_calls.cpp), with a lock of its own: a held call waits outside `mutex`.
    std::atomic<bool> holding{false};
    std::mutex holdMutex;
    std::condition_variable holdReleased;
    std::string heldFn;
    std::size_t held = 0;

    void waitWhileHeld(const char* fn);
};

// The one simulated host of the process.
inline HostState& host()
{
    // Never destroyed: a listener thread may still call in while the process exits.
    static HostState* const state = new HostState;
    return *state;
}

// One call of a slot: under the host's lock, the failure rules first, then `work` (the
// lookups and what the slot does, returning the call's result), then the log entry, to
// which `fill` adds what only this slot knows. A call that a rule fails does nothing.
template <typename Work, typename Fill>
unsigned int serve(const Args& args, Work&& work, Fill&& fill)
{
    HostState& h = host();
    if (h.holding.load(std::memory_order_acquire)) {
        h.waitWhileHeld(args.fn);
    }
    std::lock_guard<std::mutex> lock(h.mutex);
    h.applyDueChanges();
    unsigned int ret = h.failure(args);
    if (ret == 0) {
        ret = work(h);
    }
    h.record(args, ret, [&](Call& call) { fill(call, ret); });
    return ret;
}

}  // namespace sim
