#pragma once
// The one entry into the request protocol, and the command handlers behind it.
//
// A request reaches the voice client only through what its context gives it: the host's
// table, the plug-in's version, a way to pause and a stream for diagnostics. The protocol
// keeps no state of its own between requests.

#include "host/ts3_functions.h"
#include "protocol/packet.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string_view>

struct RequestContext {
    // The plug-in's copy of the host's table; every host call of a request goes through it.
    const TS3Functions& host;
    // The plug-in's version, the text that command 2 answers first.
    std::string_view version;
    // Holds the request up for `duration`, or less when the plug-in stops meanwhile.
    std::function<void(std::chrono::milliseconds duration)> pause;
    // Where the client list writes its two error lines.
    std::ostream& diagnostics;
};

// Answers one request: the bytes of one receive. Always produces an answer, possibly
// empty. Runs on the listener thread, one request at a time; throws std::bad_alloc when
// the answer cannot be built, after giving back everything the host handed over.
Packet processRequest(const RequestContext& context, const std::uint8_t* bytes, std::int32_t count);

// Each handler receives the working packet with the command byte already taken off and
// leaves its answer in it. `returnCode` is the code the host created for this request.
void handleServerNameQuery(const RequestContext& context, Packet& packet);
void handleChannelList(const RequestContext& context, Packet& packet);
void handleControlCommand(const RequestContext& context, Packet& packet, const char* returnCode);
void handleClientList(const RequestContext& context, Packet& packet);
