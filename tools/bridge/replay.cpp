#include "replay.h"

#include "archive.h"
#include "bridge/bridge_host.h"
#include "bridge/bridge_log.h"
#include "bridge/feed.h"
#include "bridge/status.h"
#include "client/answers.h"
#include "face.h"
#include "g19/version.h"
#include "platform/user_files.h"
#include "protocol/request.h"
#include "server/listener.h"
#include "tools/probe/render.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 2;

// A report is a few megabytes; a trace a player kept with --log is capped at 1 MiB a file.
constexpr std::size_t LARGEST_TRACE = 256 * 1024 * 1024;

// The keys of a trace line: its time, one kind, and for a frame that was not JSON the text.
constexpr const char* KINDS[] = {"in", "out", "info", "warning", "error", "debug", "closed"};

// What the replay does with a line; every other known line (the state lines, the messages
// out but the auth request) only tells the reader what happened.
struct Step {
    enum class Kind {
        NEW_RUN,   // a header after the first line: another run of the bridge appended to the file
        ASKED,     // an auth request went out: a connection was opened
        INCOMING,  // a message from the voice client
        CLOSED,    // the connection ended: the mirror is empty
    };
    Kind kind;
    std::size_t line;
    double tMs;
    json message;  // INCOMING: the message; CLOSED: the reason
};

struct Trace {
    std::string version;  // the recording bridge's, which 02 answers
    std::vector<Step> steps;
    std::vector<std::string> skipped;  // "line N: why"
};

bool isKind(const std::string& key)
{
    for (const char* kind : KINDS) {
        if (key == kind) {
            return true;
        }
    }
    return false;
}

// The format of a header line, or nothing for a line that is not one.
std::optional<json> headerOf(const json& line)
{
    if (!line.is_object() || !line.contains("trace")) {
        return std::nullopt;
    }
    return line["trace"];
}

// Why `line` is not a trace line, or "" when it is one, with `step` set for a line the replay
// acts on.
std::string readLine(const json& line, std::size_t number, std::optional<Step>& step)
{
    if (!line.is_object()) {
        return "not a JSON object";
    }
    std::string name;
    for (const auto& item : line.items()) {
        if (item.key() == "t_ms" || item.key() == "unreadable") {
            continue;
        }
        if (!isKind(item.key())) {
            return "unknown key \"" + item.key() + "\"";
        }
        if (!name.empty()) {
            return "two kinds of line in one (\"" + name + "\", \"" + item.key() + "\")";
        }
        name = item.key();
    }
    if (name.empty()) {
        return "no kind of line";
    }
    if (!line.contains("t_ms") || !line["t_ms"].is_number()) {
        return "no t_ms";
    }
    const json& value = line[name];
    const bool message = name == "in" || name == "out";
    if (line.contains("unreadable") && !(message && value.is_null() && line["unreadable"].is_string())) {
        return "\"unreadable\" beside a readable message";
    }
    if (message ? !(value.is_object() || (value.is_null() && line.contains("unreadable")))
                : !value.is_string()) {
        return "\"" + name + "\" of the wrong type";
    }
    const double tMs = line["t_ms"].get<double>();
    if (name == "in" && value.is_object()) {
        step = Step{Step::Kind::INCOMING, number, tMs, value};
    } else if (name == "out" && value.is_object() && value.value("type", json()) == "auth") {
        step = Step{Step::Kind::ASKED, number, tMs, json()};
    } else if (name == "closed") {
        step = Step{Step::Kind::CLOSED, number, tMs, value};
    }
    return "";
}

// Reads a trace; nothing, with `error` set, when its format is not known here.
std::optional<Trace> readTrace(const std::string& text, const std::string& file, std::string& error)
{
    Trace trace;
    bool first = true;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        const bool cutOff = end == std::string::npos;
        end = cutOff ? text.size() : end;
        std::string_view raw(text.data() + start, end - start);
        start = end + 1;
        ++number;
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        if (raw.empty()) {
            continue;
        }
        const json line = json::parse(raw, nullptr, false);
        const std::optional<json> format = line.is_discarded() ? std::nullopt : headerOf(line);
        if (first || format) {
            if (!format) {
                error = file + " is not a trace of g19-bridge: its first line names no trace format";
                return std::nullopt;
            }
            if (*format != bridge::TRACE_FORMAT) {
                error = file + " is a trace of format " + format->dump() + " (line " +
                        std::to_string(number) + "), which this g19-bridge " + G19_VERSION +
                        " does not read: it reads format " + std::to_string(bridge::TRACE_FORMAT);
                return std::nullopt;
            }
            // The display's view at the end is the last run's, which answers with its version.
            const json version = line.value("version", json());
            if (version.is_string()) {
                trace.version = version.get<std::string>();
            }
            if (!first) {
                trace.steps.push_back({Step::Kind::NEW_RUN, number, 0.0, json()});
            }
            first = false;
            continue;
        }
        if (line.is_discarded()) {
            trace.skipped.push_back("line " + std::to_string(number) + ": " +
                                    (cutOff ? "cut off" : "not JSON"));
            continue;
        }
        std::optional<Step> step;
        if (const std::string why = readLine(line, number, step); !why.empty()) {
            trace.skipped.push_back("line " + std::to_string(number) + ": " + why);
            continue;
        }
        if (step) {
            trace.steps.push_back(std::move(*step));
        }
    }
    if (first) {
        error = file + " is empty: it holds no trace";
        return std::nullopt;
    }
    return trace;
}

