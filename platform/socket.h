#pragma once
// The few socket operations the display link needs, written once for POSIX
// (socket_posix.cpp) and once for Winsock (socket_win.cpp). Callers see no platform
// difference: every call takes and returns the types below.

#include "platform/thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// A socket of either platform. A Winsock SOCKET is an unsigned pointer-sized value whose
// invalid value is all ones, so -1 marks an invalid socket on both.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// The platform's error numbers, folded into what the listener needs to tell apart.
enum class SocketError {
    NONE,
    INTERRUPTED,      // the stopping thread ended the call (see Interrupter)
    CONNECTION_LOST,  // the peer reset or abandoned the connection
    FAILED,           // anything else
};

// Lets the stopping thread end the listener's blocking socket calls. The listener
// registers each socket it is about to block on; after interrupt() every blocking call
// on a registered socket returns INTERRUPTED at once or within a fraction of a second,
// and every later one as well.
//
// On POSIX the calls block in the kernel and interrupt() shuts the registered sockets
// down, which wakes them at no cost to the request path. Winsock gives no such promise
// for a socket another thread is blocked on, so there the sockets are non-blocking and
// every wait is a readiness wait in short slices that looks at the flag between slices.
class Interrupter {
public:
    // Registers `socket`. False when interrupt() has already run: the caller must not
    // block on the socket then. A socket must be registered only after it is listening
    // or connected, since shutting down anything else wakes nothing.
    bool watch(SocketHandle socket);
    // Must come before the socket is closed, so that interrupt() never touches a socket
    // number the system has already handed out again.
    void unwatch(SocketHandle socket);

    void interrupt();
    bool interrupted() const { return m_interrupted.load(std::memory_order_acquire); }

private:
    Mutex m_mutex;
    std::vector<SocketHandle> m_watched;
    std::atomic<bool> m_interrupted{false};
};

// Start and stop of the socket library, one pair per server life (Winsock 1.1). POSIX has
// nothing to start.
bool startSockets();
void stopSockets();

// An IPv4 stream socket. On POSIX it is created close-on-exec, so that a program the host
// starts does not inherit the listening port.
SocketHandle openStreamSocket();
// `address` and `port` in host byte order; address 0 is every IPv4 interface. On POSIX the
// socket may take over an address still in TIME_WAIT, so a restart can bind at once.
bool bindIPv4(SocketHandle socket, std::uint32_t address, std::uint16_t port);
bool listenOn(SocketHandle socket, int backlog);
// The port the socket is bound to, 0 when unknown.
std::uint16_t localPort(SocketHandle socket);
void closeSocket(SocketHandle socket);

struct AcceptResult {
    SocketHandle socket = INVALID_SOCKET_HANDLE;
    SocketError error = SocketError::NONE;
};
// Waits for the next connection on a listening socket. The peer's address is not kept.
AcceptResult acceptConnection(SocketHandle listener, const Interrupter& interrupter);

struct ReceiveResult {
    std::size_t count = 0;  // 0 with NONE: the peer has closed its side
    SocketError error = SocketError::NONE;
};
// Waits for data and returns what one receive yields, at most `size` bytes.
ReceiveResult receive(SocketHandle socket, void* buffer, std::size_t size, const Interrupter& interrupter);

// Sends all `size` bytes, however many sends that takes, without raising SIGPIPE. Stops
// early on an error or when interrupted.
SocketError sendAll(SocketHandle socket, const void* bytes, std::size_t size, const Interrupter& interrupter);

}  // namespace platform
