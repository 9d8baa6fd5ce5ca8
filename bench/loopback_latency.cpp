// Round trips over loopback on one connection: the real plug-in library, loaded into this
// process with the simulated host behind it, beside two floors that answer with the same
// bytes on the same kind of connection:
//   echo       a plain server thread: blocking receive, one send of the answer;
//   echo+host  the same, making first the host calls the command cannot avoid, in the
//              plug-in's order through the same simulated host.
// The plug-in's own cost is what it adds to echo+host; echo is the machine's bare floor.
//
//   g19-bench-latency [--requests N] [--clients N] [--cpus same|split|any]
//                     [--library PATH] [--json PATH]
//
// --cpus places the threads before any is started: same (the default) puts the client and
// every server on one CPU, split the client on one and every server on another, any leaves
// it to the scheduler. On a virtual machine a wake-up on another CPU costs far more than
// one on the same CPU, and the scheduler does not make that choice alike for two server
// threads, so a fair comparison fixes it.
//
// The library listens on port 12132, as in the voice client; nothing else may use the
// port while this runs. Blocks of the servers alternate, so that a change in the
// machine's load falls on all of them.

#include "bench_model.h"
#include "floor_calls.h"

#include "g19/version.h"
#include "protocol/request.h"
#include "protocol/wire.h"
#include "sim/plugin_loader.h"
#include "sim/sim_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t PLUGIN_PORT = 12132;
constexpr std::size_t RECEIVE_SIZE = 512;
// Round trips per block before the next server takes its turn.
constexpr std::size_t BLOCK = 250;
constexpr std::size_t WARMUP = 500;
constexpr auto PLUGIN_CONNECT_TIMEOUT = std::chrono::seconds(20);
constexpr auto PORT_FREE_TIMEOUT = std::chrono::seconds(60);

struct Options {
    std::size_t requests = 10000;
    std::size_t clients = 100;
    std::string cpus = "same";
    std::string library = G19_PLUGIN_LIBRARY;
    std::string json;
};

[[noreturn]] void fail(const std::string& message)
{
    std::cerr << "g19-bench-latency: " << message << '\n';
    std::exit(1);
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fail("missing value after " + arg);
            }
            return argv[++i];
        };
        if (arg == "--requests") {
            options.requests = std::stoul(value());
        } else if (arg == "--clients") {
            options.clients = std::stoul(value());
        } else if (arg == "--cpus") {
            options.cpus = value();
        } else if (arg == "--library") {
            options.library = value();
        } else if (arg == "--json") {
            options.json = value();
        } else {
            fail("unknown argument " + arg);
        }
    }
    if (options.requests == 0 || options.clients == 0 || options.clients > 65535) {
        fail("--requests must be positive, --clients 1 to 65535");
    }
    if (options.cpus != "same" && options.cpus != "split" && options.cpus != "any") {
        fail("--cpus takes same, split or any");
    }
    return options;
}

// --- Thread placement -----------------------------------------------------------------

// The CPUs this process may run on, in order.
std::vector<int> allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) {
        fail("sched_getaffinity: " + std::string(std::strerror(errno)));
    }
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            cpus.push_back(cpu);
        }
    }
    return cpus;
}

// Binds the calling thread; threads it starts afterwards inherit the binding.
void bindThisThread(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) {
        fail("sched_setaffinity: " + std::string(std::strerror(errno)));
    }
}

// --- Sockets --------------------------------------------------------------------------

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool sendAll(int socket, const std::uint8_t* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool receiveExactly(int socket, std::uint8_t* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t received = ::recv(socket, bytes, size, 0);
        if (received <= 0) {
            return false;
        }
        bytes += received;
        size -= static_cast<std::size_t>(received);
    }
    return true;
}

int connectTo(std::uint16_t port, Clock::duration timeout)
{
    const sockaddr_in address = loopback(port);
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        if (socket < 0) {
            fail("socket: " + std::string(std::strerror(errno)));
        }
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return socket;
        }
        ::close(socket);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// True once nothing else listens on `port`. The library binds it on every interface and
