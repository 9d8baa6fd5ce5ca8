#include "sim/host_table.h"

#include "sim/sim_host.h"

#include <cstring>
#include <utility>

namespace sim {
namespace {

struct ApiTable {
    int api;
    std::size_t count;
};

// API 21 (client 3.1) kept the table of 20; 22 (3.1.1) added one slot, which 23 (3.3)
// kept; 24 (3.5) grew it to 226 and 26 (3.6) to 230.
constexpr ApiTable API_TABLES[] = {{20, 209}, {21, 209}, {22, 210}, {23, 210}, {24, 226}, {26, 230}};

static_assert(TS3_FUNCTION_COUNT == 209);
static_assert(sizeof(TS3Functions) == TS3_FUNCTION_COUNT * sizeof(HostSlot));

template <std::size_t SLOT>
void unimplementedSlot()
{
    // Whatever the caller passed is left where it put it: every calling convention the
    // client uses has the caller remove the arguments.
    recordUnimplementedCall(SLOT);
}

template <std::size_t... SLOTS>
constexpr std::array<HostSlot, sizeof...(SLOTS)> recorders(std::index_sequence<SLOTS...>)
{
    return {{&unimplementedSlot<SLOTS>...}};
}

constexpr std::array<HostSlot, MAX_HOST_FUNCTION_COUNT> RECORDERS =
    recorders(std::make_index_sequence<MAX_HOST_FUNCTION_COUNT>());

// A table of exactly COUNT slots, the argument type of a client of that size.
template <std::size_t COUNT>
struct Slots {
    HostSlot slot[COUNT];
};

template <std::size_t COUNT>
void handOverAt(PluginSetFunctionsExport setFunctionPointers, const HostTable& table)
{
    static_assert(sizeof(Slots<COUNT>) == COUNT * sizeof(HostSlot));
    Slots<COUNT> slots;
    std::memcpy(slots.slot, table.slots.data(), sizeof slots.slot);
    // The export is declared for 209 slots; a client of COUNT slots calls it through a
    // pointer of its own type. The bits are copied, as the warnings rightly question any
    // cast between unrelated function types.
    void (*call)(Slots<COUNT>) = nullptr;
    static_assert(sizeof call == sizeof setFunctionPointers);
    std::memcpy(&call, &setFunctionPointers, sizeof call);
    call(slots);
}

}  // namespace

std::size_t hostFunctionCount(int api)
{
    for (const ApiTable& known : API_TABLES) {
        if (known.api == api) {
            return known.count;
        }
    }
    return 0;
}

std::string playableApis()
{
    std::string list;
    for (const ApiTable& known : API_TABLES) {
        list += (list.empty() ? "" : ", ") + std::to_string(known.api);
    }
    return list;
}

TS3Functions unimplementedTable()
{
    TS3Functions table;
    std::memcpy(&table, RECORDERS.data(), sizeof table);
    return table;
}

HostTable hostTable(int api)
{
    HostTable table;
    table.count = hostFunctionCount(api);
    table.slots = RECORDERS;
    const TS3Functions implemented = functionTable();
    std::memcpy(table.slots.data(), &implemented, sizeof implemented);
    return table;
}

bool handOver(PluginSetFunctionsExport setFunctionPointers, const HostTable& table)
{
    switch (table.count) {
        case 209:
            handOverAt<209>(setFunctionPointers, table);
            return true;
        case 210:
            handOverAt<210>(setFunctionPointers, table);
            return true;
        case 226:
            handOverAt<226>(setFunctionPointers, table);
            return true;
        case 230:
            handOverAt<230>(setFunctionPointers, table);
            return true;
        default:
            return false;
    }
}

}  // namespace sim
