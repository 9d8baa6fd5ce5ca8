#pragma once
// What the command-line tools need of their own process beyond the standard library, written
// once for POSIX (process_posix.cpp) and once for Windows (process_win.cpp).

#include <string>

namespace platform {

// The directory that holds the running program, with a separator at its end, so that a file
// name can be appended; empty when the system does not say.
std::string executableDirectory();

// Standard output passes bytes on unchanged. Windows opens it in text mode, which writes
// every "\n" as "\r\n"; POSIX has nothing to change.
void useBinaryStandardOutput();

// Whether standard output is a terminal that shows ANSI colour sequences. A Windows console
// shows them only once asked to, which this does.
bool standardOutputIsColourTerminal();

}  // namespace platform
