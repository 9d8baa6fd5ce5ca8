// g19-bridge: gives the keyboard's display the voice client's newer series, which load no
// plug-ins. It talks to the client's Remote Apps interface as an app the user allows once,
// keeps a mirror of what the client reports, and serves the display link from it with the
// plug-in's own request path, so the display program sees what it would see from the plug-in.
//
// One copy runs per user. Its state log goes to standard error; g19-bridgew, built without a
// console, writes it into a file beside the key file and shows its state in the tray.

#include "bridge/bridge_host.h"
#include "bridge/bridge_log.h"
#include "bridge/key_file.h"
#include "bridge/session.h"
#include "bridge/status.h"
#include "control.h"
#include "face.h"
#include "g19/version.h"
#include "platform/autostart.h"
#include "platform/local_channel.h"
#include "platform/process.h"
#include "platform/user_files.h"
#include "replay.h"
#include "report.h"
#include "server/listener.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;           // the display port cannot be served; a press or a switch failed
constexpr int EXIT_USAGE = 2;            // bad options, or a log that cannot be written
constexpr int EXIT_ALREADY_RUNNING = 3;  // another copy runs for this user

// The names of the one-copy guard and of the autostart entry.
constexpr char CHANNEL_FOLDER[] = "kestro-g19";
constexpr char AUTOSTART_NAME[] = "g19-bridge";

struct Options {
    std::string remoteApps = bridge::DEFAULT_REMOTE_APPS_URL;
    std::string keyFile;
    std::uint16_t displayPort = LISTEN_PORT;
    std::string displayBind = "127.0.0.1";
    std::string logPath;
    std::uint64_t logLimit = bridge::LOG_LIMIT_BYTES;
    std::string press;
    double pressDelay = 5.0;
    std::string autostart;
    bool report = false;
    std::string reportPath;
    std::string replay;
    double replaySpeed = 1.0;
    bool replayAnswers = false;
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

std::string folderOf(const std::string& file)
{
    const std::size_t separator = file.find_last_of("/\\");
    return separator == std::string::npos ? std::string(".") : file.substr(0, separator);
}

// The one-copy guard's place. A bridge with a key file of its own (a test's, say) is a copy of
// its own: it may run beside the player's.
std::string channelPlace(const std::string& keyFile)
{
    std::string name = "kestro-g19-bridge";
    if (keyFile != bridge::defaultKeyFile()) {
        // FNV-1a: a short name that the key file's path always gives.
        std::uint32_t hash = 2166136261u;
        for (const char c : keyFile) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%08x", hash);
        name += suffix;
    }
    return platform::localChannelPlace(name, CHANNEL_FOLDER, folderOf(keyFile));
}

// The program the session's start runs: on Windows the windowless g19-bridgew.exe beside this
// one, whichever of the two sets it; elsewhere this program.
std::string autostartProgram()
{
    return platform::executableDirectory() + G19_AUTOSTART_PROGRAM;
}

bool autostartPointsHere()
{
    const std::optional<std::string> program = platform::autostartProgram(AUTOSTART_NAME);
    return program && platform::samePath(*program, autostartProgram());
}

// Turns the start with the user's session on or off, and says what it did, or why not.
std::string switchAutostart(bool on, bool& ok)
{
    std::string error;
    const std::string place = platform::autostartPlace(AUTOSTART_NAME);
    if (on) {
        ok = platform::enableAutostart({AUTOSTART_NAME, bridge::PROGRAM_TITLE, autostartProgram()}, error);
        return ok ? "the bridge now starts when you log in: " + autostartProgram() + " (" + place + ")"
                  : "cannot make the bridge start when you log in (" + error + ")";
    }
    ok = platform::disableAutostart(AUTOSTART_NAME, error);
    return ok ? "the bridge no longer starts when you log in (" + place + " removed)"
              : "cannot stop the bridge starting when you log in (" + error + ")";
}

// The copy that runs: one per user.
class Bridge {
public:
    Bridge(const Options& options, const bridge::RemoteAppsUrl& url, std::uint32_t bind,
           const std::string& keyFile, bridge::BridgeLog& log)
        : m_options(options),
          m_bind(bind),
          m_log(log),
          m_keyFile(keyFile),
          m_status(options.remoteApps, [&log](const std::string& line) { log.state(line); }),
          m_session({url, keyFile, G19_VERSION}, log, m_status)
    {
    }

