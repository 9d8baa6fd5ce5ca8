#include "bridge/status.h"

#include "bridge/session.h"

#include <utility>

namespace bridge {

namespace {

const std::string ALLOW_IT =
    std::string("open Settings \xE2\x86\x92 Remote Apps and allow \"") + APP_NAME + "\"";

Icon iconOf(State state)
{
    switch (state) {
        case State::CONNECTED:
            return Icon::CONNECTED;
        case State::WAITING:
            return Icon::WAITING;
        case State::REFUSED:
            return Icon::REFUSED;
        case State::PORT_HELD:
            return Icon::PORT_HELD;
        case State::CONNECTING:
        case State::UNREACHABLE:
            break;
    }
    return Icon::UNREACHABLE;
}

bool asksTheUser(State state)
{
    return state == State::WAITING || state == State::REFUSED || state == State::PORT_HELD;
}

}  // namespace

std::string tooltipOf(const Status& status)
{
    return std::string(PROGRAM_TITLE) + ": " + status.line;
}

StatusModel::StatusModel(std::string address, LineSink sink)
    : m_address(std::move(address)), m_sink(std::move(sink))
{
    m_status = compose();
}

void StatusModel::observe(Observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    observer(m_status, false);
    m_observers.push_back(std::move(observer));
}

Status StatusModel::current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

void StatusModel::unreachable(const std::string& detail)
{
    change([&] {
        // Attempts that keep failing after a connection ended still tell of the loss.
        const bool lost = m_remote.state == State::UNREACHABLE && m_remote.lost;
        m_remote = {State::UNREACHABLE, lost, detail};
    });
}

void StatusModel::lost(const std::string& detail)
{
    change([&] { m_remote = {State::UNREACHABLE, true, detail}; });
}

void StatusModel::waitingForApproval()
{
    change([&] { m_remote = {State::WAITING, false, ""}; });
}

void StatusModel::refused(const std::string& detail)
{
    change([&] { m_remote = {State::REFUSED, false, detail}; });
}

void StatusModel::approved()
{
    change([&] { m_remote = {State::CONNECTED, false, ""}; });
}

void StatusModel::front(std::optional<std::string> serverName)
{
    change([&] { m_server = std::move(serverName); });
}

void StatusModel::portHeld(std::uint16_t port)
{
    change([&] { m_heldPort = port; });
}

void StatusModel::portServed(const std::string& address, std::uint16_t port)
{
    change([&] {
        const std::string where = "serving the display on " + address + ":" + std::to_string(port);
        if (m_heldPort) {
            m_sink("port " + std::to_string(*m_heldPort) + " is free again: " + where);
        } else if (m_servedPort != port) {
            m_sink(where);
        }
        m_heldPort.reset();
        m_servedPort = port;
    });
}

void StatusModel::change(const std::function<void()>& update)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    update();
    Status next = compose();
    if (next.state == m_status.state && next.line == m_status.line) {
        return;
    }
    // A line is written when the state or the server in front changes, not when only the
    // technical detail of a failure does: a client that stays away writes one line.
    const bool stateChanged = next.state != m_status.state;
    const bool worthALine = stateChanged || next.serverName != m_status.serverName;
    next.changes = m_status.changes + 1;
    m_status = std::move(next);
    if (worthALine) {
        m_sink(m_status.line);
    }
    const bool notify = stateChanged && asksTheUser(m_status.state);
    for (const Observer& observer : m_observers) {
        observer(m_status, notify);
    }
}

Status StatusModel::compose() const
{
    Status status;
    status.state = m_heldPort ? State::PORT_HELD : m_remote.state;
    if (status.state == State::CONNECTED) {
        status.serverName = m_server;
    }
    status.icon = iconOf(status.state);
    if (m_heldPort) {
        status.line =
            "port " + std::to_string(*m_heldPort) +
            " is in use by another program, perhaps a 3.x client with the plug-in; the display cannot "
            "reach the bridge until it is free";
    } else {
        status.line = remoteLine();
    }
    return status;
}

std::string StatusModel::remoteLine() const
{
    const std::string detail = m_remote.detail.empty() ? "" : " (" + m_remote.detail + ")";
    switch (m_remote.state) {
        case State::CONNECTING:
            return "connecting to the voice client (" + m_address + ")";
        case State::UNREACHABLE:
            if (m_remote.lost) {
                return "lost the voice client: the display shows no server until it is back; start the "
                       "client again if "
                       "it was closed (" +
                       m_address + ": " + m_remote.detail + ")";
            }
            return "cannot reach the voice client: start it, and check that Settings \xE2\x86\x92 Remote "
                   "Apps is enabled (" +
                   m_address + ": " + m_remote.detail + ")";
        case State::WAITING:
            return "waiting for approval: in the voice client, " + ALLOW_IT;
        case State::REFUSED:
            return "the voice client refused the bridge: to allow it, " + ALLOW_IT + detail;
        case State::CONNECTED:
            if (m_server) {
                return m_server->empty() ? "connected to a server without a name"
                                         : "connected to " + *m_server;
            }
            return "connected to the voice client; no server is connected";
        case State::PORT_HELD:
            break;
    }
    return "";
}

}  // namespace bridge
