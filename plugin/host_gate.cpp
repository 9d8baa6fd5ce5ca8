#include "plugin/host_gate.h"

#include <atomic>
#include <type_traits>

namespace {

// A gated call that is refused returns what a failed call of its slot returns: an error
// code (the host's "undefined error"), or 0, "no server connection", from slot 183.
// createReturnCode writes nothing.
constexpr unsigned int REFUSED = 1;

// Whether calls go through to the host. A call that saw the gate open before it closed may
// still be on its way into the host, or inside it; every later one is refused. One load per
// call, which costs nothing on the request path.
std::atomic<bool> g_open{false};

// Written by openHostGate before the gate opens, and read only by calls that found it open.
TS3Functions g_host{};
// Read without looking at the gate, also by a thread that missed its stop.
std::atomic<unsigned int (*)(void*)> g_freeMemory{nullptr};

template <auto Slot>
struct Gated;

template <typename R, typename... Args, R (*TS3Functions::*Slot)(Args...)>
struct Gated<Slot> {
    static R call(Args... args)
    {
        if (g_open.load(std::memory_order_acquire)) {
            return (g_host.*Slot)(args...);
        }
        if constexpr (std::is_same_v<R, uint64>) {
            return 0;
        } else if constexpr (!std::is_void_v<R>) {
            return REFUSED;
        }
    }
};

unsigned int freeMemory(void* pointer)
{
    return g_freeMemory.load(std::memory_order_acquire)(pointer);
}

TS3Functions makeGatedTable()
{
    TS3Functions table{};
    table.freeMemory = freeMemory;
    table.stopConnection = Gated<&TS3Functions::stopConnection>::call;
    table.requestClientMove = Gated<&TS3Functions::requestClientMove>::call;
    table.requestClientKickFromChannel = Gated<&TS3Functions::requestClientKickFromChannel>::call;
    table.requestClientKickFromServer = Gated<&TS3Functions::requestClientKickFromServer>::call;
    table.getClientID = Gated<&TS3Functions::getClientID>::call;
    table.getClientSelfVariableAsInt = Gated<&TS3Functions::getClientSelfVariableAsInt>::call;
    table.setClientSelfVariableAsInt = Gated<&TS3Functions::setClientSelfVariableAsInt>::call;
    table.flushClientSelfUpdates = Gated<&TS3Functions::flushClientSelfUpdates>::call;
    table.getClientVariableAsInt = Gated<&TS3Functions::getClientVariableAsInt>::call;
    table.getClientVariableAsString = Gated<&TS3Functions::getClientVariableAsString>::call;
    table.getClientList = Gated<&TS3Functions::getClientList>::call;
    table.getChannelOfClient = Gated<&TS3Functions::getChannelOfClient>::call;
    table.getChannelVariableAsInt = Gated<&TS3Functions::getChannelVariableAsInt>::call;
    table.getChannelVariableAsString = Gated<&TS3Functions::getChannelVariableAsString>::call;
    table.getChannelList = Gated<&TS3Functions::getChannelList>::call;
    table.getParentChannelOfChannel = Gated<&TS3Functions::getParentChannelOfChannel>::call;
    table.getServerVariableAsString = Gated<&TS3Functions::getServerVariableAsString>::call;
    table.requestIsTalker = Gated<&TS3Functions::requestIsTalker>::call;
    table.banclient = Gated<&TS3Functions::banclient>::call;
    table.getCurrentServerConnectionHandlerID =
        Gated<&TS3Functions::getCurrentServerConnectionHandlerID>::call;
    table.createReturnCode = Gated<&TS3Functions::createReturnCode>::call;
    return table;
}

// Made when the library is loaded: a function-local static would cost a handle per load
// on Windows (plugin/exports.cpp).
const TS3Functions g_gated = makeGatedTable();

}  // namespace

const TS3Functions& openHostGate(const TS3Functions& host)
{
    g_host = host;
    g_freeMemory.store(host.freeMemory, std::memory_order_release);
    g_open.store(true, std::memory_order_release);
    return g_gated;
}

void closeHostGate()
{
    g_open.store(false, std::memory_order_seq_cst);
}
