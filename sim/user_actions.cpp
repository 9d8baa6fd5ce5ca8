// The voice client's own actions bound to keys, as a Remote Apps button press triggers them.

#include "host/properties.h"
#include "sim/host_state.h"

#include <iterator>

namespace sim {
namespace {

struct NamedAction {
    UserAction action;
    const char* name;
};

constexpr NamedAction ACTION_NAMES[] = {
    {UserAction::TOGGLE_MICROPHONE, "toggle-microphone"},
    {UserAction::TOGGLE_SPEAKERS, "toggle-speakers"},
    {UserAction::TOGGLE_AWAY, "toggle-away"},
    {UserAction::REQUEST_TALK_POWER, "request-talk-power"},
    {UserAction::DISCONNECT, "disconnect"},
};

// As the plug-in toggles: 1 becomes 0, anything else 1.
void toggle(Client& self, std::size_t property)
{
    int& value = self.ints[property];
    value = value == 1 ? 0 : 1;
}

}  // namespace

const char* userActionName(UserAction action)
{
    for (const NamedAction& entry : ACTION_NAMES) {
        if (entry.action == action) {
            return entry.name;
        }
    }
    return "";
}

std::optional<UserAction> userActionNamed(std::string_view name)
{
    for (const NamedAction& entry : ACTION_NAMES) {
        if (name == entry.name) {
            return entry.action;
        }
    }
    return std::nullopt;
}

std::string userActionNames()
{
    std::string names;
    for (const UserAction action : USER_ACTIONS) {
        names += (names.empty() ? "" : ", ") + std::string(userActionName(action));
    }
    return names;
}

std::optional<UserAction> pressButton(const std::string& button)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.applyDueChanges();
    const auto bound = h.model.bindings.find(button);
    if (bound == h.model.bindings.end()) {
        return std::nullopt;
    }
    const UserAction action = bound->second;
    const uint64 schid = h.model.current;
    Connection* connection = nullptr;
    std::size_t position = 0;
    if (h.findConnection(schid, connection, &position) != 0) {
        return action;  // no tab in front: the client has nothing to act on
    }
    Client* self = nullptr;
    const bool knowsSelf = h.findSelf(schid, self) == 0;
    switch (action) {
    case UserAction::TOGGLE_MICROPHONE:
    case UserAction::TOGGLE_SPEAKERS:
    case UserAction::TOGGLE_AWAY:
        if (knowsSelf) {
            toggle(*self, action == UserAction::TOGGLE_MICROPHONE ? CLIENT_INPUT_MUTED
                          : action == UserAction::TOGGLE_SPEAKERS ? CLIENT_OUTPUT_MUTED
                                                                  : CLIENT_AWAY);
            h.touch();
        }
        break;
    case UserAction::REQUEST_TALK_POWER:
        // A pending request (any time but 0) is withdrawn, as the display's talk-power request does.
        if (knowsSelf) {
            const auto pending = self->ints.find(CLIENT_TALK_REQUEST);
            h.scheduleTalkRequest(*connection, pending == self->ints.end() || pending->second == 0);
        }
        break;
    case UserAction::DISCONNECT:
        h.removeConnection(position);
        break;
    }
    return action;
}

}  // namespace sim
