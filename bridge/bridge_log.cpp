#include "bridge/bridge_log.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace bridge {

namespace {

// How much of a frame that is not JSON the log keeps.
constexpr std::size_t UNREADABLE_PREFIX = 256;

}  // namespace

std::string redactKey(std::string_view key)
{
    if (key.empty()) {
        return "";
    }
    // Short keys show nothing of themselves; long ones their first four characters.
    return std::string(key.substr(0, key.size() >= 16 ? 4 : 0)) + "...(redacted)";
}

nlohmann::json redactMessage(const nlohmann::json& message)
{
    if (!message.is_object() || message.value("type", nlohmann::json()) != "auth") {
        return message;
    }
    nlohmann::json copy = message;
    const auto redact = [](nlohmann::json& holder) {
        if (holder.is_object() && holder.contains("apiKey") && holder["apiKey"].is_string()) {
            holder["apiKey"] = redactKey(holder["apiKey"].get<std::string>());
        }
    };
    if (copy.contains("payload") && copy["payload"].is_object()) {
        nlohmann::json& payload = copy["payload"];
        redact(payload);
        if (payload.contains("content")) {
            redact(payload["content"]);
        }
    }
    return copy;
}

BridgeLog::~BridgeLog()
{
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

bool BridgeLog::open(const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Binary, so that the lines end in "\n" on every system.
    m_file = std::fopen(path.c_str(), "ab");
    if (m_file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void BridgeLog::info(const std::string& line)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_console != nullptr) {
            std::fprintf(m_console, "bridge: %s\n", line.c_str());
            std::fflush(m_console);
        }
    }
    write({{"info", line}});
}

void BridgeLog::debug(const std::string& line)
{
    write({{"debug", line}});
}

void BridgeLog::message(const char* direction, const nlohmann::json& message)
{
    if (m_file != nullptr) {
        write({{direction, redactMessage(message)}});
    }
}

void BridgeLog::unreadable(const char* direction, std::string_view frame)
{
    write({{direction, nullptr}, {"unreadable", std::string(frame.substr(0, UNREADABLE_PREFIX))}});
}

void BridgeLog::write(nlohmann::json line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) {
        return;
    }
    const double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    nlohmann::json stamped = {{"t_ms", std::round(elapsed * 1000.0) / 1000.0}};
    stamped.update(line);
    // Texts from the wire are bytes in no promised encoding.
    const std::string text = stamped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(text.c_str(), m_file);
    std::fputc('\n', m_file);
    std::fflush(m_file);
}

}  // namespace bridge
