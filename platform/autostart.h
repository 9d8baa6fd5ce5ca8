#pragma once
// Starting a program when the user logs in, written once for each system: a value under
// HKCU\Software\Microsoft\Windows\CurrentVersion\Run on Windows (autostart_win.cpp), an XDG
// autostart entry elsewhere (autostart_posix.cpp).

#include <optional>
#include <string>

namespace platform {

struct AutostartEntry {
    std::string name;     // the entry's own name: the Run value, the .desktop file's base name
    std::string title;    // what a desktop shows for it
    std::string program;  // the full path of the program it starts
};

// Where the entry called `name` is kept, for the user's messages: the registry value, or the
// .desktop file's path. Empty when the system names no such place.
std::string autostartPlace(const std::string& name);

// The program the entry called `name` starts; nothing when there is no such entry.
std::optional<std::string> autostartProgram(const std::string& name);

// Writes the entry, replacing one of the same name. False, with `error` set, when it cannot.
bool enableAutostart(const AutostartEntry& entry, std::string& error);

// Removes the entry; true also when there was none. False, with `error` set, when it cannot.
bool disableAutostart(const std::string& name, std::string& error);

// Whether two program paths name the same file, as the system compares paths.
bool samePath(const std::string& a, const std::string& b);

}  // namespace platform
