#pragma once
// Waiting for the user to stop g19-hostsim, portably: SIGINT and SIGTERM on POSIX, Ctrl-C
// and Ctrl-Break on Windows, or the end of standard input when it carries control lines.

#include <functional>
#include <string>

enum class StopReason { SIGNAL, END_OF_INPUT };

struct ServeHooks {
    // Gets each line of standard input, without its line end, blank lines left out. Empty:
    // standard input is not read and only a signal stops serving.
    std::function<void(const std::string&)> onControlLine;
    // Runs about once a second on the serving thread.
    std::function<void()> onTick;
};

// Call before any other thread starts: on POSIX the stop signals are blocked here so that
// every thread started later (the plug-in's listener too) inherits the block and is never
// interrupted by them; only serveUntilStopped takes them.
void installStopHandlers();

// Returns once a stop signal arrives or, with a control-line hook, standard input ends.
// A second signal of the same kind after the first ends the program at once, for a
// shutdown that hangs.
StopReason serveUntilStopped(const ServeHooks& hooks);
