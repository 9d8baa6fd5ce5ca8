#pragma once
// The one entry into the request protocol, and the command handlers behind it.
//
// Every function here runs on the listener thread, one request at a time, and reaches
// the voice client only through hostFunctions().

#include "protocol/packet.h"

#include <cstdint>

// Answers one request: the bytes of one receive. Always produces an answer, possibly empty.
Packet processRequest(const std::uint8_t* bytes, std::int32_t count);

// Each handler receives the working packet with the command byte already taken off and
// leaves its answer in it. `returnCode` is the code the host created for this request.
void handleServerNameQuery(Packet& packet);
void handleChannelList(Packet& packet);
void handleControlCommand(Packet& packet, const char* returnCode);
void handleClientList(Packet& packet);