    int run(const std::string& place)
    {
        FaceActions actions;
        actions.pressForBinding = [this](const std::string& button) {
            m_session.pressAfter(button, BINDING_PRESS_DELAY, [](const bridge::PressResult&) {});
        };
        actions.logFile = m_log.stateFile();
        actions.autostartEnabled = &autostartPointsHere;
        actions.setAutostart = [this](bool on) {
            bool ok = false;
            std::string line = switchAutostart(on, ok);
            ok ? m_log.state(line) : m_log.warning(line);
            return line;
        };
        actions.saveReport = [this] { return saveReport("").line; };
        actions.stop = [this] { stop(); };
        // Before any thread starts: the console's stop signals are blocked for every thread
        // started after.
        m_face = makeFace(m_status, m_log, actions);

        bridge::setEvents({[this](const char* button) { m_session.press(button); },
                           [this](const std::string& line) { m_log.warning(line); }});
        if (!startListener()) {
            m_log.error("cannot start serving the display");
            bridge::setEvents({});
            return EXIT_FAILED;
        }
        m_log.state("g19-bridge " + std::string(G19_VERSION) +
                    " started: connecting to the voice client at " + m_options.remoteApps);
        m_session.start();
        std::string error;
        if (!place.empty() &&
            !m_channel.start(place,
                             controlHandler({m_status, m_session,
                                             [this](const std::string& text) { m_face->notify(text); },
                                             [this](const std::string& path) { return saveReport(path); }}),
                             error)) {
            m_log.warning("g19-bridge --press and --report cannot reach this copy (" + error + ")");
        }
        m_face->run();
        stop();
        return EXIT_OK;
    }

    void stop()
    {
        if (m_stopped) {
            return;
        }
        m_stopped = true;
        m_log.state("stopping");
        // The session first: it answers the presses that the channel waits for.
        m_session.stop();
        m_channel.stop();
        m_listener.stop();
        bridge::setEvents({});
        m_log.state("stopped");
    }

private:
    // A report of now, into `path` (a file or a folder; empty: the Documents folder).
    SavedReport saveReport(const std::string& path)
    {
        const ReportFacts facts{G19_VERSION, platform::systemDescription(), m_status.current().line,
                                m_keyFile};
        SavedReport saved = ::saveReport(m_log, facts, reportPath(path, m_log, m_keyFile));
        saved.ok ? m_log.state(saved.line) : m_log.warning(saved.line);
        return saved;
    }

    bool startListener()
    {
        ServerSettings settings;
        settings.address = m_bind;
        settings.port = m_options.displayPort;
        settings.onListening = [this](std::uint16_t port) {
            m_status.portServed(m_options.displayBind, port);
        };
        settings.onBindFailed = [this] { m_status.portHeld(m_options.displayPort); };
        return m_listener.start(settings, bridge::functionTable(), G19_VERSION, m_diagnostics);
    }

    // The listener's own lines (the plug-in's console diagnostics) go to the trace.
    class DiagnosticsBuffer : public std::stringbuf {
    public:
        explicit DiagnosticsBuffer(bridge::BridgeLog& log) : m_log(log) {}

    protected:
        int sync() override
        {
            flushLines(false);
            return 0;
        }
        int_type overflow(int_type c) override
        {
            const int_type result = std::stringbuf::overflow(c);
            if (traits_type::to_char_type(c) == '\n') {
                flushLines(false);
            }
            return result;
        }

    private:
        // The plug-in's diagnostics begin with a line end rather than end with one: each line
        // is written once the next one starts.
        void flushLines(bool all)
        {
            std::string text = str();
            std::size_t start = 0;
            for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
                if (end > start) {
                    m_log.debug("display link: " + text.substr(start, end - start));
                }
            }
            if (all && start < text.size()) {
                m_log.debug("display link: " + text.substr(start));
                start = text.size();
            }
            str(text.substr(start));
        }
        bridge::BridgeLog& m_log;
    };

    const Options& m_options;
    const std::uint32_t m_bind;
    bridge::BridgeLog& m_log;
    const std::string m_keyFile;
    bridge::StatusModel m_status;
    bridge::Session m_session;
    DiagnosticsBuffer m_diagnosticsBuffer{m_log};
    std::ostream m_diagnostics{&m_diagnosticsBuffer};
    Listener m_listener;
    platform::LocalChannelServer m_channel;
    std::unique_ptr<Face> m_face;
    bool m_stopped = false;
};

int runBridge(const Options& options, const std::string& keyFile)
{
    std::string error;
    const std::optional<bridge::RemoteAppsUrl> url = bridge::parseRemoteAppsUrl(options.remoteApps, error);
    if (!url) {
        std::cerr << "g19-bridge: " << error << "\n";
        return EXIT_USAGE;
    }
    const std::optional<std::uint32_t> bind = parseIpv4(options.displayBind);
    if (!bind) {
        std::cerr << "g19-bridge: --display-bind takes an IPv4 address, as 127.0.0.1; got "
                  << options.displayBind << "\n";
        return EXIT_USAGE;
    }

    // One copy per user: a second one says so and leaves the log and the port to the first.
    const std::string place = channelPlace(keyFile);
    platform::InstanceLock lock;
    std::string lockError;
    const platform::InstanceLock::Result locked =
        place.empty() ? platform::InstanceLock::Result::FAILED : lock.acquire(place, lockError);
    if (locked == platform::InstanceLock::Result::HELD_BY_ANOTHER) {
        const std::optional<RunningCopy> copy = askRunningCopy(place, !faceHasConsole());
        std::cerr << "g19-bridge is already running";
        if (copy) {
            std::cerr << " (process " << copy->processId << "): " << copy->stateLine;
        }
        std::cerr << "\n";
        return EXIT_ALREADY_RUNNING;
    }

    bridge::BridgeLog log(faceHasConsole() ? stderr : nullptr, "g19-bridge", G19_VERSION);
    if (!faceHasConsole()) {
        // Beside the key file, in the user's configuration folder. A log that cannot be
        // written stops nothing: the tray still shows the state.
        log.openStateFile(folderOf(keyFile) + "/g19-bridge.log", options.logLimit, error);
    }
    if (!options.logPath.empty() && !log.openTrace(options.logPath, options.logLimit, error)) {
        log.error(error);
        return EXIT_USAGE;
    }
    if (locked == platform::InstanceLock::Result::FAILED) {
        log.warning("cannot make sure that only one copy of the bridge runs (" +
                    (lockError.empty() ? std::string("no folder for its lock") : lockError) + ")");
    }
    return Bridge(options, *url, *bind, keyFile, log)
        .run(locked == platform::InstanceLock::Result::ACQUIRED ? place : "");
}

