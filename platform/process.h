#pragma once
// What the command-line tools need of their own process beyond the standard library, written
// once for POSIX (process_posix.cpp) and once for Windows (process_win.cpp).

#include <string>

namespace platform {

// The directory that holds the running program, with a separator at its end, so that a file
// name can be appended; empty when the system does not say.
std::string executableDirectory();

// The running process's ID.
unsigned long processId();

// The running program's full path, in UTF-8; empty when the system does not say.
std::string executablePath();

// The operating system's name and version, as a report names them ("Linux 6.1.0-18-amd64",
// "Windows 10.0.19045").
std::string systemDescription();

// The console shows the program's UTF-8 text as such: a Windows console is told so; a POSIX
// terminal already is.
void useUtf8Console();

// Standard output passes bytes on unchanged. Windows opens it in text mode, which writes
// every "\n" as "\r\n"; POSIX has nothing to change.
void useBinaryStandardOutput();

// Whether standard output is a terminal that shows ANSI colour sequences. A Windows console
// shows them only once asked to, which this does.
bool standardOutputIsColourTerminal();

}  // namespace platform
