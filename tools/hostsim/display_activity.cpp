#include "display_activity.h"

#include "host/properties.h"
#include "sim/scenario_json.h"

#include <algorithm>
#include <variant>

namespace console {

namespace {

// Enough to scroll back through a few minutes of a display's polling, folded.
constexpr std::size_t MAX_ENTRIES = 500;

// The toggles of the own client: the property, the command as g19-probe names it, the words.
struct Toggle {
    std::size_t property;
    const char* command;
    const char* label;
};

constexpr Toggle TOGGLES[] = {
    {CLIENT_INPUT_MUTED, "mute", "mute"},
    {CLIENT_OUTPUT_MUTED, "speakers", "speaker mute"},
    {CLIENT_AWAY, "away", "away"},
};

const Toggle* toggleOf(const sim::Call& call)
{
    for (const Toggle& toggle : TOGGLES) {
        if (call.property == toggle.property) {
            return &toggle;
        }
    }
    return nullptr;
}

std::int64_t intValue(const sim::Call& call)
{
    if (call.value) {
        if (const auto* value = std::get_if<std::int64_t>(&*call.value)) {
            return *value;
        }
    }
    return 0;
}

}  // namespace

ModelNames::ModelNames(const sim::Model& before, const sim::Model& now)
{
    add(before);
    add(now);
}

void ModelNames::add(const sim::Model& model)
{
    for (const sim::Connection& connection : model.connections) {
        m_servers[connection.schid] = connection.serverName;
        m_self[connection.schid] = connection.self;
        // Reversed, so that the first of a duplicated ID, the one that answers, wins.
        for (auto it = connection.channels.rbegin(); it != connection.channels.rend(); ++it) {
            m_channels[{connection.schid, it->id}] = it->name;
        }
        for (auto it = connection.clients.rbegin(); it != connection.clients.rend(); ++it) {
            m_clients[{connection.schid, it->id}] = it->nickname;
        }
    }
}

std::string ModelNames::client(uint64 schid, anyID id) const
{
    const auto it = m_clients.find({schid, id});
    const std::string label = "client " + std::to_string(id);
    return it != m_clients.end() ? label + " (" + it->second + ")" : label;
}

std::string ModelNames::channel(uint64 schid, uint64 id) const
{
    const auto it = m_channels.find({schid, id});
    return it != m_channels.end() ? it->second : "channel " + std::to_string(id);
}

std::string ModelNames::server(uint64 schid) const
{
    const auto it = m_servers.find(schid);
    return it != m_servers.end() ? it->second : "connection " + std::to_string(schid);
}

bool ModelNames::isSelf(uint64 schid, anyID id) const
{
    const auto it = m_self.find(schid);
    return it != m_self.end() && it->second == id;
}

bool DisplayActivity::tells(const sim::Call& call)
{
    static const char* const TELLING[] = {"getServerVariableAsString",
                                          "getChannelList",
                                          "getClientList",
                                          "getClientSelfVariableAsInt",
                                          "setClientSelfVariableAsInt",
                                          "flushClientSelfUpdates",
                                          "requestIsTalker",
                                          "requestClientMove",
                                          "requestClientKickFromChannel",
                                          "requestClientKickFromServer",
                                          "banclient",
                                          "stopConnection"};
    return std::find(std::begin(TELLING), std::end(TELLING), call.fn) != std::end(TELLING);
}

void DisplayActivity::add(const sim::Call& call, std::int64_t wallMs, const ModelNames& names)
{
    const uint64 schid = call.schid.value_or(0);
    const anyID client = call.client.value_or(0);
    const unsigned int error = call.ret;
    const std::string& fn = call.fn;
    if (fn == "getServerVariableAsString") {
        count("server");
        addEntry("server", "server name", error, wallMs, true);
    } else if (fn == "getChannelList") {
        count("channels");
        addEntry("channels", "channel list", error, wallMs, true);
    } else if (fn == "getClientList") {
        count("clients");
        addEntry("clients", "client list", error, wallMs, true);
    } else if (fn == "getClientSelfVariableAsInt") {
        // A toggle reads the state it flips; a talk request whether one is pending. The other
        // reads (the own talking flag of a client list) tell nothing.
        if (const Toggle* toggle = toggleOf(call)) {
            count(toggle->command);
            if (error != 0) {
                addEntry(toggle->command, std::string(toggle->label) + ": state unreadable, nothing changed",
                         error, wallMs, false);
            }
        } else if (call.property == CLIENT_TALK_REQUEST) {
            count("talk-request");
        }
    } else if (fn == "setClientSelfVariableAsInt") {
        if (const Toggle* toggle = toggleOf(call)) {
            addEntry(toggle->command,
                     std::string(toggle->label) + " toggled: " + (intValue(call) != 0 ? "on" : "off"), error,
                     wallMs, false);
        }
    } else if (fn == "flushClientSelfUpdates") {
        if (error != 0) {
            addEntry("flush", "own client's changes not sent", error, wallMs, false);
        }
    } else if (fn == "requestIsTalker") {
        addEntry("talk-request",
                 call.request.value_or(0) != 0 ? "talk request sent" : "talk request withdrawn", error,
                 wallMs, false);
    } else if (fn == "requestClientMove") {
        const std::string to = names.channel(schid, call.channel.value_or(0));
        if (names.isSelf(schid, client)) {
            count("move-self");
            addEntry("move-self", "move self to " + to, error, wallMs, false);
        } else {
            count("move");
            addEntry("move", "move " + names.client(schid, client) + " to " + to, error, wallMs, false);
        }
    } else if (fn == "requestClientKickFromChannel") {
        count("kick-channel");
        addEntry("kick-channel", "kick " + names.client(schid, client) + " from the channel", error, wallMs,
                 false);
    } else if (fn == "requestClientKickFromServer") {
        count("kick-server");
        addEntry("kick-server", "kick " + names.client(schid, client) + " from the server", error, wallMs,
                 false);
    } else if (fn == "banclient") {
        count("ban");
        addEntry(
            "ban",
            "ban " + names.client(schid, client) + " for " + std::to_string(call.seconds.value_or(0)) + " s",
            error, wallMs, false);
    } else if (fn == "stopConnection") {
        count("disconnect");
        addEntry("disconnect", "disconnect from " + names.server(schid), error, wallMs, false);
    }
}

void DisplayActivity::count(const std::string& command)
{
    ++m_counts[command];
    ++m_revision;
}

void DisplayActivity::addEntry(const std::string& command, const std::string& text, unsigned int error,
                               std::int64_t wallMs, bool read)
{
    ++m_revision;
    if (read && !m_entries.empty()) {
        Entry& last = m_entries.back();
        if (last.read && last.command == command && last.error == error) {
            ++last.times;
            last.lastMs = wallMs;
            last.revision = m_revision;
            return;
        }
    }
    m_entries.push_back({m_nextId++, m_revision, command, text, error, 1, wallMs, wallMs, read});
    if (m_entries.size() > MAX_ENTRIES) {
        m_entries.pop_front();
    }
}

nlohmann::ordered_json DisplayActivity::changesSince(std::uint64_t revision) const
{
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const Entry& entry : m_entries) {
        if (entry.revision > revision) {
            entries.push_back({{"id", entry.id},
                               {"command", entry.command},
                               {"text", entry.text},
                               {"error", entry.error},
                               {"times", entry.times},
                               {"firstMs", entry.firstMs},
                               {"lastMs", entry.lastMs}});
        }
    }
    nlohmann::ordered_json counts = nlohmann::ordered_json::object();
    for (const auto& [command, number] : m_counts) {
        counts[command] = number;
    }
    return {{"entries", std::move(entries)}, {"counts", std::move(counts)}};
}

