#pragma once
// The host calls each command cannot avoid, in the order the plug-in makes them, and
// nothing else: the floor that a request's cost is set beside. They go through whatever
// table they are given, so a floor and the plug-in reach the same host the same way.

#include "host/ts3_functions.h"

namespace bench {

void serverNameCalls(const TS3Functions& host);
void channelListCalls(const TS3Functions& host);
void clientListCalls(const TS3Functions& host);

}  // namespace bench
