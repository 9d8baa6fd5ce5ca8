#include "bridge/bridge_log.h"

#include "platform/user_files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

namespace bridge {

namespace {

// How much of a frame that is not JSON the log keeps.
constexpr std::size_t UNREADABLE_PREFIX = 256;

using nlohmann::json;

std::string localTime(std::time_t when, const char* format)
{
    // Called under the log's lock; nothing else in the program asks for the local time.
    const std::tm* local = std::localtime(&when);
    char text[64];
    if (local == nullptr || std::strftime(text, sizeof text, format, local) == 0) {
        return "";
    }
    return text;
}

std::string nowIso8601()
{
    std::string text = localTime(std::time(nullptr), "%Y-%m-%dT%H:%M:%S%z");
    // "+0100" as "+01:00".
    if (text.size() > 2 && (text[text.size() - 5] == '+' || text[text.size() - 5] == '-')) {
        text.insert(text.size() - 2, ":");
    }
    return text;
}

bool isAuth(const json& message)
{
    if (!message.is_object()) {
        return false;
    }
    // Compared in place: the message's own string, not a copy of it nor of "auth".
    const auto type = message.find(std::string_view("type"));
    return type != message.end() && type->is_string() && type->get_ref<const std::string&>() == "auth";
}

std::string dumped(const json& value)
{
    // Texts from the wire are bytes in no promised encoding.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string redactKey(std::string_view key)
{
    if (key.empty()) {
        return "";
    }
    // Short keys show nothing of themselves; long ones their first four characters.
    return std::string(key.substr(0, key.size() >= 16 ? 4 : 0)) + "...(redacted)";
}

json redactMessage(const json& message)
{
    if (!message.is_object() || message.value("type", json()) != "auth") {
        return message;
    }
    json copy = message;
    const auto redact = [](json& holder) {
        if (holder.is_object() && holder.contains("apiKey") && holder["apiKey"].is_string()) {
            holder["apiKey"] = redactKey(holder["apiKey"].get<std::string>());
        }
    };
    if (copy.contains("payload") && copy["payload"].is_object()) {
        json& payload = copy["payload"];
        redact(payload);
        if (payload.contains("content")) {
            redact(payload["content"]);
        }
    }
    return copy;
}

std::string redactUnreadable(std::string_view frame)
{
    constexpr std::string_view KEY = "apiKey";
    const std::size_t name = frame.find(KEY);
    if (name == std::string_view::npos) {
        return std::string(frame);
    }
    // The value starts at the first quote after the name's own closing quote and its colon.
    std::size_t value = frame.find(':', name + KEY.size());
    value = value == std::string_view::npos ? value : frame.find('"', value);
    if (value == std::string_view::npos) {
        return std::string(frame.substr(0, name + KEY.size())) + "...(redacted)";
    }
    const std::size_t end = frame.find('"', value + 1);
    const std::string_view key =
        frame.substr(value + 1, end == std::string_view::npos ? std::string_view::npos : end - value - 1);
    return std::string(frame.substr(0, value + 1)) + redactKey(key) +
           (end == std::string_view::npos ? "" : redactUnreadable(frame.substr(end)));
}

void RecentLines::add(std::string line)
{
    m_bytes += line.size();
    m_lines.push_back(std::move(line));
    while (!m_lines.empty() && (m_lines.size() > m_maxLines || m_bytes > m_maxBytes)) {
        m_bytes -= m_lines.front().size();
        m_lines.pop_front();
    }
}

CappedFile::~CappedFile()
{
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

bool CappedFile::open(const std::string& path, std::uint64_t limit, std::string header, std::string& error,
                      std::string lineEnd)
{
    m_lineEnd = std::move(lineEnd);
    if (!platform::makeFoldersFor(path, error)) {
        return false;
    }
    m_path = path;
    m_limit = limit;
    m_header = std::move(header);
    const bool wasEmpty = [&] {
        const std::optional<std::string> contents = platform::readFile(path);
        return !contents || contents->empty();
    }();
    if (!reopen(error)) {
        return false;
    }
    // A file that a run before left holds its own header; this run's starts here.
    if (!wasEmpty && !m_header.empty()) {
        put(m_header);
    }
    return true;
}

bool CappedFile::write(std::string_view line, std::string& error)
{
    error.clear();
    if (m_file != nullptr && m_size > 0 && m_size + line.size() + m_lineEnd.size() > m_limit) {
        rotate(error);
    }
    if (m_file == nullptr && !reopen(error)) {
        return false;
    }
    if (!put(line)) {
        error = "cannot write " + m_path + ": " + std::strerror(errno);
        // What a full disk left half written is ended by the next line's line end.
        std::clearerr(m_file);
        return false;
    }
    return true;
}

bool CappedFile::put(std::string_view line)
{
    const bool written = std::fwrite(line.data(), 1, line.size(), m_file) == line.size() &&
                         std::fwrite(m_lineEnd.data(), 1, m_lineEnd.size(), m_file) == m_lineEnd.size() &&
                         std::fflush(m_file) == 0;
    if (written) {
        m_size += line.size() + m_lineEnd.size();
    }
    return written;
}

bool CappedFile::reopen(std::string& error)
{
    m_file = platform::openFile(m_path, "ab");
    if (m_file == nullptr) {
        error = "cannot write " + m_path + ": " + std::strerror(errno);
        return false;
    }
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    m_size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    if (m_size == 0 && !m_header.empty()) {
        put(m_header);
    }
    return true;
}

void CappedFile::rotate(std::string& error)
{
    std::fclose(m_file);
    m_file = nullptr;
    if (!platform::renameFile(m_path, m_path + ".1", error)) {
        // The file goes on growing rather than losing what it holds; the next line tries again.
        reopen(error);
        return;
    }
    reopen(error);
}

BridgeLog::BridgeLog(std::FILE* console, std::string program, std::string version)
    : m_console(console),
      m_program(std::move(program)),
      m_version(std::move(version)),
      m_started(nowIso8601())
{
}

bool BridgeLog::openStateFile(const std::string& path, std::uint64_t limit, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A player opens it in Notepad, which before Windows 10 1809 shows a file of bare line
    // feeds as one line.
    return m_stateFile.open(path, limit, "", error, platform::textLineEnd());
}

bool BridgeLog::openTrace(const std::string& path, std::uint64_t limit, std::string& error)
{
    std::string header = traceHeader();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_trace.open(path, limit, std::move(header), error);
}

bool BridgeLog::hasTrace() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_trace.isOpen();
}

void BridgeLog::state(const std::string& line)
{
    stateLine(nullptr, line);
}

void BridgeLog::warning(const std::string& line)
{
    stateLine("warning", line);
}

void BridgeLog::error(const std::string& line)
{
    stateLine("error", line);
}

void BridgeLog::debug(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_trace.isOpen()) {
        traceLine(stamp() + ",\"debug\":" + dumped(line) + "}");
    }
}

void BridgeLog::incoming(std::string_view frame, const json& message)
{
    if (isAuth(message)) {
        keepIncoming(dumped(redactMessage(message)), true);
    } else {
        keepIncoming(frame, false);
    }
}

void BridgeLog::incomingEvent(std::string_view frame)
{
    keepIncoming(frame, false);
}

void BridgeLog::keepIncoming(std::string_view body, bool auth)
{
    // Every event of the voice client passes here: the line is built in one block, from the
    // frame as it came, which is cheaper than the message dumped again and shows exactly what
    // arrived; only an auth answer, which carries the key, is written from its redacted copy.
    std::string line;
    line.reserve(body.size() + 32);
    std::lock_guard<std::mutex> lock(m_mutex);
    appendStamp(line);
    line += ",\"in\":";
    const std::size_t start = line.size();
    line += body;
    // JSON has line ends only between its tokens, where a space means the same. Few frames
    // have any: they are looked for at the speed of memchr.
    if (!auth && (std::memchr(body.data(), '\n', body.size()) != nullptr ||
                  std::memchr(body.data(), '\r', body.size()) != nullptr)) {
        std::replace_if(
            line.begin() + static_cast<std::ptrdiff_t>(start), line.end(),
            [](char c) { return c == '\n' || c == '\r'; }, ' ');
    }
    line += '}';
    traceLine(line);
    if (auth) {
        m_snapshot.clear();
        if (!m_lastAuthRequest.second.empty()) {
            m_snapshot.push_back(m_lastAuthRequest);
        }
        m_snapshot.emplace_back(m_messagesKept + 1, line);
    }
    keepMessage(std::move(line));
}

void BridgeLog::outgoing(const json& message)
{
    const bool auth = isAuth(message);
    std::string body = dumped(redactMessage(message));
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string line = stamp() + ",\"out\":" + body + "}";
    traceLine(line);
    if (auth) {
        m_lastAuthRequest = {m_messagesKept + 1, line};
    }
    keepMessage(std::move(line));
}

void BridgeLog::unreadable(const char* direction, std::string_view frame)
{
    const std::string text = dumped(redactUnreadable(frame.substr(0, UNREADABLE_PREFIX)));
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string line = stamp() + ",\"" + direction + "\":null,\"unreadable\":" + text + "}";
    traceLine(line);
    keepMessage(std::move(line));
}

void BridgeLog::closed(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string line = stamp() + ",\"closed\":" + dumped(reason) + "}";
    traceLine(line);
    keepMessage(std::move(line));
}

std::string BridgeLog::traceHeader() const
{
    return dumped(json{
        {"trace", TRACE_FORMAT}, {"program", m_program}, {"version", m_version}, {"started", m_started}});
}

std::vector<std::string> BridgeLog::recentMessages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recentMessages.lines();
}

KeptMessages BridgeLog::reportMessages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    KeptMessages kept;
    kept.lines = m_recentMessages.lines();
    // The number of the oldest message the memory still holds.
    const std::uint64_t first = m_messagesKept - m_recentMessages.size() + 1;
    std::vector<std::string> pinned;
    for (const auto& [number, line] : m_snapshot) {
        if (number < first) {
            pinned.push_back(line);
        }
    }
    if (!m_snapshot.empty() && m_snapshot.back().first < first) {
        kept.droppedAfterSnapshot = first - m_snapshot.back().first - 1;
    }
    kept.lines.insert(kept.lines.begin(), pinned.begin(), pinned.end());
    return kept;
}

