#pragma once
// What the bridge tells its user: one state, the server in front, and a line that says in the
// player's words what is happening and what to do. The session and the display's listener
// report what happens; the program's faces show it: the console as dated lines, the tray on
// Windows as an icon, a tooltip and a notification when the user must act.
//
// A plain model, shared by every build: no thread of its own and no system call. Every
// function may be called from any thread. Observers and the line sink are called on the
// reporting thread, in the order of the changes, with the model's lock held: they must not
// call into the model, and must not block (a view posts the change to its own thread).

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bridge {

enum class State {
    CONNECTING,   // started; no attempt has ended yet
    UNREACHABLE,  // the voice client cannot be reached, or went away
    WAITING,      // the voice client asks the user to allow the bridge
    REFUSED,      // the voice client refused the bridge
    CONNECTED,    // approved; a server name when a server tab is in front
    PORT_HELD,    // another program holds the display's port
};

// The tray's pictures, one per state a player must tell apart at 16x16 pixels; a bridge that
// is still connecting shows the picture of an unreachable client.
enum class Icon { CONNECTED, WAITING, REFUSED, UNREACHABLE, PORT_HELD };

// The program's name as the tray's tooltip and notifications show it.
inline constexpr char PROGRAM_TITLE[] = "Kestro G19 bridge";

struct Status {
    State state = State::CONNECTING;
    std::optional<std::string> serverName;  // the server in front, while connected
    std::string line;                       // what the user reads, as the log and tooltip say it
    Icon icon = Icon::UNREACHABLE;
    std::uint64_t changes = 0;  // counts the changes of state or line
};

// The tooltip: the program's name and the state line.
std::string tooltipOf(const Status& status);

class StatusModel {
public:
    // `notify` is true when the change asks the user to act: a notification is shown for it.
    using Observer = std::function<void(const Status& status, bool notify)>;
    // Receives each state line worth a line in the log: a change of state or of the server.
    using LineSink = std::function<void(const std::string& line)>;

    StatusModel(std::string address, LineSink sink);
    StatusModel(const StatusModel&) = delete;
    StatusModel& operator=(const StatusModel&) = delete;

    // Adds an observer; it is called at once with the status of now.
    void observe(Observer observer);
    Status current() const;

    // What the session reports. `detail` is the technical reason ("connection refused"), shown
    // in brackets after the words for the user.
    void unreachable(const std::string& detail);
    void lost(const std::string& detail);
    void waitingForApproval();
    void refused(const std::string& detail);
    void approved();
    // The server in front changed; nothing while no tab is in front.
    void front(std::optional<std::string> serverName);

    // What the display's listener reports.
    void portHeld(std::uint16_t port);
    void portServed(const std::string& address, std::uint16_t port);

private:
    struct Remote {
        State state = State::CONNECTING;
        bool lost = false;  // unreachable since a connection ended, rather than never reached
        std::string detail;
    };
    void change(const std::function<void()>& update);
    Status compose() const;
    // The line shown for the state the session reported.
    std::string remoteLine() const;

    mutable std::mutex m_mutex;
    const std::string m_address;
    const LineSink m_sink;
    std::vector<Observer> m_observers;
    Remote m_remote;
    std::optional<std::string> m_server;
    std::optional<std::uint16_t> m_heldPort;
    std::optional<std::uint16_t> m_servedPort;
    Status m_status;
};

}  // namespace bridge
