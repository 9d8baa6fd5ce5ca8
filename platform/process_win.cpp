#include "platform/process.h"

#include "platform/wide_text_win.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace platform {

std::string executableDirectory()
{
    // The narrow form, as the plug-in loader opens libraries by narrow name.
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    const std::string file(path, length);
    const std::size_t separator = file.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : file.substr(0, separator + 1);
}

unsigned long processId()
{
    return GetCurrentProcessId();
}

std::string executablePath()
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return {};
    }
    path.resize(length);
    return fromWide(path);
}

std::string systemDescription()
{
    // GetVersionEx answers what the program's manifest claims; the system's own library says
    // what runs.
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion =
        ntdll != nullptr
            ? reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (getVersion == nullptr || getVersion(&info) != 0) {
        return "Windows";
    }
    std::string text = "Windows " + std::to_string(info.dwMajorVersion) + "." +
                       std::to_string(info.dwMinorVersion) + "." + std::to_string(info.dwBuildNumber);
    // Wine says so, for a report from a player who runs the bridge under it.
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        using WineVersion = const char*(__cdecl*)();
        const auto wineVersion =
            reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
        text += std::string(" (Wine ") + wineVersion() + ")";
    }
    return text;
}

void useUtf8Console()
{
    SetConsoleOutputCP(CP_UTF8);
}

void useBinaryStandardOutput()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool standardOutputIsColourTerminal()
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
        return false;  // a file or a pipe
    }
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace platform
