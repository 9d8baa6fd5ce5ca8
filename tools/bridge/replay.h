#pragma once
// g19-bridge --replay: a trace (a --log file, or the one in a report) played as the voice
// client's side. The recorded incoming messages go, in order and paced by their times, into
// the bridge's mirror and host exactly as the session feeds them (bridge/session.cpp), and
// the display is served on its port as by the bridge; no Remote Apps connection is made.
// With `answers`, the display's view after the last message is printed as g19-probe --json
// prints it, and the replay ends; otherwise it serves on until it is stopped.
//
// The trace's format is the one docs/bridge.md describes. A file whose format is unknown
// stops the replay; a line that is cut off, not JSON, or has keys no trace line has is
// skipped and counted.

#include <cstdint>
#include <string>

struct ReplayOptions {
    std::string file;
    double speed = 1.0;  // 2 plays twice as fast as recorded; 0 as fast as it goes
    bool answers = false;
    std::uint16_t displayPort = 0;
    std::uint32_t displayBind = 0;  // host byte order
    std::string displayBindText;    // as given, for the state line
};

// Returns the exit code: 0 played, 2 a file that cannot be read or is of an unknown format.
int runReplay(const ReplayOptions& options);
