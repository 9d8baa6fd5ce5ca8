#pragma once
// What one copy of g19-bridge asks the copy that runs, over the channel of the one-copy guard
// (platform/local_channel.h): its state, to show that a second copy was started, to press a
// button for a key binding, and to save a report. A request is one line; the answer is lines
// of
//   say TEXT    a line for the user
//   pid N       the running copy's process ID
//   path PATH   the file a report went into
//   done N      the end, with the exit code for the asking copy

#include "bridge/session.h"
#include "bridge/status.h"
#include "platform/local_channel.h"
#include "report.h"

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

// The running copy's side.
struct ControlTarget {
    bridge::StatusModel& status;
    bridge::Session& session;
    // Shows the user a notification, or a line on the console.
    std::function<void(const std::string& text)> notify;
    // Saves a report into the file or folder asked for; empty: the Documents folder.
    std::function<SavedReport(const std::string& path)> saveReport;
};
platform::LocalChannelServer::Handler controlHandler(ControlTarget target);

// The longest delay a press for a key binding may ask for.
inline constexpr std::chrono::seconds MAX_PRESS_DELAY{60};

// The asking copy's side.
struct RunningCopy {
    unsigned long processId = 0;
    std::string stateLine;
};
// Asks the running copy who it is; with `notify`, it also shows the user that another copy
// was started. Nothing when no copy answers.
std::optional<RunningCopy> askRunningCopy(const std::string& place, bool notify);

// Asks the running copy to press `button` after `delay`, prints what happened and returns the
// exit code: 0 when the press went out, 1 when it did not or no copy runs.
int pressInRunningCopy(const std::string& place, const std::string& button, std::chrono::milliseconds delay,
                       std::ostream& out, std::ostream& err);

// Asks the running copy to save a report into `path` (a file or a folder, an absolute path;
// empty: the Documents folder), prints the report's path on `out` and returns the exit code:
// 0 when it was written, 1 when it was not or no copy runs.
int reportInRunningCopy(const std::string& place, const std::string& path, std::ostream& out,
                        std::ostream& err);
