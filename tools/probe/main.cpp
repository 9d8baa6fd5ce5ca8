// g19-probe: asks the plug-in what a keyboard display would ask, and shows the answers.

#include "client/answers.h"
#include "client/requests.h"
#include "g19/version.h"
#include "platform/client.h"
#include "platform/process.h"
#include "tools/probe/connection.h"
#include "tools/probe/events.h"
#include "tools/probe/render.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_NETWORK = 1;  // cannot connect, connection lost, or no answer in time
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_MALFORMED = 3;
// Internal only: the user stopped `watch`, which is how it is meant to end.
constexpr int STOPPED = -1;

constexpr std::chrono::seconds RETRY_INTERVAL{1};
constexpr std::size_t MAX_REQUEST_SIZE = 512;  // the plug-in takes one receive of this size as one request

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 12132;
    double timeoutSeconds = 5;
    double waitSeconds = 5;
    bool json = false;
    bool colour = false;

    std::chrono::milliseconds timeout() const
    {
        return std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds * 1000.0));
    }
};

int fail(int code, std::string message)
{
    for (char& c : message) {
        if (c == '\n') {
            c = ' ';
        }
    }
    std::cerr << "g19-probe: " << message << std::endl;
    return code;
}

int exitCodeOf(const probe::Exchange& exchange)
{
    switch (exchange.status) {
        case probe::ExchangeStatus::OK:
            return EXIT_OK;
        case probe::ExchangeStatus::INTERRUPTED:
            return STOPPED;
        case probe::ExchangeStatus::MALFORMED:
            return fail(EXIT_MALFORMED, exchange.error);
        case probe::ExchangeStatus::NETWORK:
            break;
    }
    return fail(EXIT_NETWORK, exchange.error);
}

// A refused connect means the plug-in is not listening yet (it opens its port 2 s after the
// voice client starts it), so it is tried again every second, as display programs are told to,
// until `--wait` has passed.
int connect(probe::Connection& connection, const Options& options)
{
    const probe::Clock::time_point giveUp =
        probe::Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(options.waitSeconds * 1000.0));
    for (;;) {
        const probe::Clock::time_point attempt = probe::Clock::now();
        probe::ReadStatus status = probe::ReadStatus::FAILED;
        bool refused = false;
        const std::string error =
            connection.open(options.host, options.port, attempt + options.timeout(), &status, &refused);
        if (error.empty()) {
            return EXIT_OK;
        }
        if (status == probe::ReadStatus::INTERRUPTED) {
            return STOPPED;
        }
        const probe::Clock::time_point next = attempt + RETRY_INTERVAL;
        if (!refused || next > giveUp) {
            return fail(EXIT_NETWORK, error);
        }
        if (platform::pauseUntil(next) == platform::WaitStatus::INTERRUPTED) {
            return STOPPED;
        }
    }
}

// Sends `request` and decodes its answer into `answer`.
template <typename Answer>
int ask(probe::Connection& connection, const Options& options, const display::Request& request,
        display::Decoded<Answer> (*decode)(const std::uint8_t*, std::size_t), Answer& answer)
{
    const probe::Exchange exchange = probe::exchange(connection, request.bytes, options.timeout());
    if (exchange.status != probe::ExchangeStatus::OK) {
        return exitCodeOf(exchange);
    }
    display::Decoded<Answer> decoded = decode(exchange.answer.data(), exchange.answer.size());
    if (!decoded.complete()) {
        return fail(EXIT_MALFORMED, display::describe(decoded.status, decoded.error));
    }
    answer = std::move(decoded.answer);
    return EXIT_OK;
}

// Channel names for a human reader. Without them the tables show channel IDs, so a failure
// is worth a warning, not the whole command.
probe::ChannelNames fetchNames(probe::Connection& connection, const Options& options)
{
    display::ChannelList channels;
    const probe::Exchange exchange =
        probe::exchange(connection, display::channelListRequest().bytes, options.timeout());
    if (exchange.status != probe::ExchangeStatus::OK) {
        if (exchange.status != probe::ExchangeStatus::INTERRUPTED) {
            fail(EXIT_OK, "channel names unavailable, showing IDs: " + exchange.error);
        }
        return {};
    }
    return probe::channelNames(
        display::decodeChannelList(exchange.answer.data(), exchange.answer.size()).answer);
}

