#include "platform/autostart.h"

#include "platform/wide_text_win.h"

#include <algorithm>
#include <string>

#include <windows.h>

namespace platform {

namespace {

const wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string failure(LONG code)
{
    return "the registry refused the change (error " + std::to_string(code) + ")";
}

}  // namespace

std::string autostartPlace(const std::string& name)
{
    return "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run, value \"" + name + "\"";
}

std::optional<std::string> autostartProgram(const std::string& name)
{
    wchar_t value[2048];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, toWide(name).c_str(), RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring command(value);
    // The program is the command's first argument, quoted or not.
    if (!command.empty() && command.front() == L'"') {
        const std::size_t end = command.find(L'"', 1);
        command = command.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    } else {
        command = command.substr(0, command.find(L' '));
    }
    return fromWide(command);
}

bool enableAutostart(const AutostartEntry& entry, std::string& error)
{
    // Quoted, as a path with spaces needs: the Run key takes a whole command line.
    const std::wstring command = L"\"" + toWide(entry.program) + L"\"";
    const LONG result =
        RegSetKeyValueW(HKEY_CURRENT_USER, RUN_KEY, toWide(entry.name).c_str(), REG_SZ, command.c_str(),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) {
        error = failure(result);
        return false;
    }
    return true;
}

bool disableAutostart(const std::string& name, std::string& error)
{
    const LONG result = RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, toWide(name).c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        error = failure(result);
        return false;
    }
    return true;
}

bool samePath(const std::string& a, const std::string& b)
{
    // Windows paths compare without case, and with either separator.
    std::wstring wa = toWide(a);
    std::wstring wb = toWide(b);
    for (std::wstring* path : {&wa, &wb}) {
        std::replace(path->begin(), path->end(), L'/', L'\\');
    }
    return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                                static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace platform
