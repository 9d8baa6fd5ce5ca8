#include "server/listener.h"

#include "platform/library.h"
#include "protocol/request.h"
#include "server/http_guard.h"

#include <atomic>
#include <new>
#include <ostream>
#include <utility>

using platform::SocketError;
using platform::SocketHandle;

namespace {

// What every step of the listener thread works with.
struct Serving {
    const ServerSettings& settings;
    // Handed to every request; its pause waits on the run flag.
    const RequestContext& requests;
    platform::RunFlag& running;
    platform::Interrupter& interrupter;

    std::ostream& diagnostics() const { return requests.diagnostics; }
};

// Closes a socket of the listener on every way out, after taking it off the list that the
// stopping thread shuts down.
class OwnedSocket {
public:
    OwnedSocket(SocketHandle socket, platform::Interrupter& interrupter)
        : m_socket(socket), m_interrupter(interrupter)
    {
    }
    ~OwnedSocket()
    {
        m_interrupter.unwatch(m_socket);
        platform::closeSocket(m_socket);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;

private:
    SocketHandle m_socket;
    platform::Interrupter& m_interrupter;
};

// Answers every receive on one connection until a receive fails, the peer closes its
// side, or the plug-in stops.
void serveConnection(const Serving& serving, SocketHandle connection)
{
    const platform::Interrupter& interrupter = serving.interrupter;
    std::uint8_t buffer[RECV_BUFFER_SIZE];
    for (bool first = true;; first = false) {
        const platform::ReceiveResult received =
            platform::receive(connection, buffer, sizeof buffer, interrupter);
        if (received.error == SocketError::INTERRUPTED) {
            return;
        }
        // A receive of no bytes means the peer has closed its side; every later receive
        // would return at once, so it ends the connection as a failed receive does.
        if (received.error != SocketError::NONE || received.count == 0) {
            serving.running.sleepFor(serving.settings.failedReceiveDelay);
            platform::sendAll(connection, &RECV_ERROR_REPLY, sizeof RECV_ERROR_REPLY, interrupter);
            return;
        }

        // A browser page can reach this port too; its request body would be taken as commands
        // in a later receive. Such a connection is dropped before anything on it is acted on.
        if (first && looksLikeHttpRequest(buffer, received.count)) {
            return;
        }

        Packet answer;
        try {
            answer = processRequest(serving.requests, buffer, static_cast<std::int32_t>(received.count));
        } catch (const std::bad_alloc&) {
            // No answer can be built; the display program reconnects and asks again.
            platform::keepMappedAfterException();
            return;
        }
        // A failed send is not acted on here: the next receive on a broken connection fails.
        const SocketError sent = platform::sendAll(connection, answer.data(), answer.size(), interrupter);
        if (sent == SocketError::INTERRUPTED || !serving.running.isSet()) {
            return;
        }
    }
}

// The listening part of a server life; the socket library has been started.
void listenAndServe(const Serving& serving)
{
    const ServerSettings& settings = serving.settings;
    platform::Interrupter& interrupter = serving.interrupter;
    const SocketHandle listening = platform::openStreamSocket();
    if (listening == platform::INVALID_SOCKET_HANDLE) {
        serving.diagnostics() << "\nInvalid socket ERROR";
        return;
    }
    OwnedSocket listeningOwner(listening, interrupter);
    // A port taken by another program is not reported as a diagnostic; the next life tries
    // again.
    if (!platform::bindIPv4(listening, settings.address, settings.port)) {
        if (settings.onBindFailed) {
            settings.onBindFailed();
        }
        return;
    }
    if (!platform::listenOn(listening, LISTEN_BACKLOG)) {
        serving.diagnostics() << "\nListen ERROR";
        return;
    }
    if (!interrupter.watch(listening)) {
        return;
    }
    if (settings.onListening) {
        settings.onListening(platform::localPort(listening));
    }

    while (serving.running.sleepFor(settings.acceptDelay)) {
        const platform::AcceptResult accepted = platform::acceptConnection(listening, interrupter);
        if (accepted.error == SocketError::INTERRUPTED) {
            return;
        }
        // A failed accept yields no connection to serve: pause as before any accept, then
        // accept again.
        if (accepted.error != SocketError::NONE) {
            continue;
        }
        OwnedSocket connectionOwner(accepted.socket, interrupter);
        // A connection that arrives while the plug-in stops is closed without a receive.
        if (!serving.running.isSet() || !interrupter.watch(accepted.socket)) {
            return;
        }
        serveConnection(serving, accepted.socket);
    }
}

// One server life, from the socket library's start-up to its clean-up. Always 0.
int runServer(const Serving& serving)
{
    if (!serving.running.sleepFor(serving.settings.serverLifeDelay)) {
        return 0;
    }
    if (!platform::startSockets()) {
        serving.diagnostics() << "\nwsaret ERROR";
        return 0;
    }
    // Cleaned up on every way out of the life, after its sockets are closed.
    struct SocketLibrary {
        ~SocketLibrary() { platform::stopSockets(); }
    } socketLibrary;
    listenAndServe(serving);
    return 0;
}

}  // namespace

struct Listener::Run {
    ServerSettings settings;
    TS3Functions host;
    std::string version;
    std::ostream& diagnostics;
    platform::RunFlag running;
    platform::Interrupter interrupter;
    // Set by the thread as the last thing it does with the run.
    std::atomic<bool> ended{false};
    std::atomic<int> holders{2};