std::vector<std::string> BridgeLog::recentStateLines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recentState.lines();
}

std::string BridgeLog::stateFile() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stateFile.path();
}

std::string BridgeLog::localNow(const char* format) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return localTime(std::time(nullptr), format);
}

std::string BridgeLog::localNowIso8601() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return nowIso8601();
}

void BridgeLog::stateLine(const char* level, const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    writeState(dated(level, line));
    traceLine(stamp() + ",\"" + (level == nullptr ? "info" : level) + "\":" + dumped(line) + "}");
}

// A file that fails is said once, where it can still be read: the bridge goes on serving the
// display either way.
void BridgeLog::writeState(const std::string& text)
{
    if (m_console != nullptr) {
        std::fprintf(m_console, "%s\n", text.c_str());
        std::fflush(m_console);
    }
    m_recentState.add(text);
    if (!m_stateFile.isOpen()) {
        return;
    }
    std::string problem;
    m_stateFile.write(text, problem);
    const bool first = !problem.empty() && !m_stateFileFailed;
    m_stateFileFailed = !problem.empty();
    if (first) {
        // Into the file too: a file that could not be renamed still takes lines.
        const std::string warning = dated("warning", problem);
        if (m_console != nullptr) {
            std::fprintf(m_console, "%s\n", warning.c_str());
        }
        std::string ignored;
        m_stateFile.write(warning, ignored);
        m_recentState.add(warning);
        traceLine(stamp() + ",\"warning\":" + dumped(problem) + "}");
    }
}

