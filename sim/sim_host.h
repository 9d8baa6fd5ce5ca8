#pragma once
// A simulated voice client: an in-memory model of its server connections, channels and
// clients behind a complete host function table. It stands in for the real client in
// every test, in g19-hostsim, in the benchmarks and in the fuzzer.
//
// The simulated host is one per process, like the real one. Every function here and
// every slot of its table may be called from any thread; one mutex guards the model,
// the failure rules, the call log and the memory ledger.

#include "host/ts3_functions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sim {

// The codes a getter or an action returns when it does not find what it was asked about,
// one per kind, so that a test can tell which lookup failed. Failure rules return their own.
inline constexpr unsigned int ERROR_UNKNOWN_CLIENT = 0x0200;
inline constexpr unsigned int ERROR_UNKNOWN_CHANNEL = 0x0300;
inline constexpr unsigned int ERROR_UNKNOWN_CONNECTION = 0x0400;
// A null out-pointer or a string property the model does not hold (only the names are held).
inline constexpr unsigned int ERROR_INVALID_PARAMETER = 0x0600;

// Int properties by the host's property number (see host/properties.h).
using IntProperties = std::map<std::size_t, int>;

struct Channel {
    uint64 id = 0;
    std::string name;  // channel string property 0
    uint64 parent = 0;
    IntProperties ints;  // 28 needed talk power, 8 order, 12 password flag, any other
};

struct Client {
    anyID id = 0;
    std::string nickname;  // client string property 1
    uint64 channel = 0;
    IntProperties ints;  // 4 talking, 5 input muted, 6 output muted, 16, 17, 38, 43, 46, 57, any other
    bool listed = true;  // false: left out of getClientList, still answers queries
};

struct Connection {
    uint64 schid = 0;
    std::string serverName;         // server string property 1
    anyID self = 0;                 // the own client's ID; 0 = getClientID fails
    std::vector<Channel> channels;  // in list order; the first is the default channel
    std::vector<Client> clients;    // in list order
    // How long the server takes to answer a talk-power request or withdrawal, in
    // milliseconds; 0: it never answers one.
    std::uint32_t roundTripMs = 0;
};

// The actions of the voice client itself that a user can bind to a key; a Remote Apps
// button press triggers them (see pressButton).
enum class UserAction { TOGGLE_MICROPHONE, TOGGLE_SPEAKERS, TOGGLE_AWAY, REQUEST_TALK_POWER, DISCONNECT };
// Every action, in the order the scenario reference and the console list them.
inline constexpr UserAction USER_ACTIONS[] = {UserAction::TOGGLE_MICROPHONE, UserAction::TOGGLE_SPEAKERS,
                                              UserAction::TOGGLE_AWAY, UserAction::REQUEST_TALK_POWER,
                                              UserAction::DISCONNECT};

// How the actions change the model:
// - setClientSelfVariableAsInt stages the value; flushClientSelfUpdates applies what is
//   staged for that connection to its own client. Until the flush, the getters answer the
//   old value, as they would before the server confirms the change. setModel drops staged
//   values.
// - requestClientMove sets the client's channel; requestClientKickFromChannel moves the
//   client to the connection's first channel; requestClientKickFromServer and banclient
//   remove the client.
// - requestIsTalker changes nothing at once. On a connection with a round trip, the own
//   client's talk request (property 43) changes that long after the call, as the server's
//   answer arrives: to the time of the request in seconds since 1970, or to 0 for a
//   withdrawal. A change falls due at the next call into the host (or model(), or
//   waitForModelChange) after its time.
// - stopConnection removes the connection; Model::current stays as it was, so later calls
//   for it fail as they do for a tab that is no longer connected.
// A client, channel or connection ID that is not in the model makes the call fail with the
// code of its kind (above), and nothing changes. An int property that an entity does not
// hold reads as 0. Where the model holds an ID twice, the first entry answers.
struct Model {
    uint64 current = 0;  // the schid in front; 0 = none
    std::vector<Connection> connections;
    // The user's key bindings: a button name, as a Remote Apps program calls it, to an action.
    // Braced, so that aggregates that leave it out ({current, connections}) draw no warning.
    std::map<std::string, UserAction> bindings{};
};

// "toggle-microphone", "toggle-speakers", "toggle-away", "request-talk-power", "disconnect".
const char* userActionName(UserAction action);
std::optional<UserAction> userActionNamed(std::string_view name);
// Every name, for a message: "toggle-microphone, toggle-speakers, ..., disconnect".
std::string userActionNames();

// Makes a named host function return `code` instead of doing its work: nothing changes and
// no out-value is written. A call matches when its slot name is `fn` and it was made with
// every ID and property the rule names. Every matching call is counted by every rule it
// matches; the first rule that fails it gives the code. For the two slots without a result
// code, a failing getCurrentServerConnectionHandlerID returns 0 and a failing
// createReturnCode writes an empty string.
struct FailureRule {
    std::string fn;         // slot name, e.g. "getClientVariableAsString"
    unsigned int code = 1;  // non-zero
    std::optional<uint64> schid;
    std::optional<anyID> client;
    std::optional<uint64> channel;
    std::optional<std::size_t> property;
    unsigned int skip = 0;              // matching calls let through before the first failure
    std::optional<unsigned int> count;  // matching calls failed at most; unset = all of them
};