void FailureTracker::replace(std::vector<sim::FailureRule> rules)
{
    m_rules.clear();
    for (sim::FailureRule& rule : rules) {
        m_rules.push_back({std::move(rule), 0});
    }
}

void FailureTracker::add(sim::FailureRule rule)
{
    m_rules.push_back({std::move(rule), 0});
}

void FailureTracker::observe(const sim::Call& call)
{
    for (Armed& armed : m_rules) {
        const sim::FailureRule& rule = armed.rule;
        // Only what the rule names must match; a call without the argument does not.
        if (rule.fn == call.fn && (!rule.schid || rule.schid == call.schid) &&
            (!rule.client || rule.client == call.client) && (!rule.channel || rule.channel == call.channel) &&
            (!rule.property || rule.property == call.property)) {
            ++armed.matched;
        }
    }
}

std::vector<sim::FailureRule> FailureTracker::remaining() const
{
    std::vector<sim::FailureRule> rules;
    for (const Armed& armed : m_rules) {
        sim::FailureRule rule = armed.rule;
        const std::uint64_t skipped = std::min<std::uint64_t>(armed.matched, rule.skip);
        const std::uint64_t failed = armed.matched - skipped;
        rule.skip -= static_cast<unsigned int>(skipped);
        if (rule.count) {
            if (failed >= *rule.count) {
                continue;
            }
            *rule.count -= static_cast<unsigned int>(failed);
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

nlohmann::ordered_json FailureTracker::view() const
{
    sim::Scenario scenario;
    for (const Armed& armed : m_rules) {
        scenario.failures.push_back(armed.rule);
    }
    nlohmann::ordered_json rules = sim::scenarioToJson(scenario)["failures"];
    for (std::size_t i = 0; i < m_rules.size(); ++i) {
        rules[i]["matched"] = m_rules[i].matched;
    }
    return rules;
}

}  // namespace console
