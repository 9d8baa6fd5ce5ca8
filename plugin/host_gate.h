#pragma once
// The listener's way into the host's table. While the gate is open every call goes through
// to the host. Once it is closed, every slot but freeMemory fails at once, without
// touching its out-parameters, so that a listener thread that missed its stop gives back
// what the host handed it, calls nothing else of a host that may have unloaded the
// plug-in, and ends.

#include "host/ts3_functions.h"

// Opens the gate onto `host` and returns the table to hand the listener: its slots are
// this library's own functions, which forward through the gate. Only while no listener
// thread runs. Slots the plug-in never calls are null.
const TS3Functions& openHostGate(const TS3Functions& host);

// From its return on, no call but freeMemory enters the host; a call that entered before
// may still be running inside the host.
void closeHostGate();
