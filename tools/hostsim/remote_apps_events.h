#pragma once
// The simulated voice client as its Remote Apps interface shows it: the model turned into the
// `auth` answer's snapshot, and a change of the model turned into the events a connected
// program receives, in the shapes docs/remote-apps.md describes for the real client.
// No sockets here: remote_apps_server.cpp sends what these build.
//
// Every message is {"type": ..., "payload": {...}}. Channel IDs, parent IDs, a channel's
// order and a client's channel are decimal strings; client and connection IDs are numbers.
// Clients the model does not list (`listed` false) are left out everywhere, as a query
// client is left out of the real client's view.

#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace remote_apps {

using Message = nlohmann::ordered_json;

// {"id", "clientId", "status": 4, "properties", "channelInfos", "clientInfos"}: one server tab.
Message connectionInfo(const sim::Model& model, const sim::Connection& connection);

// The answer to an allowed `auth`: status 0 and every connection of the model.
Message authAnswer(const sim::Model& model, const std::string& apiKey);

// What a program hears when a tab connects: connectStatusChanged 1, 2 and 3, one clientMoved
// from channel "0" per listed client, `channels`, connectStatusChanged 4. The moves come
// before the channels, as the real client sends them.
std::vector<Message> connectSequence(const sim::Model& model, const sim::Connection& connection);

// The events that take a program from `before` to `after`, connection by connection:
// tabs that went, then for each tab of `after` either its connect sequence (a new tab, or
// one whose own client changed) or its changes: the server's name, new channels (parents
// first, each followed by its channelMoved, which carries the order), edited and moved
// channels, the clients (appeared, moved, talking, own flags, other properties, gone), and
// last the deleted channels (children first), once their clients have left them.
std::vector<Message> changeEvents(const sim::Model& before, const sim::Model& after);

}  // namespace remote_apps
