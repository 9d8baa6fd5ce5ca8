#include "platform/autostart.h"

#include "platform/user_files.h"

#include <sstream>

namespace platform {

namespace {

// An argument of a desktop entry's Exec key: quoted when it holds anything a desktop would
// split or expand, with the four characters that need it escaped inside the quotes.
std::string quotedExec(const std::string& program)
{
    if (program.find_first_of(" \t\n\"'\\><~|&;$*?#()`%=") == std::string::npos) {
        return program;
    }
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string unquotedExec(const std::string& value)
{
    if (value.size() < 2 || value.front() != '"') {
        // The program is the first argument.
        const std::size_t end = value.find(' ');
        return value.substr(0, end);
    }
    std::string program;
    for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            ++i;
        } else if (value[i] == '%' && i + 1 < value.size() && value[i + 1] == '%') {
            ++i;
        }
        program += value[i];
    }
    return program;
}

}  // namespace

std::string autostartPlace(const std::string& name)
{
    // The autostart folder sits beside the programs' own folders in the user's configuration.
    return userConfigFile("", "autostart", name + ".desktop");
}

std::optional<std::string> autostartProgram(const std::string& name)
{
    const std::string place = autostartPlace(name);
    const std::optional<std::string> contents = place.empty() ? std::nullopt : readFile(place);
    if (!contents) {
        return std::nullopt;
    }
    std::istringstream lines(*contents);
    bool inEntry = false;
    bool hidden = false;
    std::optional<std::string> program;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
        } else if (inEntry && line.rfind("Exec=", 0) == 0) {
            program = unquotedExec(line.substr(5));
        } else if (inEntry && (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")) {
            // A desktop's own switch turned the entry off.
            hidden = true;
        }
    }
    if (hidden) {
        return std::nullopt;
    }
    return program;
}

bool enableAutostart(const AutostartEntry& entry, std::string& error)
{
    const std::string place = autostartPlace(entry.name);
    if (place.empty()) {
        error = "neither XDG_CONFIG_HOME nor HOME is set";
        return false;
    }
    const std::string contents =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=" +
        entry.title +
        "\n"
        "Exec=" +
        quotedExec(entry.program) +
        "\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    return replaceFile(place, contents, error);
}

bool disableAutostart(const std::string& name, std::string& error)
{
    const std::string place = autostartPlace(name);
    if (!place.empty() && !removeFile(place)) {
        error = "cannot remove " + place;
        return false;
    }
    return true;
}

bool samePath(const std::string& a, const std::string& b)
{
    return a == b;
}

}  // namespace platform
