#pragma once
// What changed between two client lists, as `watch` reports it.

#include "client/answers.h"
#include "tools/probe/render.h"

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

enum class EventKind {
    JOINED,
    LEFT,
    MOVED,
    STARTED_TALKING,
    STOPPED_TALKING,
    MUTED,
    UNMUTED,
    SPEAKERS_MUTED,
    SPEAKERS_UNMUTED,
    AWAY,
    BACK,
};

struct ClientEvent {
    EventKind kind = EventKind::JOINED;
    std::uint16_t client = 0;
    std::string nickname;           // as it is now, or as it was for a client that left
    std::uint64_t channel = 0;      // where the client is now, or was when it left
    std::uint64_t fromChannel = 0;  // MOVED only
};

// Clients are matched by ID. Departures come first, in the old list's order; then, in the new
// list's order, each arrival or each client's changes.
std::vector<ClientEvent> clientEvents(const display::ClientList& before, const display::ClientList& after);

const char* eventName(EventKind kind);  // "started-talking", for JSON
// "Bob (9) moved from Lobby to Games"
std::string describeEvent(const ClientEvent& event, const ChannelNames& names);
Colour eventColour(EventKind kind);

}  // namespace probe