// Asks one query on a fresh connection and prints its answer, as JSON or for a person.
template <typename Answer, typename Decode, typename Print>
int runQuery(const Options& options, const display::Request& request, Decode decode, Print print)
{
    probe::Connection connection;
    Answer answer;
    if (const int code = connect(connection, options); code != EXIT_OK) {
        return code;
    }
    if (const int code = ask(connection, options, request, decode, answer); code != EXIT_OK) {
        return code;
    }
    if (options.json) {
        std::cout << probe::dumpJson(probe::toJson(answer)) << '\n';
    } else {
        print(connection, answer);
    }
    return EXIT_OK;
}

int runServer(const Options& options)
{
    return runQuery<display::ServerInfo>(options, display::serverInfoRequest(), display::decodeServerInfo,
                                         [&](probe::Connection&, const display::ServerInfo& info) {
                                             probe::printServer(std::cout, info, options.colour);
                                         });
}

int runChannels(const Options& options)
{
    return runQuery<display::ChannelList>(options, display::channelListRequest(), display::decodeChannelList,
                                          [&](probe::Connection&, const display::ChannelList& list) {
                                              probe::printChannels(std::cout, list, options.colour);
                                          });
}

int runClients(const Options& options)
{
    // The table names each client's channel, which takes a channel list on the same connection.
    return runQuery<display::ClientList>(
        options, display::clientListRequest(), display::decodeClientList,
        [&](probe::Connection& connection, const display::ClientList& list) {
            probe::printClients(std::cout, list, fetchNames(connection, options), options.colour);
        });
}

std::string timestamp(bool utc)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    // The probe has one thread, so the library's shared result of gmtime and localtime is safe.
    char text[32];
    if (utc) {
        const std::tm parts = *std::gmtime(&seconds);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
        char withMs[48];
        std::snprintf(withMs, sizeof withMs, "%s.%03dZ", text, static_cast<int>(ms));
        return withMs;
    }
    const std::tm parts = *std::localtime(&seconds);
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return text;
}

void printEvent(const probe::ClientEvent& event, const probe::ChannelNames& names, const Options& options)
{
    if (options.json) {
        nlohmann::ordered_json line = {{"time", timestamp(true)},
                                       {"event", probe::eventName(event.kind)},
                                       {"clientId", event.client},
                                       {"nickname", event.nickname},
                                       {"channelId", event.channel}};
        if (event.kind == probe::EventKind::MOVED) {
            line["fromChannelId"] = event.fromChannel;
        }
        std::cout << probe::dumpJson(line) << '\n';
    } else {
        std::cout << probe::paint(timestamp(false), probe::Colour::DIM, options.colour) << "  "
                  << probe::paint(probe::describeEvent(event, names), probe::eventColour(event.kind),
                                  options.colour)
                  << '\n';
    }
}

bool namesCover(const std::vector<probe::ClientEvent>& events, const probe::ChannelNames& names)
{
    for (const probe::ClientEvent& event : events) {
        if (names.count(event.channel) == 0 ||
            (event.kind == probe::EventKind::MOVED && names.count(event.fromChannel) == 0)) {
            return false;
        }
    }
    return true;
}

int watchLoop(const Options& options, std::chrono::milliseconds interval)
{
    probe::Connection connection;
    if (const int code = connect(connection, options); code != EXIT_OK) {
        return code;
    }
    probe::ChannelNames names;
    if (!options.json) {
        names = fetchNames(connection, options);
    }
    display::ClientList current;
    if (const int code =
            ask(connection, options, display::clientListRequest(), display::decodeClientList, current);
        code != EXIT_OK) {
        return code;
    }
    if (!options.json) {
        std::cout << probe::paint("watching " + std::to_string(current.clients.size()) + " clients, every " +
                                      std::to_string(interval.count()) + " ms; Ctrl-C to stop",
                                  probe::Colour::DIM, options.colour)
                  << std::endl;
    }
    while (platform::pauseUntil(probe::Clock::now() + interval) == platform::WaitStatus::TIMEOUT) {
        display::ClientList next;
        if (const int code =
                ask(connection, options, display::clientListRequest(), display::decodeClientList, next);
            code != EXIT_OK) {
            return code;
        }
        const std::vector<probe::ClientEvent> events = probe::clientEvents(current, next);
        if (!options.json && !namesCover(events, names)) {
            if (probe::ChannelNames fresh = fetchNames(connection, options); !fresh.empty()) {
                names = std::move(fresh);
            }
        }
        for (const probe::ClientEvent& event : events) {
            printEvent(event, names, options);
        }
        std::cout.flush();
        current = std::move(next);
    }
    return STOPPED;
}

int runWatch(const Options& options, std::chrono::milliseconds interval)
{
    // Ctrl-C ends the wait in progress, so a stop request is seen at once and never missed.
    platform::catchStopRequests();
    const int code = watchLoop(options, interval);
    return code == STOPPED ? EXIT_OK : code;
}