    Run(ServerSettings serverSettings, const TS3Functions& hostTable, std::string_view pluginVersion,
        std::ostream& diagnosticStream)
        : settings(std::move(serverSettings)),
          host(hostTable),
          version(pluginVersion),
          diagnostics(diagnosticStream)
    {
    }
};

namespace {

// The thread body: server lives one after another until `running` is cleared.
void listenerThread(Listener::Run& run)
{
    platform::RunFlag& running = run.running;
    const RequestContext requests{
        run.host, run.version, [&running](std::chrono::milliseconds duration) { running.sleepFor(duration); },
        run.diagnostics};
    const Serving serving{run.settings, requests, running, run.interrupter};

    running.sleepFor(run.settings.threadStartDelay);
    while (running.isSet()) {
        try {
            runServer(serving);
        } catch (...) {
            // Nothing may end the host's process from this thread. The sockets of the
            // failed life are closed; the next life starts after its pause.
            platform::keepMappedAfterException();
        }
    }
    run.diagnostics << "Runable= " << running.isSet() << " \n";
}

void letGo(Listener::Run* run)
{
    if (run != nullptr && run->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete run;
    }
}

// The thread's entry. A thread that missed its stop keeps its run alive until its end.
void runListenerThread(void* argument)
{
    Listener::Run* const run = static_cast<Listener::Run*>(argument);
    listenerThread(*run);
    run->ended.store(true, std::memory_order_release);
    letGo(run);
}

}  // namespace

Listener::~Listener()
{
    // A thread that missed its stop keeps its run alive by itself.
    stop();
    letGo(m_late);
}

bool Listener::start(ServerSettings settings, const TS3Functions& host, std::string_view version,
                     std::ostream& diagnostics)
{
    if (!stop() || lateThreadRunning()) {
        return false;
    }
    letGo(std::exchange(m_late, nullptr));
    auto run = std::make_unique<Run>(std::move(settings), host, version, diagnostics);
    run->running.set();
    if (!m_thread.start(runListenerThread, run.get())) {
        return false;
    }
    m_run = run.release();
    return true;
}

bool Listener::lateThreadRunning() const
{
    return m_late != nullptr && !m_late->ended.load(std::memory_order_acquire);
}

bool Listener::stop(std::chrono::milliseconds limit)
{
    if (m_run == nullptr) {
        return true;
    }
    m_run->running.clear();
    m_run->interrupter.interrupt();
    const bool ended = m_thread.joinWithin(limit);
    if (ended) {
        letGo(m_run);
    } else {
        m_late = m_run;
    }
    m_run = nullptr;
    return ended;
}
