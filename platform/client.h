#pragma once
// The display's end of a TCP connection, for g19-probe: a connect and waits bounded by
// deadlines, and stop requests (Ctrl-C) that end a wait instead of the program. Written
// once for POSIX (client_posix.cpp) and once for Windows (client_win.cpp).

#include "platform/socket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using SteadyClock = std::chrono::steady_clock;

enum class WaitStatus { READY, TIMEOUT, INTERRUPTED, FAILED };

// From here on a stop request (SIGINT or SIGTERM; Ctrl-C or Ctrl-Break in a Windows
// console) no longer ends the program: it ends the wait in progress, or the next one, with
// INTERRUPTED, and stopRequested() turns true. A request can never fall between two waits.
void catchStopRequests();
bool stopRequested();

// Waits until `deadline`, or less when a caught stop request comes first (INTERRUPTED).
WaitStatus pauseUntil(SteadyClock::time_point deadline);

struct ClientConnection {
    SocketHandle socket = INVALID_SOCKET_HANDLE;  // non-blocking; close with closeSocket
    WaitStatus status = WaitStatus::FAILED;       // READY once connected
    std::string error;                            // why not, for a person
    // Nothing listens there (yet): the connect was refused or reset. Worth another try.
    bool refused = false;
};

// Resolves `host` and tries each of its addresses in turn until one takes the connection.
// All attempts share `deadline`.
ClientConnection connectTo(const std::string& host, std::uint16_t port, SteadyClock::time_point deadline);

WaitStatus waitUntilReadable(SocketHandle socket, SteadyClock::time_point deadline);
WaitStatus waitUntilWritable(SocketHandle socket, SteadyClock::time_point deadline);

enum class IoStatus { DONE, WOULD_BLOCK, CLOSED, FAILED };

struct IoResult {
    std::size_t count = 0;  // bytes moved, for DONE
    IoStatus status = IoStatus::FAILED;
    std::string error;  // for FAILED
};

// One send or receive on a non-blocking socket. A send never raises SIGPIPE; a peer that
// has gone away is a FAILED send. A receive of nothing from a closed peer is CLOSED.
IoResult sendSome(SocketHandle socket, const void* bytes, std::size_t size);
IoResult receiveSome(SocketHandle socket, void* buffer, std::size_t size);

// The last error of a socket call on this thread, for a person.
std::string lastSocketError();

}  // namespace platform
