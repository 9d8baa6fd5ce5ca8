#pragma once
// The bridge's side of the voice client's Remote Apps interface: one WebSocket connection,
// asked for approval with the stored key, its snapshot and events fed into the bridge's
// host (bridge/bridge_host.h), and the display's actions sent as button presses. When the
// connection closes or cannot be made, the host forgets everything, so the display sees a
// client with no server, and the session tries again after 1 s, then 2, 4 and 8, then every
// 10 s, back to 1 s once approved; after a refusal it asks again every 30 s.
//
// The key: a close before the answer to the stored key may be the client quitting, so the
// same key is tried once more; it is forgotten, and approval asked anew, only when that try
// closes too, or when an answer refuses it.

#include "bridge/bridge_log.h"
#include "bridge/status.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bridge {

// The interface's default address.
inline constexpr char DEFAULT_REMOTE_APPS_URL[] = "ws://127.0.0.1:5899";

// How the bridge names itself in the client's list of apps.
inline constexpr char APP_IDENTIFIER[] = "kestro.g19.bridge";
inline constexpr char APP_NAME[] = "Kestro G19 Display";
inline constexpr char APP_DESCRIPTION[] =
    "Shows your voice server on the Logitech G19 keyboard's display and lets the display mute, "
    "set away and request talk power.";

// A frame larger than this is not a message of the interface: the socket is closed.
inline constexpr std::size_t MAX_FRAME_BYTES = 4 * 1024 * 1024;

struct RemoteAppsUrl {
    std::string host;
    std::string port;
    std::string target;  // the path, "/" when none is given
};

// Reads "ws://HOST[:PORT][/PATH]"; the port defaults to 80 as for any WebSocket URL. Nothing,
// with `error` set, for anything else.
std::optional<RemoteAppsUrl> parseRemoteAppsUrl(std::string_view url, std::string& error);

struct SessionSettings {
    RemoteAppsUrl url;
    std::string keyFile;
    std::string version;  // the bridge's version, shown to the user with its name
};

// What became of a press asked for on demand.
enum class PressOutcome {
    ACCEPTED,      // the voice client's reply said so
    REJECTED,      // its reply carried an error, in `message`
    NO_REPLY,      // the press went out; no reply came (older clients send none)
    NOT_APPROVED,  // nothing went out: the bridge is not approved by the voice client
    STOPPED,       // the bridge stopped first
};
struct PressResult {
    PressOutcome outcome;
    std::string message;
};

// How long a press waits for the client's reply before it counts as unanswered.
inline constexpr std::chrono::seconds PRESS_REPLY_TIME{3};

class Session {
public:
    // `log` and `status` outlive the session.
    Session(SessionSettings settings, BridgeLog& log, StatusModel& status);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the session's thread, which connects at once.
    void start();
    // Closes the connection and ends the thread; returns within a second.
    void stop();

    // Sends one press and one release of `button`, after whatever was sent before. Dropped
    // while the bridge is not approved. Any thread; never blocks.
    void press(const char* button);

    // Presses and releases `button` once after `delay`, for a player binding it, and calls
    // `done` on the session's thread with what came of it. Any thread; never blocks.
    void pressAfter(std::string button, std::chrono::milliseconds delay, std::function<void(const PressResult&)> done);

    // The number of approvals so far, for tests that wait for one.
    unsigned approvals() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace bridge