// The trace of `file`: the file itself, or the trace inside a report. Nothing, with `error`
// set, when there is none; `note` says what a report adds about itself.
std::optional<std::string> traceText(const std::string& file, std::string& error, std::string& note)
{
    std::optional<std::string> contents = platform::readFile(file);
    if (!contents) {
        error = "cannot read " + file;
        return std::nullopt;
    }
    if (contents->size() > LARGEST_TRACE) {
        error = file + " is larger than any trace or report";
        return std::nullopt;
    }
    if (!archive::looksLikeArchive(*contents)) {
        return contents;
    }
    std::string why;
    std::optional<std::vector<archive::Entry>> entries = archive::read(*contents, why, LARGEST_TRACE);
    if (!entries) {
        error = "cannot read the report " + file + ": " + why;
        return std::nullopt;
    }
    const auto endsWith = [](const std::string& name, const std::string& ending) {
        return name.size() >= ending.size() &&
               name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
    };
    std::optional<std::string> trace;
    for (archive::Entry& entry : *entries) {
        if (endsWith(entry.name, "report.json")) {
            const json about = json::parse(entry.contents, nullptr, false);
            const json dropped = about.is_object() ? about.value("droppedAfterSnapshot", json()) : json();
            if (dropped.is_number_unsigned() && dropped.get<std::uint64_t>() > 0) {
                note = "the report lacks " + dropped.dump() +
                       " messages between the last snapshot and the messages it kept: the display's view may "
                       "differ from the one it had";
            }
        } else if (endsWith(entry.name, ".trace") && !trace) {
            trace = std::move(entry.contents);
        }
    }
    if (!trace) {
        error = "the report " + file + " holds no trace";
    }
    return trace;
}

// Feeds the steps into the mirror as the session does with what it receives.
class Player {
public:
    Player(bridge::BridgeLog& log, bridge::StatusModel& status) : m_log(log), m_status(status) {}

    void play(const Step& step)
    {
        switch (step.kind) {
            case Step::Kind::NEW_RUN:
                clear();
                return;
            case Step::Kind::ASKED:
                // A request goes out only on a connection of its own, after the one before
                // was dropped.
                clear();
                m_awaiting = true;
                return;
            case Step::Kind::CLOSED:
                clear();
                m_status.lost(step.message.get<std::string>());
                return;
            case Step::Kind::INCOMING:
                ++m_messages;
                return incoming(step);
        }
    }

    std::size_t messages() const { return m_messages; }
    std::size_t ignored() const { return m_ignored; }

private:
    void clear()
    {
        m_feed.clear();
        m_awaiting = false;
    }

    void ignore(const Step& step, const std::string& why)
    {
        ++m_ignored;
        m_log.state("replay: line " + std::to_string(step.line) + " ignored: " + why);
    }

    void incoming(const Step& step)
    {
        const json& message = step.message;
        const json type = message.value("type", json());
        if (type == "auth") {
            return answered(step);
        }
        if (!m_feed.approved()) {
            return ignore(step, "a message before approval");
        }
        if (type == "buttonPress") {
            return;
        }
        if (const std::string why = m_feed.event(message); !why.empty()) {
            ignore(step, why);
        }
    }

    void answered(const Step& step)
    {
        const bridge::Feed::Answer answer = m_feed.answer(step.message, m_awaiting);
        switch (answer.kind) {
            case bridge::Feed::Answer::Kind::REFUSED:
                clear();
                m_status.refused(answer.text);
                return;
            case bridge::Feed::Answer::Kind::IGNORED:
                return ignore(step, answer.text);
            case bridge::Feed::Answer::Kind::APPROVED:
                m_awaiting = false;
                return;
            case bridge::Feed::Answer::Kind::SNAPSHOT:
                return;
        }
    }

    bridge::BridgeLog& m_log;
    bridge::StatusModel& m_status;
    bridge::Feed m_feed{m_status};
    bool m_awaiting = false;
    std::size_t m_messages = 0;
    std::size_t m_ignored = 0;
};