// retries quietly while it is taken, so without this check the figures could be taken of
// another program's server.
bool waitForFreePort(std::uint16_t port, Clock::duration timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        const int reuse = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address = loopback(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool free = ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(socket);
        if (free) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// What a floor server does for one command: the host calls to make (may be null) and the
// answer to send.
struct FloorAnswer {
    void (*hostCalls)(const TS3Functions&) = nullptr;
    Bytes answer;
};

// A thread that serves one connection with blocking receives and one send per answer,
// like the simplest server there is. No socket options on either side, as on the plug-in's.
class FloorServer {
public:
    FloorServer(std::map<std::uint8_t, FloorAnswer> answers, TS3Functions host)
        : m_answers(std::move(answers)), m_host(host)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopback(0);
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 1) != 0) {
            fail("floor server: " + std::string(std::strerror(errno)));
        }
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&bound), &length);
        m_port = ntohs(bound.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    // The client closes its connection first; the thread then sees the end and returns.
    ~FloorServer()
    {
        m_thread.join();
        ::close(m_listener);
    }

    std::uint16_t port() const { return m_port; }

private:
    void serve()
    {
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection < 0) {
            return;
        }
        std::uint8_t request[RECEIVE_SIZE];
        const Bytes unknown{COMMAND_UNKNOWN};
        for (;;) {
            const ssize_t received = ::recv(connection, request, sizeof request, 0);
            if (received <= 0) {
                break;
            }
            const auto it = m_answers.find(request[0]);
            if (it != m_answers.end() && it->second.hostCalls != nullptr) {
                it->second.hostCalls(m_host);
            }
            const Bytes& answer = it != m_answers.end() ? it->second.answer : unknown;
            if (!sendAll(connection, answer.data(), answer.size())) {
                break;
            }
        }
        ::close(connection);
    }

    std::map<std::uint8_t, FloorAnswer> m_answers;
    TS3Functions m_host;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

// --- Measurement ----------------------------------------------------------------------

// The three servers, in the order their blocks run.
enum Server { OURS, ECHO, ECHO_HOST, SERVER_COUNT };
const char* const SERVER_NAMES[SERVER_COUNT] = {"plug-in", "echo", "echo+host"};

struct Figure {
    std::string name;
    std::uint8_t command = 0;
    void (*hostCalls)(const TS3Functions&) = nullptr;
    Bytes answer;
    std::vector<double> roundTrips[SERVER_COUNT];  // microseconds
};

// Sends `command`, waits for the whole answer and checks it. Returns the round trip in µs.
double roundTrip(int server, int socket, std::uint8_t command, const Bytes& expected, Bytes& buffer)
{
    const Clock::time_point start = Clock::now();
    if (!sendAll(socket, &command, 1) || !receiveExactly(socket, buffer.data(), expected.size())) {
        fail(std::string("the connection to the ") + SERVER_NAMES[server] + " server ended during a request");
    }
    const Clock::time_point end = Clock::now();
    if (!std::equal(expected.begin(), expected.end(), buffer.begin())) {
        fail(std::string("an answer of the ") + SERVER_NAMES[server] +
             " server differs from the expected bytes");
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of the values at or below it.
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<std::size_t>(rank, 1) - 1];
}

