#pragma once
// The bridge as the voice client's host: a function table whose slots answer from the mirror
// of what the Remote Apps interface reported, so that the plug-in's own request path serves
// the display unchanged. It is one per process, like the real client's table.
//
// What the display asks to do goes out as presses of virtual buttons, which the user binds
// to the client's actions. Only the actions the plug-in would take become presses:
// - a toggle (04 02 to 04 04) reads the own state, stages the opposite and flushes it; the
//   flush presses the toggle's button once, and only when the own state is known;
// - a talk-power request (04 05) presses its button once per request, although the request
//   path calls requestIsTalker twice: the client's own hotkey asks or withdraws by itself;
// - a disconnect (04 01) presses its button for a known connection.
// Moving, kicking and banning cannot be done through Remote Apps: those calls fail, and the
// notice says so once per kind.
//
// Every slot and function here may be called from any thread; one lock guards the mirror.

#include "bridge/mirror.h"
#include "host/ts3_functions.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace bridge {

inline constexpr char BUTTON_DISCONNECT[] = "g19-disconnect";
inline constexpr char BUTTON_MICROPHONE[] = "g19-microphone";
inline constexpr char BUTTON_AWAY[] = "g19-away";
inline constexpr char BUTTON_SPEAKERS[] = "g19-speakers";
inline constexpr char BUTTON_TALK_POWER[] = "g19-talk-power";
inline constexpr std::array<const char*, 5> BUTTONS = {BUTTON_DISCONNECT, BUTTON_MICROPHONE, BUTTON_AWAY,
                                                       BUTTON_SPEAKERS, BUTTON_TALK_POWER};

// The voice client's action that the user is told to bind to `button`, in the words of its
// key-binding settings; null for a name that is not one of the bridge's buttons.
const char* actionOfButton(std::string_view button);
// "g19-microphone (toggle microphone mute)": the button with its action, for the user's lines.
std::string describeButton(const std::string& button);

// The codes a slot returns when the mirror does not hold what it is asked about: the voice
// client's own codes for an unknown client, channel and connection, an invalid parameter, and
// a function it does not offer.
inline constexpr unsigned int ERROR_UNKNOWN_CLIENT = 0x0200;
inline constexpr unsigned int ERROR_UNKNOWN_CHANNEL = 0x0300;
inline constexpr unsigned int ERROR_UNKNOWN_CONNECTION = 0x0400;
inline constexpr unsigned int ERROR_INVALID_PARAMETER = 0x0600;
inline constexpr unsigned int ERROR_NOT_POSSIBLE = 0x0002;

struct HostEvents {
    // One press and release of a button. Called without the host's lock held, on the
    // thread of the request; it must not block.
    std::function<void(const char* button)> press;
    // A line for the user: an action that cannot be done, said once per kind.
    std::function<void(const std::string& line)> notice;
};

// The table the request path receives. Every slot the plug-in calls points at the bridge;
// every other slot is null: the request path calls none of them.
TS3Functions functionTable();

// Sets where presses and notices go; empty functions drop them.
void setEvents(HostEvents events);

// Runs `change` on the mirror under the host's lock; it must not call into the host. Staged
// own values of connections that are gone are dropped.
void updateMirror(const std::function<void(Mirror&)>& change);

// Empties the mirror and the staged values; the events stay.
void resetHost();

struct HostMemoryCounts {
    std::size_t allocated = 0;  // blocks handed out
    std::size_t released = 0;   // blocks given back through freeMemory
};
HostMemoryCounts hostMemory();

}  // namespace bridge
