#pragma once
// The display link: one listener thread that accepts one display connection at a time
// and answers every receive on it with processRequest's answer.

#include "host/ts3_functions.h"
#include "platform/run_flag.h"
#include "platform/socket.h"
#include "platform/thread.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

inline constexpr std::uint16_t LISTEN_PORT = 12132;
inline constexpr int LISTEN_BACKLOG = 10;
// What one receive returns, up to this many bytes, is one request.
inline constexpr std::size_t RECV_BUFFER_SIZE = 512;
// The whole answer to a receive that failed.
inline constexpr std::uint8_t RECV_ERROR_REPLY = 0x01;

inline constexpr std::uint32_t ANY_IPV4_ADDRESS = 0;

// Where the listener listens and how long it pauses. The plug-in always runs with these
// defaults; tests listen on an ephemeral loopback port with short pauses.
struct ServerSettings {
    std::uint32_t address = ANY_IPV4_ADDRESS;  // host byte order
    std::uint16_t port = LISTEN_PORT;          // 0: any free port, see onListening
    std::chrono::milliseconds threadStartDelay{1000};
    // At the start of each server life, so a failing start-up is retried about once a second.
    std::chrono::milliseconds serverLifeDelay{1000};
    // Before every accept: the display program reconnects at most about once a second.
    std::chrono::milliseconds acceptDelay{1000};
    std::chrono::milliseconds failedReceiveDelay{100};
    // Called on the listener thread with the bound port each time the socket starts listening.
    std::function<void(std::uint16_t port)> onListening;
    // Called on the listener thread each time the port cannot be bound, another program
    // holding it, say; the next server life tries again.
    std::function<void()> onBindFailed;
};

// How long stop() waits for the thread. Every wait of the thread ends at a stop within a
// fraction of a second; only a call into the host that does not return keeps it longer.
inline constexpr std::chrono::milliseconds STOP_LIMIT{1500};

// Owns the listener thread and the flag that keeps it running. start() and stop() run on
// the host's thread.
class Listener {
public:
    Listener() = default;
    // Stops as stop() does, and never waits longer.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Sets the run flag, then starts the thread, so that a stop right after start is never
    // lost. The thread serves every request with its own copy of `host` and with `version`
    // as the plug-in's version; its own diagnostics and the requests' go to `diagnostics`,
    // from the thread only (the stream must outlive the thread). False, with nothing running,
    // when the thread could not be started, or while a thread that missed its stop still
    // runs (see stop()).
    bool start(ServerSettings settings, const TS3Functions& host, std::string_view version,
               std::ostream& diagnostics);

    // Clears the flag, wakes the thread wherever it waits and waits for its end, at most
    // `limit`. True when it has ended, or none ran: no code of the listener runs any more,
    // so the library may be unloaded at once. False when the thread is still inside a call
    // that did not return, a host call: it is let go, to end by itself once the call
    // returns, with everything it uses; the caller must keep the library's code mapped and
    // the thread away from the host.
    bool stop(std::chrono::milliseconds limit = STOP_LIMIT);

    // Whether a thread that stop() let go is still running.
    bool lateThreadRunning() const;

    // What one thread uses.
    struct Run;

private:
    // Each held by this listener and by its thread; the last of the two to let go frees it.
    Run* m_run = nullptr;
    // The run of the last thread that stop() let go, watched until it has ended.
    Run* m_late = nullptr;
    platform::Thread m_thread;
};
