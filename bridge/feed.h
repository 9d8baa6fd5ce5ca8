#pragma once
// The voice client's messages, taken alike by a live session (bridge/session.h) and by the
// replay of a recorded one: an auth answer replaces the mirror whole, or refuses the bridge;
// every other message of an approved bridge changes the mirror. The status hears of each
// approval and of each change of the server in front.
//
// Used on one thread; the mirror itself is guarded by the host's lock (bridge_host.h).

#include "bridge/mirror.h"
#include "bridge/status.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace bridge {

class Feed {
public:
    explicit Feed(StatusModel& status) : m_status(status) {}

    struct Answer {
        enum class Kind {
            APPROVED,  // the answer that was awaited: the bridge is approved
            SNAPSHOT,  // an answer nobody waited for: a snapshot still, but no new approval
            REFUSED,   // a status code that is not 0; `text` is the client's reason
            IGNORED,   // not an answer the mirror can take; `text` says why
        };
        Kind kind;
        std::string text;
    };

    // An auth answer; `awaited` when the bridge's request is still unanswered.
    Answer answer(const nlohmann::json& message, bool awaited);

    // Any other message. "" when it changed the mirror, else why it did not.
    std::string event(const nlohmann::json& message);
    // A talkStatusChanged read without its message (bridge/talk_frame.h), as event() takes it.
    std::string talk(const TalkStatus& talk);

    // The connection ended: the mirror is empty and the bridge no longer approved.
    void clear();

    bool approved() const { return m_approved; }

private:
    // Tells the status of the server in front when it changed: a talk light does not take the
    // status's lock.
    void showFront(const std::optional<std::string>& front);

    StatusModel& m_status;
    bool m_approved = false;
    bool m_frontShown = false;
    std::optional<std::string> m_shownFront;
};

}  // namespace bridge
