#include "bridge/feed.h"

#include "bridge/bridge_host.h"

namespace bridge {

namespace {

using nlohmann::json;

std::optional<std::string> frontName(const Mirror& mirror)
{
    const Connection* connection = mirror.find(mirror.front());
    if (connection == nullptr) {
        return std::nullopt;
    }
    return connection->serverName.value_or("");
}

}  // namespace

Feed::Answer Feed::answer(const json& message, bool awaited)
{
    const json* status = message.contains("status") ? &message["status"] : nullptr;
    if (status != nullptr && status->is_object() && status->contains("code") && (*status)["code"] != 0) {
        if (!awaited) {
            return {Answer::Kind::IGNORED, "an auth answer with an error that nothing asked for"};
        }
        const json reason = status->value("message", json());
        return {Answer::Kind::REFUSED, reason.is_string() ? reason.get<std::string>() : ""};
    }
    const json payload = message.value("payload", json::object());
    const json connections = payload.is_object() ? payload.value("connections", json()) : json();
    bool replaced = false;
    std::optional<std::string> front;
    updateMirror([&](Mirror& mirror) {
        replaced = mirror.replace(connections);
        front = frontName(mirror);
    });
    if (!replaced) {
        return {Answer::Kind::IGNORED, "an auth answer without a list of connections"};
    }
    if (!awaited) {
        showFront(front);
        return {Answer::Kind::SNAPSHOT, ""};
    }
    m_approved = true;
    // The server first: the approval's line names it, and no line of an empty client comes
    // before.
    m_frontShown = false;
    showFront(front);
    m_status.approved();
    return {Answer::Kind::APPROVED, ""};
}

std::string Feed::event(const json& message)
{
    if (!m_approved) {
        return "a message before approval";
    }
    std::string why;
    std::optional<std::string> front;
    updateMirror([&](Mirror& mirror) {
        why = mirror.apply(message);
        front = frontName(mirror);
    });
    showFront(front);
    return why;
}

std::string Feed::talk(const TalkStatus& talk)
{
    if (!m_approved) {
        return "a message before approval";
    }
    // A talk light changes neither the tab in front nor its server.
    std::string why;
    updateMirror([&](Mirror& mirror) { why = mirror.applyTalkStatus(talk); });
    return why;
}

void Feed::clear()
{
    updateMirror([](Mirror& mirror) { mirror.clear(); });
    m_approved = false;
    m_frontShown = false;
}

void Feed::showFront(const std::optional<std::string>& front)
{
    if (!m_frontShown || front != m_shownFront) {
        m_frontShown = true;
        m_shownFront = front;
        m_status.front(front);
    }
}

}  // namespace bridge
