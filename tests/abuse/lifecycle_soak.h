#pragma once
// Many lives of the plug-in library in one process, each the voice client's whole sequence:
// load, identity, table, init, one request of each command, shutdown, unload.

#include "process_probe.h"

#include <chrono>
#include <cstddef>
#include <string>

struct SoakFigures {
    int cycles = 0;
    int peerAtShutdown = 0;  // cycles whose peer was still connected when shutdown came
    std::size_t requests = 0;
    std::chrono::microseconds longestShutdown{0};
    std::size_t residentAfterWarmUpKiB = 0;
    std::size_t residentAtEndKiB = 0;
};

// How the cycles find the listener: the test build of the library tells its ephemeral port;
// the real library listens on 12132 after its own pauses.
enum class Listening { TEST_PORT, DISPLAY_PORT };

// Runs `cycles` cycles of the library at `path`, with the peer connected at shutdown in every
// other cycle. Reports failures through GoogleTest and stops at the first fatal one. Resident
// memory is sampled after `warmUp` cycles and at the end.
SoakFigures runSoak(const std::string& path, Listening listening, int cycles, int warmUp);
