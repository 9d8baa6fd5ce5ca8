// g19-hostsim: plays the voice client for the plug-in library. It loads the library, hands
// it the simulated host's function table, starts it and serves a simulated server until it
// is told to stop, then stops and unloads the plug-in and reports the host memory it left.
//
// Its own messages go to standard error; standard output belongs to the plug-in.

#include "demo_server.h"
#include "remote_apps_server.h"
#include "serve_loop.h"
#include "web_console.h"

#include "g19/version.h"
#include "platform/process.h"
#include "sim/host_table.h"
#include "sim/plugin_loader.h"
#include "sim/scenario_json.h"
#include "sim/sim_host.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_CANNOT_LOAD = 1;  // the library cannot be loaded, lacks an export or fails to start
// Bad options, an unreadable scenario or log file, or a library of another plug-in API.
constexpr int EXIT_USAGE = 2;
// The plug-in broke the host's rules: host memory leaked or released wrongly, or a table slot
// the host does not implement called.
constexpr int EXIT_HOST_CONTRACT = 3;

// The plug-in API of the 3.0 clients, which the library reports unless built for another.
constexpr int DEFAULT_HOST_API = 20;

using Clock = std::chrono::steady_clock;

struct Options {
    std::string scenarioPath;
    std::string pluginPath = platform::executableDirectory() + G19_PLUGIN_FILE_NAME;
    std::string logPath;
    bool control = false;
    int hostApi = DEFAULT_HOST_API;
    std::optional<std::uint16_t> webPort;
    std::optional<std::uint16_t> remoteAppsPort;
    std::optional<unsigned int> approveAfterMs;
    bool deny = false;
    bool noPlugin = false;
};

std::optional<sim::Scenario> readScenarioFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        std::cerr << "hostsim: cannot read scenario " << path << ": " << std::strerror(errno) << "\n";
        return std::nullopt;
    }
    std::string error;
    std::optional<sim::Scenario> scenario = sim::parseScenario(text.str(), error);
    if (!scenario) {
        std::cerr << "hostsim: scenario " << path << ": " << error << "\n";
    }
    return scenario;
}

const char* orNull(const char* text)
{
    return text != nullptr ? text : "(null)";
}

void printIdentity(const std::string& path, const sim::PluginExports& plugin, int apiVersion)
{
    std::cerr << "hostsim: loaded " << path << "\n"
              << "hostsim:   name         " << orNull(plugin.name()) << "\n"
              << "hostsim:   version      " << orNull(plugin.version()) << "\n"
              << "hostsim:   API version  " << apiVersion << "\n"
              << "hostsim:   author       " << orNull(plugin.author()) << "\n"
              << "hostsim:   description  " << orNull(plugin.description()) << "\n";
}

// Streams every host call to the --log file, one flushed JSON line each. It runs under the
// simulated host's lock, which also keeps the lines in call order.
class CallLog {
public:
    ~CallLog() { close(); }

    bool open(const std::string& path)
    {
        // Binary, so that the lines end in "\n" on every system.
        m_file = std::fopen(path.c_str(), "wb");
        return m_file != nullptr;
    }

    bool isOpen() const { return m_file != nullptr; }

    // Times count from here: the moment just before ts3plugin_init.
    void startClock() { m_start = Clock::now(); }

    void write(const sim::Call& call)
    {
        const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - m_start).count();
        const double tMs = std::round(elapsed * 1000.0) / 1000.0;
        const std::string line = sim::dumpJson(sim::callToJson(call, tMs));
        std::fputs(line.c_str(), m_file);
        std::fputc('\n', m_file);
        std::fflush(m_file);
    }

    void close()
    {
        if (m_file != nullptr) {
            std::fclose(m_file);
            m_file = nullptr;
        }
    }

private:
    std::FILE* m_file = nullptr;
    Clock::time_point m_start = Clock::now();
};

RemoteAppsOptions remoteAppsOptions(const Options& options)
{
    RemoteAppsOptions result;
    result.port = *options.remoteAppsPort;
    result.deny = options.deny;
    if (options.approveAfterMs) {
        result.approveAfter = std::chrono::milliseconds(*options.approveAfterMs);
    } else if (!options.webPort) {
        // Without a console nobody could approve: approve at once.
        result.approveAfter = std::chrono::milliseconds(0);
    }
    return result;
}

