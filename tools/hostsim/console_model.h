#pragma once
// The simulated client's model as g19-hostsim's web console shows and edits it. The edits take
// the JSON bodies of the console's API, channels and clients in the scenario format
// (docs/scenarios.md), checked by the same reader as a scenario file. Each runs inside
// sim::updateModel, so that whatever the plug-in or the demo changed meanwhile stays; it
// either makes the whole change or none.

#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

namespace console {

using nlohmann::ordered_json;

// An HTTP status and what to answer: the entity as it now stands, or {"error": "..."}.
struct EditResult {
    int status = 200;
    ordered_json body;
};

// Fields "server" ({"name": ..., "roundTripMs": ...}) and "self", as a JSON merge patch.
EditResult patchConnection(sim::Model& model, uint64 schid, const ordered_json& patch);

// Without an "id", the lowest free one; without an "order", after the last of its siblings.
// The parent must be 0 or a channel of the connection.
EditResult addChannel(sim::Model& model, uint64 schid, const ordered_json& channel);
// A JSON merge patch of the channel's scenario form: a field set to null is no longer held.
// The ID stays; a new parent must exist and must not lie inside the channel.
EditResult patchChannel(sim::Model& model, uint64 schid, uint64 id, const ordered_json& patch);
// Removes the channel with its subchannels, as a server deletes a channel with force: the
// clients in them go to the default channel (the first left), and the sibling sorted after
// it takes its place in the order.
EditResult removeChannel(sim::Model& model, uint64 schid, uint64 id);

// Without an "id", the lowest free one; without a "channel", the default channel.
EditResult addClient(sim::Model& model, uint64 schid, const ordered_json& client);
// A JSON merge patch of the client's scenario form, as for a channel.
EditResult patchClient(sim::Model& model, uint64 schid, anyID id, const ordered_json& patch);
EditResult removeClient(sim::Model& model, uint64 schid, anyID id);

// The model as the page draws it: {"current": ..., "connections": [...]}, each connection as
// in a scenario but with its channels in the voice client's tree order, each with a "depth".
ordered_json modelView(const sim::Model& model);

}  // namespace console