int runAction(const Options& options, const std::string& name, const display::Request& request)
{
    if (!request.ok()) {
        return fail(EXIT_USAGE, request.error);
    }
    probe::Connection connection;
    if (const int code = connect(connection, options); code != EXIT_OK) {
        return code;
    }
    // A connect succeeds up to about a second before the plug-in accepts the connection, and
    // longer while it serves another display; an action sent meanwhile would wait unread, to
    // be carried out whenever that happens, and merge with anything sent after it. The answer
    // to a version request shows that the plug-in is reading this connection now.
    const probe::Exchange ready =
        probe::exchange(connection, display::serverInfoRequest().bytes, options.timeout());
    if (ready.status != probe::ExchangeStatus::OK) {
        probe::Exchange notSent = ready;
        notSent.error += "; " + name + " was not sent";
        return exitCodeOf(notSent);
    }
    probe::ReadStatus status = probe::ReadStatus::FAILED;
    if (const std::string error =
            connection.sendAll(request.bytes, probe::Clock::now() + options.timeout(), &status);
        !error.empty()) {
        return fail(EXIT_NETWORK, error);
    }
    // The plug-in never answers an action, nor says whether the voice client carried it out.
    if (options.json) {
        std::cout << probe::dumpJson({{"sent", name}, {"request", probe::hex(request.bytes)}}) << '\n';
    } else {
        std::cout << "sent " << name << " (" << probe::hex(request.bytes) << ")\n";
    }
    return EXIT_OK;
}

// Hex bytes in any grouping: "04 02", "0402", "04:02", "0x04".
std::optional<probe::Bytes> parseHex(const std::vector<std::string>& words, std::string& error)
{
    probe::Bytes bytes;
    for (std::string word : words) {
        if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) {
            word.erase(0, 2);
        }
        std::string digits;
        for (const char c : word) {
            if (c == ':' || c == '-' || c == ',') {
                continue;
            }
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                error = "'" + word + "' is not hex";
                return std::nullopt;
            }
            digits += c;
        }
        if (digits.size() % 2 != 0) {
            error = "'" + word + "' has an odd number of hex digits";
            return std::nullopt;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        }
    }
    if (bytes.empty()) {
        error = "raw needs at least one byte";
        return std::nullopt;
    }
    if (bytes.size() > MAX_REQUEST_SIZE) {
        error = "a request is at most " + std::to_string(MAX_REQUEST_SIZE) +
                " bytes (the plug-in reads "
                "no more at once), got " +
                std::to_string(bytes.size());
        return std::nullopt;
    }
    return bytes;
}

int runRaw(const Options& options, const std::vector<std::string>& words, std::chrono::milliseconds quiet)
{
    std::string error;
    const std::optional<probe::Bytes> request = parseHex(words, error);
    if (!request) {
        return fail(EXIT_USAGE, error);
    }
    probe::Connection connection;
    if (const int code = connect(connection, options); code != EXIT_OK) {
        return code;
    }
    const probe::Exchange exchange = probe::exchangeRaw(connection, *request, options.timeout(), quiet);
    if (exchange.status != probe::ExchangeStatus::OK) {
        return exitCodeOf(exchange);
    }
    if (options.json) {
        std::cout << probe::dumpJson(
                         {{"request", probe::hex(*request)}, {"answer", probe::hex(exchange.answer)}})
                  << '\n';
    } else if (exchange.answer.empty()) {
        std::cout << "(no answer)\n";
    } else {
        probe::printHexDump(std::cout, exchange.answer);
    }
    return EXIT_OK;
}

