#pragma once
// A display program's side of the link for the tests: one TCP connection to 127.0.0.1,
// on POSIX and on Winsock.

#include "support/wire.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

class Peer {
public:
    // Connects to 127.0.0.1:port, trying again until something listens or `timeout` has
    // passed; check connected(). A non-zero `receiveBuffer` shrinks the peer's receive
    // buffer first, so that a peer that does not read fills up quickly.
    explicit Peer(std::uint16_t port, std::chrono::milliseconds timeout = 5s, int receiveBuffer = 0);
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer();

    bool connected() const;

    bool send(const Bytes& bytes);

    // Reads until `count` bytes have arrived, the plug-in closes, or `timeout` passes.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout = 5s);

    struct ToEnd {
        Bytes bytes;
        bool closed = false;  // the plug-in closed the connection within the time
    };
    // Reads everything until the plug-in closes the connection or `timeout` passes.
    ToEnd readToEnd(std::chrono::milliseconds timeout = 5s);

    // Whether anything (a byte or the close) arrives within `timeout`; consumes nothing.
    bool readable(std::chrono::milliseconds timeout);

    // Closes the sending side only: the plug-in's next receive returns no bytes.
    void closeSending();
    // Closes with a reset instead of an orderly close: the plug-in's receive fails.
    void reset();
    void close();

private:
    std::intptr_t m_socket = -1;
};

// Open descriptors (POSIX) or handles (Windows) of this process; nothing where the system
// does not tell (Wine answers every process's handle count with 0).
std::optional<std::size_t> openHandleCount();