void BridgeLog::traceLine(const std::string& line)
{
    if (!m_trace.isOpen()) {
        return;
    }
    std::string problem;
    m_trace.write(line, problem);
    const bool first = !problem.empty() && !m_traceFailed;
    m_traceFailed = !problem.empty();
    if (first) {
        writeState(dated("warning", problem));
    }
}

std::string BridgeLog::dated(const char* level, const std::string& line)
{
    return localTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S") + " " +
           (level == nullptr ? "" : std::string(level) + ": ") + line;
}

void BridgeLog::keepMessage(std::string line)
{
    ++m_messagesKept;
    m_recentMessages.add(std::move(line));
}

std::string BridgeLog::stamp() const
{
    std::string text;
    appendStamp(text);
    return text;
}

void BridgeLog::appendStamp(std::string& line) const
{
    // Microseconds are enough to order the lines and to pace a replay. Written as the JSON
    // number of milliseconds with at most three decimals, from integers: a double dumped
    // costs more than the rest of an event's line.
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - m_start)
            .count();
    const auto micros = static_cast<unsigned long long>(elapsed > 0 ? elapsed : 0);
    constexpr std::string_view KEY = "{\"t_ms\":";
    char text[48];
    char* at = std::copy(KEY.begin(), KEY.end(), text);
    at = std::to_chars(at, text + sizeof text, micros / 1000).ptr;
    *at++ = '.';
    const auto fraction = static_cast<unsigned>(micros % 1000);
    const char digits[3] = {static_cast<char>('0' + fraction / 100),
                            static_cast<char>('0' + fraction / 10 % 10),
                            static_cast<char>('0' + fraction % 10)};
    // "7.600" as "7.6", "3007.000" as "3007.0".
    std::size_t kept = 3;
    while (kept > 1 && digits[kept - 1] == '0') {
        --kept;
    }
    at = std::copy(digits, digits + kept, at);
    line.append(text, static_cast<std::size_t>(at - text));
}

}  // namespace bridge
