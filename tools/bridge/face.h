#pragma once
// How g19-bridge shows itself to the player and how it is stopped. One source per build:
// - face_console.cpp, the console program (Linux, g19-bridge.exe): the state log on standard
//   error, stopped by Ctrl-C, Ctrl-Break, closing the console, SIGINT or SIGTERM;
// - face_tray_win.cpp, g19-bridgew.exe, which has no console: an icon in the notification
//   area that shows the state, with a menu, and a hidden window of its own that Windows and
//   taskkill stop it through (WM_CLOSE, the end of the session).
// Both are views of the same status model (bridge/status.h).

#include "bridge/bridge_log.h"
#include "bridge/status.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// How long a press for a key binding, asked for in the tray's menu, waits for the player to
// click into the voice client's key field.
inline constexpr std::chrono::seconds BINDING_PRESS_DELAY{5};

struct FaceActions {
    // Presses a button for a key binding, after the delay that lets the player click back
    // into the voice client's key field.
    std::function<void(const std::string& button)> pressForBinding;
    // The state log's file, which "Open log" opens; empty when the log is the console.
    std::string logFile;
    // Whether the tray's "Start with Windows" is ticked, and its switch; the switch says
    // what it did, or why it could not, as a line for the user.
    std::function<bool()> autostartEnabled;
    std::function<std::string(bool on)> setAutostart;
    // Saves a report for the player to send: the kept messages, the state log and the
    // system's facts, into the user's Documents folder. Returns the line that says where, or
    // why it could not. Empty: the build offers no reports.
    std::function<std::string()> saveReport;
    // Stops the bridge: its session, its channel and the display's listener; the same call
    // again does nothing. The face calls it itself where the program must have stopped
    // before it returns to the system: at the end of the Windows session.
    std::function<void()> stop;
};

class Face {
public:
    virtual ~Face() = default;
    // Runs on the main thread until the user or the system stops the program.
    virtual void run() = 0;
    // Tells the user `text`: a notification, or a state line on the console. Any thread.
    virtual void notify(const std::string& text) = 0;
};

// Whether this build writes its state log to a console; otherwise to a file beside the key.
bool faceHasConsole();

// Call before any other thread starts: the console's stop signals are set up here.
std::unique_ptr<Face> makeFace(bridge::StatusModel& status, bridge::BridgeLog& log, FaceActions actions);