double mean(const std::vector<double>& values)
{
    double sum = 0;
    for (const double value : values) {
        sum += value;
    }
    return sum / static_cast<double>(values.size());
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);

    const std::vector<int> cpus = allowedCpus();
    const int clientCpu = cpus.front();
    const int serverCpu = options.cpus == "split" && cpus.size() > 1 ? cpus[1] : clientCpu;
    if (options.cpus != "any") {
        bindThisThread(serverCpu);
    }

    sim::reset();
    sim::setLogging(false);
    sim::setModel(bench::serverModel(20, options.clients));
    const TS3Functions host = sim::functionTable();

    // The expected answers come from the same request code linked into this program, run
    // against the same host: every answer from every server is checked against them.
    std::ostringstream diagnostics;
    const RequestContext requests{host, G19_VERSION, [](std::chrono::milliseconds) {}, diagnostics};
    std::vector<Figure> figures(2);
    figures[0].name = "02 version and server name";
    figures[0].command = COMMAND_SERVER_NAME;
    figures[0].hostCalls = bench::serverNameCalls;
    figures[1].name = "05 client list, " + std::to_string(options.clients) + " clients";
    figures[1].command = COMMAND_CLIENT_LIST;
    figures[1].hostCalls = bench::clientListCalls;
    std::map<std::uint8_t, FloorAnswer> echoAnswers;
    std::map<std::uint8_t, FloorAnswer> hostAnswers;
    std::size_t largest = 0;
    for (Figure& figure : figures) {
        const Packet packet = processRequest(requests, &figure.command, 1);
        figure.answer.assign(packet.data(), packet.data() + packet.size());
        echoAnswers[figure.command] = FloorAnswer{nullptr, figure.answer};
        hostAnswers[figure.command] = FloorAnswer{figure.hostCalls, figure.answer};
        largest = std::max(largest, figure.answer.size());
    }

    if (!waitForFreePort(PLUGIN_PORT, PORT_FREE_TIMEOUT)) {
        fail("port 12132 is in use by another program");
    }
    // Every server thread starts here, so each inherits the server CPU.
    sim::PluginLoader library;
    std::string error;
    if (!library.load(options.library, error)) {
        fail(error);
    }
    const sim::PluginExports& plugin = library.exports();
    plugin.setFunctionPointers(host);
    if (plugin.init() != 0) {
        fail("ts3plugin_init failed");
    }
    auto echo = std::make_unique<FloorServer>(echoAnswers, host);
    auto echoHost = std::make_unique<FloorServer>(hostAnswers, host);
    if (options.cpus != "any") {
        bindThisThread(clientCpu);
    }

    int sockets[SERVER_COUNT];
    sockets[OURS] = connectTo(PLUGIN_PORT, PLUGIN_CONNECT_TIMEOUT);
    sockets[ECHO] = connectTo(echo->port(), std::chrono::seconds(5));
    sockets[ECHO_HOST] = connectTo(echoHost->port(), std::chrono::seconds(5));
    if (sockets[OURS] < 0) {
        fail("the plug-in does not listen on port 12132");
    }
    if (sockets[ECHO] < 0 || sockets[ECHO_HOST] < 0) {
        fail("cannot reach a floor server");
    }

    Bytes buffer(largest);
    // Warm-up: the plug-in's first request waits for its listener to accept; caches and
    // the host's allocator settle.
    for (std::size_t i = 0; i < std::min(WARMUP, options.requests); ++i) {
        for (const Figure& figure : figures) {
            for (int server = 0; server < SERVER_COUNT; ++server) {
                roundTrip(server, sockets[server], figure.command, figure.answer, buffer);
            }
        }
    }

    for (std::size_t done = 0; done < options.requests; done += BLOCK) {
        const std::size_t block = std::min(BLOCK, options.requests - done);
        for (Figure& figure : figures) {
            for (int server = 0; server < SERVER_COUNT; ++server) {
                for (std::size_t i = 0; i < block; ++i) {
                    figure.roundTrips[server].push_back(
                        roundTrip(server, sockets[server], figure.command, figure.answer, buffer));
                }
            }
        }
    }

    for (const int socket : sockets) {
        ::close(socket);
    }
    echo.reset();
    echoHost.reset();
    plugin.shutdown();
    std::cout.flush();

    std::printf("\nround trips on one connection, %zu per figure and server, cpus %s\n", options.requests,
                options.cpus.c_str());
    std::printf("%-30s %-10s %7s %9s %9s %9s\n", "figure", "server", "bytes", "p50 us", "p99 us", "req/s");
    std::ofstream json;
    if (!options.json.empty()) {
        json.open(options.json);
        json << "{\"requests\": " << options.requests << ", \"cpus\": \"" << options.cpus
             << "\", \"figures\": [";
    }
    for (std::size_t i = 0; i < figures.size(); ++i) {
        const Figure& figure = figures[i];
        if (json.is_open()) {
            json << (i > 0 ? ", " : "") << "{\"command\": " << int(figure.command) << ", \"name\": \""
                 << figure.name << "\", \"answer_bytes\": " << figure.answer.size();
        }
        for (int server = 0; server < SERVER_COUNT; ++server) {
            const std::vector<double>& values = figure.roundTrips[server];
            const double p50 = percentile(values, 0.50);
            const double p99 = percentile(values, 0.99);
            // Back to back on one connection, a request starts when the previous answer is in.
            const double rate = 1e6 / mean(values);
            std::printf("%-30s %-10s %7zu %9.1f %9.1f %9.0f\n", figure.name.c_str(), SERVER_NAMES[server],
                        figure.answer.size(), p50, p99, rate);
            if (json.is_open()) {
                json << ", \"" << SERVER_NAMES[server] << "\": {\"p50_us\": " << p50
                     << ", \"p99_us\": " << p99 << ", \"requests_per_s\": " << rate << "}";
            }
        }
        if (json.is_open()) {
            json << "}";
        }
    }
    if (json.is_open()) {
        json << "]}\n";
    }
    return 0;
}