// Waits that a stop ends at once.
class StopFlag {
public:
    void set()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_changed.notify_all();
    }
    // False when stopped first.
    bool waitUntil(Clock::time_point when)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_changed.wait_until(lock, when, [this] { return m_stopped; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopped = false;
};

// Plays every step at its time; false when stopped first.
bool playAll(const Trace& trace, Player& player, double speed, StopFlag& stop)
{
    Clock::time_point at = Clock::now();
    std::optional<double> lastMs;
    for (const Step& step : trace.steps) {
        // A run appended after another starts its times at 0 again.
        if (speed > 0 && lastMs && step.kind != Step::Kind::NEW_RUN && step.tMs > *lastMs) {
            at += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>((step.tMs - *lastMs) / speed));
            if (!stop.waitUntil(at)) {
                return false;
            }
        }
        if (step.kind != Step::Kind::NEW_RUN) {
            lastMs = step.tMs;
        }
        player.play(step);
    }
    return true;
}

// One line of `g19-probe --json` for `command`, asked of the bridge's host as the listener
// asks it; "null" where the probe would get no answer.
std::string answerLine(std::uint8_t command, const std::string& version)
{
    static const TS3Functions host = bridge::functionTable();
    std::ostringstream diagnostics;
    const RequestContext context{host, version, [](std::chrono::milliseconds) {}, diagnostics};
    const Packet packet = processRequest(context, &command, 1);
    const std::uint8_t* bytes = packet.data();
    const std::size_t size = packet.size();
    switch (command) {
        case 2: {
            const auto decoded = display::decodeServerInfo(bytes, size);
            return decoded.complete() ? probe::dumpJson(probe::toJson(decoded.answer)) : "null";
        }
        case 3: {
            const auto decoded = display::decodeChannelList(bytes, size);
            return decoded.complete() ? probe::dumpJson(probe::toJson(decoded.answer)) : "null";
        }
        default: {
            const auto decoded = display::decodeClientList(bytes, size);
            return decoded.complete() ? probe::dumpJson(probe::toJson(decoded.answer)) : "null";
        }
    }
}

}  // namespace

int runReplay(const ReplayOptions& options)
{
    std::string error;
    std::string note;
    const std::optional<std::string> text = traceText(options.file, error, note);
    std::optional<Trace> trace = text ? readTrace(*text, options.file, error) : std::nullopt;
    if (!trace) {
        std::cerr << "g19-bridge: " << error << "\n";
        return EXIT_USAGE;
    }
    const std::string version = trace->version.empty() ? std::string(G19_VERSION) : trace->version;

    bridge::BridgeLog log(faceHasConsole() ? stderr : nullptr, "g19-bridge", G19_VERSION);
    bridge::StatusModel status("the replay of " + options.file,
                               [&log](const std::string& line) { log.state(line); });
    StopFlag stop;
    std::unique_ptr<Face> face;
    if (!options.answers) {
        FaceActions actions;
        actions.stop = [&stop] { stop.set(); };
        // Before any thread starts, as for the bridge.
        face = makeFace(status, log, actions);
    }
    for (const std::string& skipped : trace->skipped) {
        log.warning("replay: skipped " + skipped);
    }
    if (!note.empty()) {
        log.warning("replay: " + note);
    }
    // The display's presses have no voice client to go to.
    bridge::resetHost();
    bridge::setEvents({[&log](const char* button) {
                           log.state(std::string("replay: the display pressed ") + button +
                                     " (nothing is sent)");
                       },
                       [&log](const std::string& line) { log.warning(line); }});

    std::ostringstream diagnostics;
    ServerSettings settings;
    settings.address = options.displayBind;
    settings.port = options.displayPort;
    settings.onListening = [&](std::uint16_t port) { status.portServed(options.displayBindText, port); };
    settings.onBindFailed = [&] { status.portHeld(options.displayPort); };
    Listener listener;
    if (!listener.start(settings, bridge::functionTable(), version, diagnostics)) {
        log.warning("replay: cannot serve the display");
    }

    Player player(log, status);
    const auto summary = [&] {
        log.state("replay: played " + std::to_string(player.messages()) + " messages of " + options.file +
                  " (" + std::to_string(player.ignored()) + " ignored by the mirror, " +
                  std::to_string(trace->skipped.size()) + (trace->skipped.size() == 1 ? " line" : " lines") +
                  " skipped)");
    };
    if (options.answers) {
        playAll(*trace, player, options.speed, stop);
        summary();
        for (const std::uint8_t command : {std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{5}}) {
            std::cout << answerLine(command, version) << '\n';
        }
        std::cout.flush();
    } else {
        std::thread feeder([&] {
            if (playAll(*trace, player, options.speed, stop)) {
                summary();
                log.state("replay: the display is served as the trace left it, until you stop the replay");
            }
        });
        face->run();
        stop.set();
        feeder.join();
    }
    listener.stop();
    bridge::setEvents({});
    return EXIT_OK;
}
