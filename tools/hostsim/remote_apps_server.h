#pragma once
// g19-hostsim's second face (--remote-apps): the simulated voice client's Remote Apps
// interface, a WebSocket server on 127.0.0.1 that serves the simulated model to programs
// such as g19-bridge, as the voice client's 5 and 6 series serve theirs.
//
// A program sends `auth` first. A key this server handed out is answered at once; a
// non-empty key it does not know is closed without an answer, as the real client closes a
// stale one; an empty key is a request that waits for approval (after a delay, from the web
// console, or never with `deny`). Each approval hands out a new random key, known from then
// on until it is forgotten. An approved program gets the model's snapshot, then every change
// as events (remote_apps_events.h), and its button presses run the model's key bindings
// (sim::pressButton). Every `buttonPress` is answered, as the real client answers it: the
// same type and payload, `"returnCode": ""` and status 0, which says "accepted", not "bound".
//
// Like the client's key-binding dialog, the server can wait for a key (chooseBinding): the
// next key down of an approved program then binds its button to the action chosen, in
// addition to the action's other buttons, and does nothing else. The choice stays open until
// that press, another choice or a cancel; the bindings it makes stay in the model for the run
// (a scenario loaded later brings its own).
//
// It runs one thread for its sockets and one that waits for model changes; the model is read
// and changed only through the simulated host's functions. Every public function may be
// called from any thread.

#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint16_t DEFAULT_REMOTE_APPS_PORT = 5899;

struct RemoteAppsOptions {
    std::uint16_t port = DEFAULT_REMOTE_APPS_PORT;  // 0: any free port
    // Requests are approved this long after they arrive; unset, only from the web console.
    std::optional<std::chrono::milliseconds> approveAfter;
    bool deny = false;  // every request is refused: its socket is closed
};

class RemoteAppsServer {
public:
    explicit RemoteAppsServer(RemoteAppsOptions options);
    RemoteAppsServer(const RemoteAppsServer&) = delete;
    RemoteAppsServer& operator=(const RemoteAppsServer&) = delete;
    ~RemoteAppsServer();

    // Listens on 127.0.0.1. False, with `error` set, when it cannot.
    bool start(std::string& error);
    std::uint16_t port() const;
    // Closes every socket and joins the threads; a no-op when it is not running.
    void stop();

    // {"port", "approval", "pending": [{"request", "identifier", "name", "description",
    // "version"}], "knownKeys", "apps", "bindings": [{"action", "label", "buttons"}],
    // "choosing"}: what the web console shows. "bindings" lists every action, "choosing" is
    // the action waiting for a key, or null.
    nlohmann::ordered_json view() const;
    // Approves or refuses a waiting request; false when there is no such request (any more).
    bool decide(std::uint64_t request, bool approve);
    // Replaces the known keys (a scenario's remoteAppsKeys; none: the console's "Forget
    // keys"). A connected program whose key is no longer known is closed, as the real client
    // closes an app the user removes.
    void replaceKeys(std::vector<std::string> keys);
    std::vector<std::string> knownKeys() const;

    // The next key down of an approved program binds its button to `action`; a choice still
    // open is replaced.
    void chooseBinding(sim::UserAction action);
    // Closes the choice; the action that waited, if any.
    std::optional<sim::UserAction> cancelBinding();
    std::optional<sim::UserAction> choosing() const;

private:
    struct Impl;
    friend class AppSession;  // one program's socket, in the .cpp
    std::unique_ptr<Impl> m_impl;
};
