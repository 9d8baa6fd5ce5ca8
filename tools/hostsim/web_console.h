#pragma once
// g19-hostsim's web console: a page at http://127.0.0.1:PORT/ that shows the simulated client
// live (the channel tree, each client's flags, what the display did) and changes it, and the
// JSON API behind the page, which docs/console.md describes for scripts.
//
// It listens on the loopback interface only and answers 403 to a request whose Host header is
// not a loopback name, or that would change something and comes from another origin (see
// request_guard.h). Its HTTP server runs threads of its own; every model access goes through
// the simulated host's functions, which lock.

#include "sim/scenario_json.h"
#include "sim/sim_host.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint16_t DEFAULT_CONSOLE_PORT = 8019;

// The approval of Remote Apps programs (g19-hostsim --remote-apps), for the console's section
// on it; empty functions: the simulator serves no Remote Apps, and the section stays hidden.
struct RemoteAppsHooks {
    // {"port", "approval", "pending": [...], "knownKeys", "apps", "bindings", "choosing"}
    // (remote_apps_server.h).
    std::function<nlohmann::ordered_json()> view;
    // Approves or refuses a waiting request; false when there is no such request.
    std::function<bool(std::uint64_t request, bool approve)> decide;
    // Replaces the known keys: none for "Forget keys", or a loaded scenario's remoteAppsKeys.
    std::function<void(std::vector<std::string> keys)> replaceKeys;
    // "choose" beside an action: the next key down of an approved program binds its button.
    std::function<void(sim::UserAction action)> chooseBinding;
    // Closes the choice; the action that waited, if any.
    std::function<std::optional<sim::UserAction>()> cancelBinding;
};

// What the console cannot do by itself.
struct ConsoleHooks {
    // Called before a scenario from the page replaces the model: the demo stops changing it.
    std::function<void()> stopDemo;
    // Serves the demo server again, with its animation, and no failure rules.
    std::function<void()> loadDemo;
    // Called before the page sets a client's talking flag: the demo leaves it as set.
    std::function<void(uint64 schid, anyID client)> settingTalking;
    RemoteAppsHooks remoteApps;
};

class WebConsole {
public:
    explicit WebConsole(ConsoleHooks hooks);
    WebConsole(const WebConsole&) = delete;
    WebConsole& operator=(const WebConsole&) = delete;
    ~WebConsole();

    // Listens on 127.0.0.1:`port`, 0 for any free port. False, with `error` set, when it cannot.
    bool start(std::uint16_t port, std::string& error);
    std::uint16_t port() const;
    // Ends every connection and joins the console's threads; a no-op when it is not running.
    void stop();

    // Each host call, from the one call observer: under the host's lock, so it only copies
    // what it needs and never calls into the simulated host.
    void onCall(const sim::Call& call);
    // The failure rules in force were set elsewhere: by the scenario at the start or a control line.
    void rulesReplaced(std::vector<sim::FailureRule> rules);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
