#pragma once
// What g19-bridgew's window answers to, beside the system's own messages: its class, by which
// taskkill's WM_CLOSE, the end of the session and the Windows tests find it, and the commands
// of its tray menu, as WM_COMMAND carries them. No Windows header: the tests include it too.

inline constexpr wchar_t TRAY_WINDOW_CLASS[] = L"KestroG19BridgeWindow";

inline constexpr unsigned TRAY_COMMAND_STATE = 1000;  // the greyed state line
inline constexpr unsigned TRAY_COMMAND_AUTOSTART = 1001;
inline constexpr unsigned TRAY_COMMAND_SAVE_REPORT = 1002;
inline constexpr unsigned TRAY_COMMAND_OPEN_LOG = 1003;
inline constexpr unsigned TRAY_COMMAND_QUIT = 1004;
// A press for a key binding: this plus the button's index in bridge::BUTTONS.
inline constexpr unsigned TRAY_COMMAND_PRESS = 1100;
