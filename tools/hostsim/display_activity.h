#pragma once
// What the display did, read from the host calls the plug-in made while serving it: one entry
// per request or action ("move client 4 (Carol) to Raid Team", "mute toggled: on") and a
// count of requests per command, the commands named as g19-probe names them. Each request
// makes exactly one call that tells its command: a client list one getClientList, a
// microphone toggle one read of the own microphone state, a move one requestClientMove.
//
// Not thread-safe; the web console guards it.

#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace console {

// Names to show beside IDs: the server's, the channels' and the clients' of each connection,
// and the own client, taken from the model around the time of the call.
class ModelNames {
public:
    // `now` wins over `before`; `before` still names a client that a kick just removed.
    ModelNames(const sim::Model& before, const sim::Model& now);

    std::string client(uint64 schid, anyID id) const;    // "client 4 (Carol)" or "client 4"
    std::string channel(uint64 schid, uint64 id) const;  // "Raid Team" or "channel 12"
    std::string server(uint64 schid) const;              // "G19 Demo Server" or "connection 2"
    bool isSelf(uint64 schid, anyID id) const;

private:
    void add(const sim::Model& model);

    std::map<std::pair<uint64, anyID>, std::string> m_clients;
    std::map<std::pair<uint64, uint64>, std::string> m_channels;
    std::map<uint64, std::string> m_servers;
    std::map<uint64, anyID> m_self;
};

class DisplayActivity {
public:
    // Whether the call can tell anything; the others need not be kept.
    static bool tells(const sim::Call& call);

    // `wallMs`: when the call was made, in milliseconds since 1970.
    void add(const sim::Call& call, std::int64_t wallMs, const ModelNames& names);

    // Grows with every change of the entries or the counts.
    std::uint64_t revision() const { return m_revision; }
    // {"entries": [...], "counts": {...}}: the entries changed after `revision`, oldest first,
    // and every count. An entry: {"id", "command", "text", "error", "times", "firstMs", "lastMs"};
    // consecutive reads of one command fold into one entry whose "times" grows.
    nlohmann::ordered_json changesSince(std::uint64_t revision) const;

private:
    struct Entry {
        std::uint64_t id = 0;
        std::uint64_t revision = 0;
        std::string command;
        std::string text;
        unsigned int error = 0;
        std::size_t times = 1;
        std::int64_t firstMs = 0;
        std::int64_t lastMs = 0;
        bool read = false;
    };

    void addEntry(const std::string& command, const std::string& text, unsigned int error,
                  std::int64_t wallMs, bool read);
    void count(const std::string& command);

    std::deque<Entry> m_entries;
    std::map<std::string, std::size_t> m_counts;
    std::uint64_t m_nextId = 1;
    std::uint64_t m_revision = 0;
};

// The failure rules in force, as set through the console, a scenario or a control line, with
// the calls each has matched so far (every matching call counts for every rule, as in the
// simulated client). Not thread-safe; the web console guards it.
class FailureTracker {
public:
    void replace(std::vector<sim::FailureRule> rules);
    void add(sim::FailureRule rule);
    void observe(const sim::Call& call);
    // The rules with what is left of them: skip and count less what the calls matched so far
    // used up; rules used up are left out.
    std::vector<sim::FailureRule> remaining() const;
    // Each rule as armed, in the scenario format, with "matched": the calls it has matched.
    nlohmann::ordered_json view() const;

private:
    struct Armed {
        sim::FailureRule rule;
        std::uint64_t matched = 0;
    };
    std::vector<Armed> m_rules;
};

}  // namespace console
