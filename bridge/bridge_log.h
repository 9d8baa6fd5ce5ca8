#pragma once
// The bridge's messages, kept three ways:
// - the state log: the state lines, warnings and errors, each with the local date and time,
//   on the console or in a file (g19-bridgew). An hour of play writes a few lines;
// - the trace (--log FILE): every Remote Apps message in and out as one JSON line, with the
//   state lines and what the mirror ignored, for whoever mends the bridge;
// - in memory, the last messages in the trace's line format, for a report a player sends.
// Both files are capped: past their limit they are renamed to FILE.1 and start again. A key the
// client hands out never appears whole in any of them.
//
// Every function may be called from any thread.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bridge {

// The trace's line format; its first line names it, with the program and the start time.
inline constexpr int TRACE_FORMAT = 1;

inline constexpr std::uint64_t LOG_LIMIT_BYTES = 1024 * 1024;
// What the memory keeps of the messages: the last this many, or fewer when they are larger.
inline constexpr std::size_t RECENT_MESSAGES = 2000;
inline constexpr std::size_t RECENT_MESSAGE_BYTES = 2 * 1024 * 1024;
// And of the state lines, for a report from a bridge whose state log is the console.
inline constexpr std::size_t RECENT_STATE_LINES = 500;

// What stays of a key in a log: a few of its first characters, enough to tell two keys apart.
std::string redactKey(std::string_view key);

// `message` with the key of an auth request or answer redacted.
nlohmann::json redactMessage(const nlohmann::json& message);

// A frame that is not JSON with whatever follows an "apiKey" redacted: a cut-off auth
// answer still carries the key.
std::string redactUnreadable(std::string_view frame);

// What a report holds of the messages.
struct KeptMessages {
    // Trace lines, oldest first: the last messages, and before them, once they have left the
    // memory, the auth request and answer the mirror was last replaced from.
    std::vector<std::string> lines;
    // Messages between that answer and the first of the last messages that are not kept.
    std::uint64_t droppedAfterSnapshot = 0;
};

// Lines kept in memory, the oldest dropped first once either bound is reached.
class RecentLines {
public:
    RecentLines(std::size_t maxLines, std::size_t maxBytes) : m_maxLines(maxLines), m_maxBytes(maxBytes) {}
    void add(std::string line);
    std::vector<std::string> lines() const { return {m_lines.begin(), m_lines.end()}; }
    std::size_t size() const { return m_lines.size(); }
    std::size_t bytes() const { return m_bytes; }

private:
    std::size_t m_maxLines;
    std::size_t m_maxBytes;
    std::deque<std::string> m_lines;
    std::size_t m_bytes = 0;
};

// A file of lines that never grows much past its limit: the line that would take it past the
// limit first renames it to PATH.1, replacing the one before, and starts a new file with the
// header. Not thread-safe by itself.
class CappedFile {
public:
    CappedFile() = default;
    ~CappedFile();
    CappedFile(const CappedFile&) = delete;
    CappedFile& operator=(const CappedFile&) = delete;

    // Appends to `path`, making its folders, each line ended with `lineEnd`. False, with
    // `error` set, when it cannot.
    bool open(const std::string& path, std::uint64_t limit, std::string header, std::string& error,
              std::string lineEnd = "\n");
    bool isOpen() const { return m_file != nullptr; }
    const std::string& path() const { return m_path; }

    // Writes `line` and a line end. `error` is set when something failed: the line was lost
    // (false: the disk is full, or the file could not be opened again), or the full file could
    // not be renamed (the line went into it, and the next line tries again).
    bool write(std::string_view line, std::string& error);

private:
    void rotate(std::string& error);
    bool reopen(std::string& error);
    bool put(std::string_view line);

    std::string m_path;
    std::string m_header;
    std::string m_lineEnd = "\n";
    std::uint64_t m_limit = 0;
    std::uint64_t m_size = 0;
    std::FILE* m_file = nullptr;
};

class BridgeLog {
public:
    // `console` receives the state log; null for a program without a console, whose state log
    // is a file (openStateFile) or nothing.
    explicit BridgeLog(std::FILE* console, std::string program = "g19-bridge", std::string version = "");
    BridgeLog(const BridgeLog&) = delete;
    BridgeLog& operator=(const BridgeLog&) = delete;

    // The state log in a file. False, with `error` set, when it cannot be opened.
    bool openStateFile(const std::string& path, std::uint64_t limit, std::string& error);
    // The trace. False, with `error` set, when it cannot be opened.
    bool openTrace(const std::string& path, std::uint64_t limit, std::string& error);
    bool hasTrace() const;

    // A state line: what happens, in the player's words.
    void state(const std::string& line);
    void warning(const std::string& line);
    void error(const std::string& line);
    // Into the trace only: what the mirror ignored and why.
    void debug(const std::string& line);

    // A message in: `frame` as it came, `message` what it parsed to.
    void incoming(std::string_view frame, const nlohmann::json& message);
    // A message in that is known not to be an auth answer, the only one with a key: kept as
    // it came, without its document.
    void incomingEvent(std::string_view frame);
    // A message out, as it is sent.
    void outgoing(const nlohmann::json& message);
    // A frame that is not JSON, cut to its first bytes.
    void unreadable(const char* direction, std::string_view frame);
    // The connection to the voice client ended, or could not be made: the mirror is empty
    // from here until the next answer.
    void closed(const std::string& reason);

    // The first line of the trace: its format, the program, its version and the start time.
    std::string traceHeader() const;
    // The kept messages, oldest first, as trace lines.
    std::vector<std::string> recentMessages() const;
    // The kept messages with the snapshot they build on, for a report.
    KeptMessages reportMessages() const;
    // The state log's lines of this run, oldest first, as the log wrote them.
    std::vector<std::string> recentStateLines() const;
    // The state log's file; empty when it is the console or nothing.
    std::string stateFile() const;
    // The local time of now in strftime's `format`. The log is where the program asks for the
    // local time, under its lock: the C library's answer is shared by every thread.
    std::string localNow(const char* format) const;
    // The same as ISO 8601 with the offset from UTC, as the trace's header has it.
    std::string localNowIso8601() const;

private:
    void stateLine(const char* level, const std::string& line);
    void writeState(const std::string& text);
    void traceLine(const std::string& line);
    // `line` after the local date and time, and its level but for a state line.
    static std::string dated(const char* level, const std::string& line);
    void keepMessage(std::string line);
    // `body` is the frame as it came, or an auth answer's redacted copy.
    void keepIncoming(std::string_view body, bool auth);
    std::string stamp() const;
    void appendStamp(std::string& line) const;

    mutable std::mutex m_mutex;
    std::FILE* m_console;
    const std::string m_program;
    const std::string m_version;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    const std::string m_started;  // the local time of the start, as ISO 8601
    CappedFile m_stateFile;
    CappedFile m_trace;
    bool m_stateFileFailed = false;
    bool m_traceFailed = false;
    RecentLines m_recentMessages{RECENT_MESSAGES, RECENT_MESSAGE_BYTES};
    // Messages kept so far; with the ring's size, the number of the first one it holds.
    std::uint64_t m_messagesKept = 0;
    // The last auth request, and the last answer with the request before it, each with its
    // number: what a report's replay starts from.
    std::pair<std::uint64_t, std::string> m_lastAuthRequest;
    std::vector<std::pair<std::uint64_t, std::string>> m_snapshot;
    RecentLines m_recentState{RECENT_STATE_LINES, RECENT_STATE_LINES * 1024};
};

}  // namespace bridge