int pressButton(const Options& options, const std::string& keyFile)
{
    if (bridge::actionOfButton(options.press) == nullptr) {
        std::cerr << "g19-bridge: --press takes one of the bridge's buttons:";
        for (const char* button : bridge::BUTTONS) {
            std::cerr << " " << button;
        }
        std::cerr << "; got \"" << options.press << "\"\n";
        return EXIT_USAGE;
    }
    const std::string place = channelPlace(keyFile);
    const auto delay = std::chrono::milliseconds(std::lround(options.pressDelay * 1000.0));
    return pressInRunningCopy(place, options.press, delay, std::cout, std::cerr);
}

int replayTrace(const Options& options)
{
    const std::optional<std::uint32_t> bind = parseIpv4(options.displayBind);
    if (!bind) {
        std::cerr << "g19-bridge: --display-bind takes an IPv4 address, as 127.0.0.1; got "
                  << options.displayBind << "\n";
        return EXIT_USAGE;
    }
    return runReplay({options.replay, options.replaySpeed, options.replayAnswers, options.displayPort, *bind,
                      options.displayBind});
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
    app.add_option(
           "--display-port", options.displayPort,
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
    // For tests of the log's rotation: the default is 1 MiB.
    app.add_option("--log-limit", options.logLimit)
        ->group("")
        ->check(CLI::Range(std::uint64_t{256}, std::uint64_t{1} << 40));
    CLI::Option* press =
        app.add_option("--press", options.press,
                       "Ask the running bridge to press BUTTON once, for a key binding in the voice "
                       "client, then exit")
            ->type_name("BUTTON");
    app.add_option("--delay", options.pressDelay,
                   "Seconds before --press presses, to click back into the voice client")
        ->type_name("S")
        ->check(CLI::Range(0.0, static_cast<double>(MAX_PRESS_DELAY.count())))
        ->needs(press)
        ->capture_default_str();
    app.add_option("--autostart", options.autostart,
                   "Start the bridge when you log in, or no longer; then exit")
        ->type_name("on|off")
        ->check(CLI::IsMember({"on", "off"}))
        ->excludes(press);
    CLI::Option* report =
        app.add_option("--report", options.reportPath,
                       "Ask the running bridge to save a report for whoever helps you, into FILE or a folder "
                       "(default: your Documents folder), print its path, then exit")
            ->type_name("[FILE]")
            ->expected(0, 1)
            ->excludes(press);
    CLI::Option* replay =
        app.add_option(
               "--replay", options.replay,
               "Play a report or a --log file to the display as the voice client's side, with no voice "
               "client")
            ->type_name("FILE")
            ->excludes(press)
            ->excludes(report);
    app.add_option("--speed", options.replaySpeed,
                   "How much faster than recorded --replay plays; 0 as fast as it goes")
        ->type_name("X")
        ->check(CLI::Range(0.0, 1e6))
        ->needs(replay)
        ->capture_default_str();
    app.add_flag("--answers", options.replayAnswers,
                 "After the last message of --replay, print the display's view as g19-probe --json prints it "
                 "(server, channels, clients), then exit")
        ->needs(replay);
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
    if (!options.replay.empty()) {
        return replayTrace(options);
    }
    options.report = report->count() > 0;
    if (!options.autostart.empty()) {
        bool ok = false;
        std::cout << switchAutostart(options.autostart == "on", ok) << "\n";
        return ok ? EXIT_OK : EXIT_FAILED;
    }

    const std::string keyFile = options.keyFile.empty() ? bridge::defaultKeyFile() : options.keyFile;
    if (keyFile.empty()) {
        std::cerr
            << "g19-bridge: the system names no configuration folder for the key; give one with --key-file\n";
        return EXIT_USAGE;
    }
    if (!options.press.empty()) {
        return pressButton(options, keyFile);
    }
    if (options.report) {
        // The running copy has a current folder of its own.
        return reportInRunningCopy(
            channelPlace(keyFile),
            options.reportPath.empty() ? "" : platform::absolutePath(options.reportPath), std::cout,
            std::cerr);
    }
    return runBridge(options, keyFile);
}