// An out-value or a recorded value: an int property, an ID, a string, or a list of IDs.
using Value = std::variant<std::int64_t, std::uint64_t, std::string, std::vector<std::uint64_t>>;

// One call of a host function by the plug-in, as it was made.
struct Call {
    double tMs = 0;  // milliseconds since the log was last cleared
    std::string fn;  // slot name
    std::optional<uint64> schid;
    std::optional<anyID> client;
    std::optional<uint64> channel;
    std::optional<std::size_t> property;
    std::optional<std::string> message;  // quit message, talk-request message
    std::optional<std::string> password;
    std::optional<std::string> reason;
    std::optional<uint64> seconds;  // ban duration
    std::optional<int> request;     // requestIsTalker's flag
    // For the functions that take a return code: the string passed, or null.
    bool takesReturnCode = false;
    std::optional<std::string> returnCode;
    std::optional<std::string> pluginID;  // createReturnCode
    std::optional<std::size_t> maxLen;    // createReturnCode: the size of the buffer passed
    // freeMemory: what was released, "string", "clientList", "channelList", "null" or "invalid".
    std::optional<std::string> released;
    unsigned int ret = 0;  // result code; 0 for the two slots without one
    // What the call produced when it succeeded (the out-value, the schid of slot 183, the
    // code createReturnCode wrote), or the value setClientSelfVariableAsInt sets.
    std::optional<Value> value;
};

struct MemoryReport {
    std::size_t allocated = 0;  // blocks handed out
    std::size_t released = 0;   // blocks given back through freeMemory
    std::size_t live = 0;       // handed out and not yet given back
    std::size_t invalid = 0;    // freeMemory of a pointer that was not live
};

// The table the plug-in receives: every slot the plug-in calls points at the simulated
// host, every other slot at a function that records its call as a fault (see
// unimplementedCalls; sim/host_table.h builds the larger tables of later clients). Its
// createReturnCode writes "g19sim-1", "g19sim-2", ..., cut to the buffer and always
// terminated.
TS3Functions functionTable();

// Records a call of table slot `slot`, one the simulated host does not implement: a call
// the plug-in must never make. It is logged as a call of "slot<N>" with no arguments, since
// what was passed is unknown.
void recordUnimplementedCall(std::size_t slot);
// How many such calls were made since the last reset().
std::size_t unimplementedCalls();

// Replaces the model. The failure rules, the log and the memory ledger stay.
// IDs are looked up through an index, so large models (thousands of clients) stay cheap.
void setModel(Model model);
Model model();  // a copy of the model as it stands now

// Changes the model in place, as other users on the server would: what the plug-in changed
// meanwhile stays, and so do the staged self values. `change` runs under the host's lock and
// must not call into the simulated host.
void updateModel(const std::function<void(Model&)>& change);

// setModel and setFailures in one step, so that no call sees the new model with the old rules.
void setModelAndFailures(Model model, std::vector<FailureRule> rules);

void setFailures(std::vector<FailureRule> rules);

// A count that grows with every change of the model: setModel, updateModel, reset, the
// actions of the plug-in and of pressButton, and a server's answer when it falls due.
std::uint64_t modelVersion();
// Returns as soon as modelVersion() differs from `seen`, or once `timeout` has passed, with
// the version then. Meanwhile it applies a server's answer when its time comes, so a waiter
// sees it without anyone else calling into the host.
std::uint64_t waitForModelChange(std::uint64_t seen, std::chrono::milliseconds timeout);

// The user presses a key: the action bound to `button` in Model::bindings runs on the
// connection in front, as the voice client runs it (not a call of the plug-in: it is not
// logged and no failure rule applies). The toggles flip the own client's flag at once;
// REQUEST_TALK_POWER asks for talk power, or withdraws a pending request, with the server's
// round trip as requestIsTalker does; DISCONNECT removes the connection as stopConnection
// does. Returns the action bound, nothing for an unbound button (which does nothing).
std::optional<UserAction> pressButton(const std::string& button);

// Holds every call of the slot named `fn` inside the host, before it does anything, until
// releaseHeldCalls(): a client whose call cannot return, because its main thread holds what
// the call needs while it stops the plug-in. Calls of other slots go on. reset() leaves
// the hold as it is.
void holdCalls(const std::string& fn);
void releaseHeldCalls();
// How many calls wait in the hold now.
std::size_t heldCalls();

// Empties the model, the rules, the call log and the memory ledger, and restarts the
// return-code numbering. Host memory still live is freed and counted as a leak no more;
// call it between independent runs. The logging switch and the observer stay as they are.
void reset();

// The call log. Logging is on by default; benchmarks turn it off, and then a call costs
// no allocation beyond the host memory it hands out and the ledger's entry for it.
void setLogging(bool enabled);
std::vector<Call> calls();
void clearCalls();
// Called with each call as it is logged, in call order (g19-hostsim streams its --log
// through this). It runs under the host's lock and must not call into the simulated
// host. An empty function removes the observer.
void setCallObserver(std::function<void(const Call&)> observer);

MemoryReport memory();

}  // namespace sim