// A decimal ID or count from the command line, whole and without sign.
std::optional<std::uint64_t> parseNumber(const std::string& text, const char* what, std::string& error)
{
    std::uint64_t value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size()) {
        error = std::string(what) + " must be a whole number from 0 up, got '" + text + "'";
        if (status == std::errc::result_out_of_range) {
            error = std::string(what) + " " + text + " is far too large";
        }
        return std::nullopt;
    }
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    CLI::App app{"Asks the G19 display plug-in of the voice client what a keyboard display would ask.",
                 "g19-probe"};
    app.fallthrough();  // --json and the other common options may also follow the sub-command
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("g19-probe ") + G19_VERSION);
    app.add_option("--host", options.host, "Address of the voice client running the plug-in")
        ->capture_default_str();
    app.add_option("--port", options.port, "TCP port of the plug-in")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    app.add_option("--timeout", options.timeoutSeconds, "Seconds to wait for the connection and each answer")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 3600.0));
    app.add_option("--wait", options.waitSeconds,
                   "Seconds to keep trying, once a second, while the plug-in's port refuses connections")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_flag("--json", options.json, "Print the decoded answer as JSON");

    app.add_subcommand("server", "Plug-in version and server name");
    app.add_subcommand("channels", "The channel tree");
    app.add_subcommand("clients", "The clients in view and their state");
    int intervalMs = 1000;
    CLI::App* watch = app.add_subcommand("watch", "Poll the client list and print each change until Ctrl-C");
    watch->add_option("--interval", intervalMs, "Milliseconds between polls")
        ->capture_default_str()
        ->check(CLI::Range(10, 3600000));

    // Actions: the plug-in sends nothing back for them.
    struct Action {
        const char* name;
        const char* help;
        std::vector<const char*> arguments;
        std::function<display::Request(const std::vector<std::uint64_t>&)> build;
    };
    const std::vector<Action> actions = {
        {"disconnect",
         "Leave the current server",
         {},
         [](const auto&) { return display::disconnectRequest(); }},
        {"mute",
         "Toggle the microphone mute",
         {},
         [](const auto&) { return display::toggleMicrophoneRequest(); }},
        {"away", "Toggle the away state", {}, [](const auto&) { return display::toggleAwayRequest(); }},
        {"speakers",
         "Toggle the speaker mute",
         {},
         [](const auto&) { return display::toggleSpeakersRequest(); }},
        {"talk-request",
         "Request talk power, or withdraw a pending request",
         {},
         [](const auto&) { return display::talkPowerRequest(); }},
        {"move-self",
         "Move yourself to a channel",
         {"CHANNEL"},
         [](const auto& a) { return display::moveSelfRequest(a[0]); }},
        {"kick-channel",
         "Kick a client from its channel",
         {"CLIENT"},
         [](const auto& a) { return display::kickFromChannelRequest(a[0]); }},
        {"kick-server",
         "Kick a client from the server",
         {"CLIENT"},
         [](const auto& a) { return display::kickFromServerRequest(a[0]); }},
        {"ban",
         "Ban a client for a number of seconds",
         {"CLIENT", "SECONDS"},
         [](const auto& a) { return display::banRequest(a[0], a[1]); }},
        {"move",
         "Move a client to a channel",
         {"CLIENT", "CHANNEL"},
         [](const auto& a) { return display::moveClientRequest(a[0], a[1]); }},
    };
    std::vector<std::vector<std::string>> actionArguments(actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) {
        CLI::App* command = app.add_subcommand(actions[i].name, actions[i].help);
        actionArguments[i].resize(actions[i].arguments.size());
        for (std::size_t k = 0; k < actions[i].arguments.size(); ++k) {
            command->add_option(actions[i].arguments[k], actionArguments[i][k])->required();
        }
    }

    std::vector<std::string> hexWords;
    int quietMs = 500;
    CLI::App* raw = app.add_subcommand("raw", "Send bytes given in hex and print the answer in hex");
    raw->add_option("HEX", hexWords, "Request bytes, e.g. 05 or 04 0b 00 07 00 00 00 2a")->required();
    raw->add_option("--quiet", quietMs,
                    "Milliseconds without a byte that end the answer (at least 2500 before the first byte)")
        ->capture_default_str()
        ->check(CLI::Range(10, 60000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help
        }
        return fail(EXIT_USAGE, std::string(e.what()) + " (see --help)");
    }

    const char* noColour = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    options.colour = !options.json && noColour == nullptr && platform::standardOutputIsColourTerminal() &&
                     !(term != nullptr && std::string(term) == "dumb");

    const CLI::App* chosen = app.get_subcommands().front();
    const std::string name = chosen->get_name();
    if (name == "server") {
        return runServer(options);
    }
    if (name == "channels") {
        return runChannels(options);
    }
    if (name == "clients") {
        return runClients(options);
    }
    if (name == "watch") {
        return runWatch(options, std::chrono::milliseconds(intervalMs));
    }
    if (name == "raw") {
        return runRaw(options, hexWords, std::chrono::milliseconds(quietMs));
    }
    for (std::size_t i = 0; i < actions.size(); ++i) {
        if (name != actions[i].name) {
            continue;
        }
        std::vector<std::uint64_t> values;
        for (std::size_t k = 0; k < actions[i].arguments.size(); ++k) {
            std::string error;
            const std::optional<std::uint64_t> value =
                parseNumber(actionArguments[i][k], actions[i].arguments[k], error);
            if (!value) {
                return fail(EXIT_USAGE, error);
            }
            values.push_back(*value);
        }
        return runAction(options, name, actions[i].build(values));
    }
    return fail(EXIT_USAGE, "unknown sub-command " + name);
}
