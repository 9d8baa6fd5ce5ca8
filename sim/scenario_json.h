#pragma once
// Scenarios of the simulated host as JSON: a model and its failure rules read from a file
// or a control line, and the call log written as one JSON object per call.
//
// Scenario format (every field but the IDs may be left out; numbers default to 0, texts to
// empty, "listed" to true):
//   {"current": 1,
//    "connections": [{"schid": 1, "server": {"name": "Demo"}, "self": 3,
//      "channels": [{"id": 1, "name": "Lobby", "parent": 0, "neededTalkPower": 0, "order": 0,
//                    "password": 0, "props": {"99": 5}}],
//      "clients": [{"id": 3, "nickname": "abc", "channel": 1, "talking": 1, "inputMuted": 0,
//                   "outputMuted": 0, "localMuted": 0, "recording": 0, "away": 0,
//                   "talkRequest": 0, "isTalker": 0, "channelCommander": 0, "listed": true,
//                   "props": {"99": 1}}]}],
//    "failures": [{"fn": "getClientVariableAsString", "schid": 1, "client": 7, "channel": 2,
//                  "property": 1, "code": 1, "skip": 0, "count": 1}],
//    "bindings": {"g19-microphone": "toggle-microphone"},
//    "remoteAppsKeys": ["0123abcd..."]}
// The named channel and client fields are int properties of the host; "props" sets any int
// property by its number and wins over a named field of the same number. Unknown keys are
// refused, so that a misspelt field does not silently become 0.

#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Scenario {
    Model model;  // with the key bindings, the scenario's top-level "bindings"
    std::vector<FailureRule> failures;
    // The Remote Apps keys that g19-hostsim knows once the scenario is loaded, replacing those
    // it knew; unset: it keeps them.
    std::optional<std::vector<std::string>> remoteAppsKeys;
};

// Reads a scenario. On failure returns nothing and sets `error` to where and why, e.g.
// "parse error at line 3, column 7: ..." for broken JSON or
// "at /connections/0/clients/1/id: expected an integer from 0 to 65535" for a bad value.
std::optional<Scenario> parseScenario(std::string_view text, std::string& error);

// The scenario in the format above, keys in the order shown; parseScenario reads it back
// unchanged.
nlohmann::ordered_json scenarioToJson(const Scenario& scenario);

// One line of g19-hostsim's call log: {"t_ms": ..., "fn": ..., arguments..., "ret": ...,
// "value": ...}, keys in that order. `tMs` is the caller's clock, not the call's.
nlohmann::ordered_json callToJson(const Call& call, double tMs);

// Compact text of a JSON value. Host strings are bytes in no promised encoding; invalid
// UTF-8 is replaced instead of failing the whole line.
std::string dumpJson(const nlohmann::ordered_json& value);

}  // namespace sim
