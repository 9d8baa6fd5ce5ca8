#include "report.h"

#include "bridge/key_file.h"
#include "platform/user_files.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <string_view>

namespace {

// The build names its format: .zip where Explorer opens it, .tar.gz elsewhere.
constexpr std::string_view BUILD_FORMAT = G19_REPORT_ARCHIVE;

// The version of report.json's fields.
constexpr int REPORT_FORMAT = 1;

// A key shorter than this cannot be told from ordinary text, and the log shows none of it.
constexpr std::size_t SHORTEST_KEY = 5;

std::string folderOf(const std::string& file)
{
    const std::size_t separator = file.find_last_of("/\\");
    return separator == std::string::npos ? std::string(".") : file.substr(0, separator);
}

// `folder` and `name` with the separator the folder uses.
std::string joined(const std::string& folder, const std::string& name)
{
    if (folder.empty()) {
        return name;
    }
    const char separator =
        folder.find('\\') != std::string::npos && folder.find('/') == std::string::npos ? '\\' : '/';
    return folder.back() == separator || folder.back() == '/' ? folder + name : folder + separator + name;
}

// The file name without its folder and without the archive's ending.
std::string stemOf(const std::string& path)
{
    const std::size_t separator = path.find_last_of("/\\");
    std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    for (const std::string_view ending : {".tar.gz", ".tgz", ".zip"}) {
        if (name.size() > ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
            return name.substr(0, name.size() - ending.size());
        }
    }
    return name.empty() ? "g19-bridge-report" : name;
}

std::string linesOf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return text;
}

// Every occurrence of `key` in `text`, as the log would show it.
void redactKey(std::string& text, const std::string& key)
{
    const std::string shown = bridge::redactKey(key);
    for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += shown.size()) {
        text.replace(at, key.size(), shown);
    }
}

archive::Stamp stampOf(const bridge::BridgeLog& log)
{
    archive::Stamp stamp;
    stamp.unixSeconds = static_cast<std::int64_t>(std::time(nullptr));
    const std::string local = log.localNow("%Y %m %d %H %M %S");
    std::sscanf(local.c_str(), "%d %d %d %d %d %d", &stamp.year, &stamp.month, &stamp.day, &stamp.hour,
                &stamp.minute, &stamp.second);
    return stamp;
}

std::string readme(const ReportFacts& facts, const std::string& saved, std::size_t messages,
                   std::uint64_t dropped, bool previousStateLog)
{
    std::string text =
        "Kestro G19 bridge: a report\n"
        "\n"
        "g19-bridge " +
        facts.version + " saved this file on " + saved + ", on " + facts.system +
        ",\n"
        "for whoever helps you with the bridge. Send it as it is. It holds:\n"
        "\n"
        "  messages.trace  the last " +
        std::to_string(messages) +
        " messages between the bridge and the voice client's Remote Apps\n"
        "                  interface, one JSON line each, with the key cut to its first four\n"
        "                  characters; g19-bridge --replay plays them back to a display\n"
        "  state.log       what the bridge said it was doing\n";
    if (previousStateLog) {
        text += "  state.log.1     the state log before that\n";
    }
    text +=
        "  report.json     the bridge's version, the system and the state below, for programs\n"
        "\n"
        "The bridge said: " +
        facts.stateLine + "\n";
    if (dropped > 0) {
        text += "\nThe bridge keeps only its last messages: " + std::to_string(dropped) +
                " messages after the last\nsnapshot of the voice client are not in it.\n";
    }
    text +=
        "\n"
        "It holds no key and no other file of yours.\n";
    return text;
}

}  // namespace

archive::Format reportFormat()
{
    return BUILD_FORMAT == "zip" ? archive::Format::ZIP : archive::Format::TAR_GZ;
}

std::string reportPath(const std::string& requested, const bridge::BridgeLog& log, const std::string& keyFile)
{
    if (!requested.empty() && !platform::isFolder(requested)) {
        return requested;
    }
    const std::string name =
        "g19-bridge-report-" + log.localNow("%Y-%m-%d-%H%M%S") + archive::extensionOf(reportFormat());
    if (!requested.empty()) {
        return joined(requested, name);
    }
    const std::string documents = platform::userDocumentsFolder();
    return joined(documents.empty() ? folderOf(keyFile) : documents, name);
}

std::vector<archive::Entry> reportEntries(const bridge::BridgeLog& log, const ReportFacts& facts,
                                          const std::string& folder)
{
    const bridge::KeptMessages kept = log.reportMessages();
    std::vector<archive::Entry> stateLog;
    if (const std::string file = log.stateFile(); !file.empty()) {
        for (const std::string& name : {file + ".1", file}) {
            if (std::optional<std::string> contents = platform::readFile(name)) {
                stateLog.push_back({name == file ? "state.log" : "state.log.1", std::move(*contents)});
            }
        }
    } else {
        stateLog.push_back({"state.log", linesOf(log.recentStateLines())});
    }
    const std::string saved = log.localNow("%Y-%m-%d %H:%M:%S");

    nlohmann::ordered_json about = {
        {"report", REPORT_FORMAT},       {"program", "g19-bridge"},
        {"version", facts.version},      {"system", facts.system},
        {"state", facts.stateLine},      {"saved", log.localNowIso8601()},
        {"messages", kept.lines.size()}, {"droppedAfterSnapshot", kept.droppedAfterSnapshot}};

    std::vector<archive::Entry> entries;
    entries.push_back({"README.txt", readme(facts, saved, kept.lines.size(), kept.droppedAfterSnapshot,
                                            stateLog.size() > 1)});
    entries.push_back(
        {"report.json", about.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n"});
    entries.push_back({"messages.trace", log.traceHeader() + "\n" + linesOf(kept.lines)});
    for (archive::Entry& entry : stateLog) {
        entries.push_back(std::move(entry));
    }
    const std::string key = bridge::readKey(facts.keyFile);
    for (archive::Entry& entry : entries) {
        if (key.size() >= SHORTEST_KEY) {
            redactKey(entry.contents, key);
        }
        entry.name = folder + "/" + entry.name;
    }
    return entries;
}

SavedReport saveReport(const bridge::BridgeLog& log, const ReportFacts& facts, const std::string& path)
{
    SavedReport result;
    result.path = path;
    const std::string bytes =
        archive::write(reportFormat(), reportEntries(log, facts, stemOf(path)), stampOf(log));
    std::string error;
    result.ok = platform::replaceFile(path, bytes, error);
    result.line = result.ok ? "saved a report: " + path : "cannot save a report (" + error + ")";
    return result;
}