int run(const Options& options)
{
    std::optional<sim::Scenario> scenario;
    if (!options.scenarioPath.empty()) {
        scenario = readScenarioFile(options.scenarioPath);
        if (!scenario) {
            return EXIT_USAGE;
        }
    }
    CallLog callLog;
    if (!options.logPath.empty() && !callLog.open(options.logPath)) {
        std::cerr << "hostsim: cannot write log " << options.logPath << ": " << std::strerror(errno) << "\n";
        return EXIT_USAGE;
    }

    // Before the plug-in or the demo start any thread.
    installStopHandlers();

    sim::PluginLoader library;
    sim::PluginExports plugin;
    const bool withPlugin = !options.noPlugin;
    if (withPlugin) {
        std::string error;
        if (!library.load(options.pluginPath, error)) {
            std::cerr << "hostsim: " << error << "\n";
            return EXIT_CANNOT_LOAD;
        }
        plugin = library.exports();
        // Like the client, ask the API version before anything else, and load nothing of a
        // library built for another one.
        const int apiVersion = plugin.apiVersion();
        if (apiVersion != options.hostApi) {
            std::cerr << "hostsim: " << options.pluginPath << " is built for plug-in API " << apiVersion
                      << ", this host plays API " << options.hostApi << "; not loaded\n";
            return EXIT_USAGE;
        }
        printIdentity(options.pluginPath, plugin, apiVersion);
    }

    sim::reset();
    DemoAnimation demo;
    std::vector<sim::FailureRule> initialRules;
    if (scenario) {
        initialRules = scenario->failures;
        sim::setModelAndFailures(std::move(scenario->model), std::move(scenario->failures));
    } else {
        sim::setModel(demoModel());
        demo.start();
        std::cerr << "hostsim: serving the demo server \"" << DEMO_SERVER_NAME << "\"\n";
    }

    std::unique_ptr<RemoteAppsServer> remoteApps;
    if (options.remoteAppsPort) {
        remoteApps = std::make_unique<RemoteAppsServer>(remoteAppsOptions(options));
        if (scenario && scenario->remoteAppsKeys) {
            remoteApps->replaceKeys(*scenario->remoteAppsKeys);
        }
        std::string remoteError;
        if (!remoteApps->start(remoteError)) {
            std::cerr << "hostsim: remote apps: " << remoteError << "\n";
            demo.stop();
            return EXIT_USAGE;
        }
        std::cerr << "hostsim: remote apps on ws://127.0.0.1:" << remoteApps->port() << "\n";
    }

    std::unique_ptr<WebConsole> console;
    if (options.webPort) {
        ConsoleHooks consoleHooks{[&demo] { demo.stop(); },
                                  [&demo] {
                                      demo.stop();
                                      sim::setModelAndFailures(demoModel(), {});
                                      demo.start();
                                  },
                                  [&demo](uint64 schid, anyID client) { demo.leaveAlone(schid, client); },
                                  {}};
        if (RemoteAppsServer* server = remoteApps.get()) {
            consoleHooks.remoteApps.view = [server] { return server->view(); };
            consoleHooks.remoteApps.decide = [server](std::uint64_t request, bool approve) {
                return server->decide(request, approve);
            };
            consoleHooks.remoteApps.replaceKeys = [server](std::vector<std::string> keys) {
                server->replaceKeys(std::move(keys));
            };
            consoleHooks.remoteApps.chooseBinding = [server](sim::UserAction action) {
                server->chooseBinding(action);
            };
            consoleHooks.remoteApps.cancelBinding = [server] { return server->cancelBinding(); };
        }
        console = std::make_unique<WebConsole>(std::move(consoleHooks));
        console->rulesReplaced(initialRules);
        std::string webError;
        if (!console->start(*options.webPort, webError)) {
            std::cerr << "hostsim: web console: " << webError << "\n";
            if (remoteApps) {
                remoteApps->stop();
            }
            demo.stop();
            library.unload();
            return EXIT_USAGE;
        }
        std::cerr << "hostsim: web console on http://127.0.0.1:" << console->port() << "/\n";
    }
    // One observer feeds both the log file and the console.
    const bool logging = callLog.isOpen() || console;
    sim::setLogging(logging);
    if (logging) {
        sim::setCallObserver([&callLog, web = console.get()](const sim::Call& call) {
            if (callLog.isOpen()) {
                callLog.write(call);
            }
            if (web != nullptr) {
                web->onCall(call);
            }
        });
    }

    callLog.startClock();
    if (withPlugin) {
        // The whole table of the host's API, passed by value as the client passes it.
        sim::handOver(plugin.setFunctionPointers, sim::hostTable(options.hostApi));
        const int initResult = plugin.init();
        if (initResult != 0) {
            std::cerr << "hostsim: ts3plugin_init failed with " << initResult << "\n";
            if (console) {
                console->stop();
            }
            if (remoteApps) {
                remoteApps->stop();
            }
            demo.stop();
            sim::setCallObserver({});
            library.unload();
            return EXIT_CANNOT_LOAD;
        }
    }
    std::cerr << "hostsim: " << (withPlugin ? "plug-in started" : "serving without the plug-in") << "; "
              << (options.control ? "end of input or " : "") << "Ctrl-C stops it\n";

    ServeHooks hooks;
    if (options.control) {
        hooks.onControlLine = [&demo, web = console.get(), apps = remoteApps.get(),
                               lineNumber = 0](const std::string& line) mutable {
            ++lineNumber;
            std::string lineError;
            std::optional<sim::Scenario> next = sim::parseScenario(line, lineError);
            if (!next) {
                std::cerr << "hostsim: control line " << lineNumber << " ignored: " << lineError << "\n";
                return;
            }
            // A scenario from the control input is the whole truth; the demo stops changing it.
            demo.stop();
            if (web != nullptr) {
                web->rulesReplaced(next->failures);
            }
            if (apps != nullptr && next->remoteAppsKeys) {
                apps->replaceKeys(*next->remoteAppsKeys);
            }
            sim::setModelAndFailures(std::move(next->model), std::move(next->failures));
            std::cerr << "hostsim: scenario applied\n";
        };
    }
    if (logging) {
        // The observer has had every call; the in-memory log would only grow.
        hooks.onTick = [] { sim::clearCalls(); };
    }
    const StopReason reason = serveUntilStopped(hooks);
    std::cerr << (reason == StopReason::SIGNAL ? "hostsim: stop requested\n"
                                               : "hostsim: end of control input\n");

    // First, so that no click restarts the demo while the plug-in stops.
    if (console) {
        console->stop();
    }
    if (remoteApps) {
        remoteApps->stop();
    }
    // Measured from the stop request to the library unloaded: what the user waits for.
    const auto shutdownStart = Clock::now();
    demo.stop();
    if (withPlugin) {
        plugin.shutdown();
        library.unload();
    }
    const auto shutdownMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - shutdownStart).count();
    sim::setCallObserver({});
    callLog.close();

    const sim::MemoryReport memory = sim::memory();
    std::cerr << "hostsim: shutdown took " << shutdownMs << " ms\n"
              << "hostsim: host memory: " << memory.allocated << " allocated, " << memory.released
              << " released, " << memory.live << " leaked, " << memory.invalid << " invalid\n";
    const std::size_t unimplemented = sim::unimplementedCalls();
    if (unimplemented != 0) {
        std::cerr << "hostsim: the plug-in called " << unimplemented
                  << " time(s) a table slot the host does not implement\n";
    }
    const bool broken = memory.live != 0 || memory.invalid != 0 || unimplemented != 0;
    return broken ? EXIT_HOST_CONTRACT : EXIT_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    // What the plug-in prints reaches standard output unchanged: the same bytes on every system.
    platform::useBinaryStandardOutput();
    CLI::App app{
        "Plays the voice client for the Kestro G19 plug-in: loads the library, serves a simulated "
        "server to it and stops it on Ctrl-C."};
    app.name("g19-hostsim");
    Options options;
    app.add_option("--scenario", options.scenarioPath,
                   "The simulated server as JSON; without it, a demo server")
        ->type_name("FILE");
    app.add_option("--plugin", options.pluginPath, "The plug-in library to load")
        ->type_name("PATH")
        ->capture_default_str();
    app.add_option("--log", options.logPath, "Write every host call the plug-in makes as one JSON line")
        ->type_name("FILE");
    app.add_flag("--control", options.control,
                 "Read whole scenarios from standard input, one per line; end of input stops");
    app.add_option("--host-api", options.hostApi,
                   "The plug-in API of the client to play (" + sim::playableApis() +
                       "); a library built for another is not loaded")
        ->type_name("N")
        ->capture_default_str()
        ->check([](const std::string& text) -> std::string {
            int api = 0;
            const bool number = CLI::detail::lexical_cast(text, api);
            return number && sim::hostFunctionCount(api) != 0
                       ? std::string()
                       : "no client of plug-in API " + text + " to play; one of " + sim::playableApis();
        });
    app.add_option("--web", options.webPort,
                   "Serve a console in the browser at http://127.0.0.1:PORT/ that shows the simulated "
                   "client live and changes it; 0 takes any free port")
        ->type_name("[PORT]")
        ->expected(0, 1)
        ->default_str(std::to_string(DEFAULT_CONSOLE_PORT));
    app.add_option("--remote-apps", options.remoteAppsPort,
                   "Also serve the simulated client through the Remote Apps interface of the 5 and 6 series "
                   "clients, at ws://127.0.0.1:PORT; 0 takes any free port")
        ->type_name("[PORT]")
        ->expected(0, 1)
        ->default_str(std::to_string(DEFAULT_REMOTE_APPS_PORT));
    app.add_option("--approve-after", options.approveAfterMs,
                   "Approve a Remote Apps request MS milliseconds after it arrives (default: at once, or with "
                   "--web only from the console)")
        ->type_name("MS");
    app.add_flag("--deny", options.deny, "Refuse every Remote Apps request: close its socket");
    app.add_flag("--no-plugin", options.noPlugin,
                 "Load no plug-in (nothing serves the display port); the rest serves as usual");
    bool showVersion = false;
    app.add_flag("--version", showVersion, "Print the version and the plug-in API played, then exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? EXIT_OK : EXIT_USAGE;
    }
    if (showVersion) {
        // After parsing, so that the API shown is the one --host-api chose, wherever it stands.
        std::cout << "g19-hostsim " << G19_VERSION << ", playing plug-in API " << options.hostApi << "\n";
        return EXIT_OK;
    }
    return run(options);
}
