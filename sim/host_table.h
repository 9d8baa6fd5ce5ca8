#pragma once
// The function tables that voice clients of the plug-in APIs from 20 on hand over.
//
// Later clients only grew the table: every slot this plug-in calls keeps its index and its
// signature, and new slots were added at the end. A client passes its whole table by value;
// a library declared against the 209 slots of API 20 reads only those, since the caller
// builds the copy (and, under 32-bit cdecl, removes it).

#include "host/ts3_functions.h"
#include "sim/plugin_loader.h"

#include <array>
#include <cstddef>
#include <string>

namespace sim {

// The largest table of an API this host can play (26).
inline constexpr std::size_t MAX_HOST_FUNCTION_COUNT = 230;

// The number of slots a client of plug-in API `api` hands over; 0 for an API this host
// cannot play.
std::size_t hostFunctionCount(int api);
// The APIs it can play, for messages: "20, 21, 22, 23, 24, 26".
std::string playableApis();

// A table of any of those sizes: the first `count` slots are handed over.
struct HostTable {
    std::size_t count = 0;
    std::array<HostSlot, MAX_HOST_FUNCTION_COUNT> slots{};
};

// The simulated host's table as a client of `api` hands it over: functionTable() in the
// first 209 slots and, in every slot past them, a function that records its call
// (recordUnimplementedCall). `api` must be one hostFunctionCount knows.
HostTable hostTable(int api);

// The 209 slots of API 20, each pointing at the recorder of its own index; functionTable()
// puts the implemented slots over it.
TS3Functions unimplementedTable();

// Calls the plug-in's ts3plugin_setFunctionPointers with `table` passed by value at the
// table's own size, as the client of that API does. False, without a call, for a size no
// client has.
bool handOver(PluginSetFunctionsExport setFunctionPointers, const HostTable& table);

}  // namespace sim
