// g19-bridge: gives the keyboard's display the voice client's newer series, which load no
// plug-ins. It talks to the client's Remote Apps interface as an app the user allows once,
// keeps a mirror of what the client reports, and serves the display link from it with the
// plug-in's own request path, so the display program sees what it would see from the plug-in.
//
// Its messages go to standard error; g19-bridgew, built without a console, writes them into
// a log file beside the key file instead.

#include "bridge/bridge_host.h"
#include "bridge/bridge_log.h"
#include "bridge/key_file.h"
#include "bridge/session.h"
#include "g19/version.h"
#include "platform/user_files.h"
#include "serve_loop.h"
#include "server/listener.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_CANNOT_SERVE = 1;  // the display port cannot be served
constexpr int EXIT_USAGE = 2;         // bad options, or a log that cannot be written

#ifdef G19_BRIDGE_WINDOWLESS
constexpr bool WINDOWLESS = true;
#else
constexpr bool WINDOWLESS = false;
#endif

struct Options {
    std::string remoteApps = bridge::DEFAULT_REMOTE_APPS_URL;
    std::string keyFile;
    std::uint16_t displayPort = LISTEN_PORT;
    std::string displayBind = "127.0.0.1";
    std::string logPath;
};

// A dotted IPv4 address in host byte order.
std::optional<std::uint32_t> parseIpv4(const std::string& text)
{
    std::uint32_t address = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos || end == start || end - start > 3) {
            return std::nullopt;
        }
        int value = 0;
        for (std::size_t i = start; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return std::nullopt;
            }
            value = value * 10 + (text[i] - '0');
        }
        if (value > 255) {
            return std::nullopt;
        }
        address = (address << 8) | static_cast<std::uint32_t>(value);
        start = end + 1;
    }
    return address;
}

// Discards the listener's diagnostic lines: the plug-in's own console output, which says
// nothing the bridge's messages do not.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

int run(const Options& options, const std::string& keyFile, bridge::BridgeLog& log)
{
    std::string error;
    const std::optional<bridge::RemoteAppsUrl> url = bridge::parseRemoteAppsUrl(options.remoteApps, error);
    if (!url) {
        log.info(error);
        return EXIT_USAGE;
    }
    const std::optional<std::uint32_t> bind = parseIpv4(options.displayBind);
    if (!bind) {
        log.info("--display-bind takes an IPv4 address, as 127.0.0.1; got " + options.displayBind);
        return EXIT_USAGE;
    }
    // Before any thread starts: they inherit the blocked stop signals.
    installStopHandlers();

    bridge::Session session({*url, keyFile, G19_VERSION}, log);
    bridge::setEvents({[&session](const char* button) { session.press(button); },
                       [&log](const std::string& line) { log.info(line); }});

    NullBuffer discard;
    std::ostream diagnostics(&discard);
    ServerSettings settings;
    settings.address = *bind;
    settings.port = options.displayPort;
    std::uint16_t shownPort = 0;
    settings.onListening = [&log, &options, &shownPort](std::uint16_t port) {
        if (port != shownPort) {
            shownPort = port;
            log.info("serving the display on " + options.displayBind + ":" + std::to_string(port));
        }
    };
    Listener listener;
    if (!listener.start(settings, bridge::functionTable(), G19_VERSION, diagnostics)) {
        log.info("cannot start serving the display");
        return EXIT_CANNOT_SERVE;
    }
    log.info("g19-bridge " + std::string(G19_VERSION) + ": connecting to the voice client at " + options.remoteApps +
             "; key file " + keyFile);
    session.start();

    serveUntilStopped({});

    log.info("stopping");
    session.stop();
    listener.stop();
    bridge::setEvents({});
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Serves the Kestro G19 display from the voice client's Remote Apps interface (the 5 and 6 "
        "series, which load no plug-ins), on the display's port 12132."};
    app.name("g19-bridge");
    Options options;
    app.add_option("--remote-apps", options.remoteApps, "The voice client's Remote Apps address")
        ->type_name("URL")
        ->capture_default_str();
    app.add_option("--key-file", options.keyFile,
                   "Where the key the client hands out is kept (default: " + bridge::defaultKeyFile() + ")")
        ->type_name("FILE");
    app.add_option("--display-port", options.displayPort,
                   "The port the display program connects to; another than 12132 only for tests, 0 for any free port")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--display-bind", options.displayBind,
                   "The address the display port listens on; 0.0.0.0 exposes it to the network")
        ->type_name("ADDRESS")
        ->capture_default_str();
    app.add_option("--log", options.logPath,
                   "Write every Remote Apps message in and out as one JSON line (keys redacted)")
        ->type_name("FILE");
    bool showVersion = false;
    app.add_flag("--version", showVersion, "Print the version, then exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? EXIT_OK : EXIT_USAGE;
    }
    if (showVersion) {
        std::cout << "g19-bridge " << G19_VERSION << "\n";
        return EXIT_OK;
    }

    const std::string keyFile = options.keyFile.empty() ? bridge::defaultKeyFile() : options.keyFile;
    if (keyFile.empty()) {
        std::cerr << "bridge: the system names no configuration folder for the key; give one with --key-file\n";
        return EXIT_USAGE;
    }
    bridge::BridgeLog log(WINDOWLESS ? nullptr : stderr);
    std::string logPath = options.logPath;
    if (WINDOWLESS && logPath.empty()) {
        // Beside the key file, in the user's configuration folder.
        logPath = keyFile.substr(0, keyFile.find_last_of("/\\") + 1) + "g19-bridge.log";
    }
    std::string error;
    if (!logPath.empty() && (!platform::makeFoldersFor(logPath, error) || !log.open(logPath, error))) {
        std::cerr << "bridge: " << error << "\n";
        return EXIT_USAGE;
    }
    return run(options, keyFile, log);
}
