#pragma once
// The bridge's messages: lines for the user on the console, and with --log a file of JSON
// lines that holds every Remote Apps message in and out, the user's lines and what the mirror
// ignored. A key the client hands out never appears whole in either.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace bridge {

// What stays of a key in a log: a few of its first characters, enough to tell two keys apart.
std::string redactKey(std::string_view key);

// `message` with the key of an auth request or answer redacted.
nlohmann::json redactMessage(const nlohmann::json& message);

class BridgeLog {
public:
    // `console` receives the lines for the user; null for a program without a console.
    explicit BridgeLog(std::FILE* console) : m_console(console) {}
    ~BridgeLog();
    BridgeLog(const BridgeLog&) = delete;
    BridgeLog& operator=(const BridgeLog&) = delete;

    // Appends to `path`. False, with `error` set, when it cannot be opened.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return m_file != nullptr; }

    // A line for the user, also into the file.
    void info(const std::string& line);
    // Into the file only: what the mirror ignored and why.
    void debug(const std::string& line);
    // A message in ("in") or out ("out").
    void message(const char* direction, const nlohmann::json& message);
    // A frame that is not JSON, cut to its first bytes.
    void unreadable(const char* direction, std::string_view frame);

private:
    void write(nlohmann::json line);

    std::mutex m_mutex;
    std::FILE* m_console;
    std::FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace bridge
