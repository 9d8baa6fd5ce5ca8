// g19-bridgew.exe as Windows and a player handle it, under Wine with an X display: its hidden
// window found by its class, its tray icon, the menu's "Start with Windows" and "Quit", the
// WM_CLOSE that taskkill sends, the end of the session, and a second copy. Every stop must end
// the program within 2 s, with exit code 0 and its "stopping" line in the log beside the key
// file. No voice client runs: the bridge stays unreachable, which the stops must not mind.

#include "tray_commands.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto STOP_BOUND = std::chrono::seconds(2);
constexpr auto SECOND_COPY_BOUND = std::chrono::seconds(3);
// Wine starts a program in a second or two; a machine shared by several builds takes longer.
constexpr auto START_BOUND = std::chrono::seconds(30);

constexpr wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The Run value the players' guide names.
constexpr wchar_t RUN_VALUE[] = L"g19-bridge";
// The tray icon's ID beside the bridge's window.
constexpr UINT TRAY_ICON_ID = 1;

std::wstring widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), static_cast<int>(wide.size()))));
    return wide;
}

// A path as Windows compares them: one separator, one case.
std::wstring comparable(std::wstring path)
{
    for (wchar_t& c : path) {
        c = c == L'/' ? L'\\' : static_cast<wchar_t>(towlower(c));
    }
    return path;
}

std::optional<std::wstring> runValue()
{
    wchar_t value[2048];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(value);
}

// Whether the notification area holds an icon of the window: changing nothing of an icon
// succeeds only for one it has.
bool hasTrayIcon(HWND window)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = TRAY_ICON_ID;
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// A folder of the test's own for a bridge's key file and its log.
class Folder {
public:
    Folder()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int count = 0;
        m_path = std::wstring(temp) + L"g19-bridge-tray-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++count);
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~Folder()
    {
        // The key file, the log and the rotated log; nothing else is written here.
        for (const wchar_t* name : {L"\\remote-apps.key", L"\\g19-bridge.log", L"\\g19-bridge.log.1"}) {
            DeleteFileW((m_path + name).c_str());
        }
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring keyFile() const { return m_path + L"\\remote-apps.key"; }

    std::string log() const
    {
        std::string text;
        if (std::FILE* file = _wfopen((m_path + L"\\g19-bridge.log").c_str(), L"rb")) {
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
                text.append(buffer, n);
            }
            std::fclose(file);
        }
        return text;
    }
    int countLines(const std::string& ending) const
    {
        std::istringstream lines(log());
        int count = 0;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            count += line.size() >= ending.size() &&
                     line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
        }
        return count;
    }

private:
    std::wstring m_path;
};

// One g19-bridgew.exe, killed at the end of the test if it is still running.
class Bridgew {
public:
    Bridgew(const Folder& folder)
    {
        // Nothing listens on the discard port: the voice client stays unreachable.
        std::wstring command = L"\"" + program() + L"\" --key-file \"" + folder.keyFile() +
                               L"\" --remote-apps ws://127.0.0.1:9 --display-port 0";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        m_started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_process) != FALSE;
    }
    ~Bridgew()
    {
        if (m_started) {
            if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(m_process.hProcess, 99);
                WaitForSingleObject(m_process.hProcess, 5000);
            }
            CloseHandle(m_process.hThread);
            CloseHandle(m_process.hProcess);
        }
    }

    static std::wstring program() { return widen(G19_BRIDGEW_PATH); }

    // The bridge's window, once it has one; null when none comes within the bound or the
    // program ended.
    HWND window()
    {
        const Clock::time_point deadline = Clock::now() + START_BOUND;
        while (m_started && m_window == nullptr && Clock::now() < deadline && running()) {
            EnumWindows(&Bridgew::match, reinterpret_cast<LPARAM>(this));
            if (m_window == nullptr) {
                Sleep(50);
            }
        }
        return m_window;
    }

    bool running() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }

    // The exit code, when the program ends within `bound`.
    std::optional<DWORD> exitWithin(Clock::duration bound) const
    {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bound).count();
        if (!m_started || WaitForSingleObject(m_process.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

private:
    static BOOL CALLBACK match(HWND window, LPARAM self)
    {
        auto* bridge = reinterpret_cast<Bridgew*>(self);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        wchar_t name[64] = L"";
        GetClassNameW(window, name, 64);
        if (process == bridge->m_process.dwProcessId && std::wstring(name) == TRAY_WINDOW_CLASS) {
            bridge->m_window = window;
            return FALSE;
        }
        return TRUE;
    }

    PROCESS_INFORMATION m_process{};
    bool m_started = false;
    HWND m_window = nullptr;
};

// Another program's icon in the notification area for the whole run, as a desktop has. Wine's
// explorer, without a window manager, hides its tray when the last icon goes, and takes 2 s
// to do so, which the bridge would wait for as it takes its icon away.
class NeighbourIcon : public testing::Environment {
public:
    void SetUp() override
    {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KestroG19TrayTestNeighbour";
        RegisterClassExW(&windowClass);
        m_window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                   nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(m_window, nullptr) << "no window under Wine: is there an X display?";
        NOTIFYICONDATAW data = icon();
        data.uFlags = NIF_ICON;
        data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
        ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &data)) << "Wine's explorer keeps no notification area";
    }
    void TearDown() override
    {
        NOTIFYICONDATAW data = icon();
        Shell_NotifyIconW(NIM_DELETE, &data);
        DestroyWindow(m_window);
    }

private:
    NOTIFYICONDATAW icon() const
    {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = m_window;
        data.uID = 1;
        return data;
    }
    HWND m_window = nullptr;
};
testing::Environment* const NEIGHBOUR = testing::AddGlobalTestEnvironment(new NeighbourIcon);

class BridgeTray : public testing::Test {
protected:
    void SetUp() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE); }
    void TearDown() override
    {
        // A Run value left behind would start the bridge with every session of this prefix.
        RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
        if (HasFailure()) {
            std::cerr << "the bridge's log:\n" << m_folder.log();
        }
    }

    // Stops the bridge with `stop`, and checks the way every stop must end.
    void expectCleanStop(Bridgew& bridge, const std::function<void(HWND)>& stop)
    {
        HWND window = bridge.window();
        ASSERT_NE(window, nullptr) << "no window of class KestroG19BridgeWindow";
        const Clock::time_point started = Clock::now();
        stop(window);
        const std::optional<DWORD> code = bridge.exitWithin(STOP_BOUND + std::chrono::seconds(5));
        const auto took = Clock::now() - started;
        ASSERT_TRUE(code.has_value()) << "still running 7 s after the stop";
        EXPECT_EQ(*code, 0u);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        EXPECT_LE(took, STOP_BOUND) << ms << " ms";
        std::cout << "stopped and exited in " << ms << " ms\n";
        EXPECT_EQ(m_folder.countLines(" stopping"), 1);
        EXPECT_EQ(m_folder.countLines(" stopped"), 1);
    }

    Folder m_folder;
};

TEST_F(BridgeTray, ShowsItsIconAndBringsItBackWhenTheTaskbarReturns)
{
    Bridgew bridge(m_folder);
    HWND window = bridge.window();
    ASSERT_NE(window, nullptr);
    const Clock::time_point deadline = Clock::now() + START_BOUND;
    while (!hasTrayIcon(window) && Clock::now() < deadline) {
        Sleep(50);
    }
    ASSERT_TRUE(hasTrayIcon(window));
    EXPECT_EQ(m_folder.log().find("no notification area"), std::string::npos);

    // Explorer that starts again has lost every icon, and says so to every top-level window.
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = TRAY_ICON_ID;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
    ASSERT_FALSE(hasTrayIcon(window));
    SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(hasTrayIcon(window));
}

TEST_F(BridgeTray, StartWithWindowsWritesTheRunValueAndRemovesIt)
{
    Bridgew bridge(m_folder);
    HWND window = bridge.window();
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(runValue());

    SendMessageW(window, WM_COMMAND, TRAY_COMMAND_AUTOSTART, 0);
    const std::optional<std::wstring> value = runValue();
    ASSERT_TRUE(value) << "no Run value after the first click";
    // The full path of g19-bridgew.exe, quoted.
    EXPECT_EQ(comparable(*value), comparable(L"\"" + Bridgew::program() + L"\""));

    // Ticked now, so the second click turns it off.
    SendMessageW(window, WM_COMMAND, TRAY_COMMAND_AUTOSTART, 0);
    EXPECT_FALSE(runValue()) << "the Run value stayed after the second click";

    expectCleanStop(bridge, [](HWND w) { PostMessageW(w, WM_CLOSE, 0, 0); });
}

TEST_F(BridgeTray, StopsOnTheCloseThatTaskkillSends)
{
    Bridgew bridge(m_folder);
    expectCleanStop(bridge, [](HWND w) { PostMessageW(w, WM_CLOSE, 0, 0); });
    // The icon went with it.
    EXPECT_FALSE(hasTrayIcon(bridge.window()));
}

TEST_F(BridgeTray, StopsOnQuit)
{
    Bridgew bridge(m_folder);
    expectCleanStop(bridge, [](HWND w) { PostMessageW(w, WM_COMMAND, TRAY_COMMAND_QUIT, 0); });
}

TEST_F(BridgeTray, HasStoppedWhenTheEndOfTheSessionIsAnswered)
{
    Bridgew bridge(m_folder);
    expectCleanStop(bridge, [this](HWND w) {
        DWORD_PTR answer = 0;
        ASSERT_NE(
            SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer), 0);
        EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "the bridge refused the end of the session";
        ASSERT_NE(SendMessageTimeoutW(w, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer),
                  0);
        // Windows may end the process now: the bridge has stopped, and its log says so.
        EXPECT_EQ(m_folder.countLines(" stopped"), 1)
            << "the end of the session was answered before the stop";
    });
}

TEST_F(BridgeTray, SavesAReportIntoTheDocumentsFolderFromTheMenu)
{
    Bridgew bridge(m_folder);
    HWND window = bridge.window();
    ASSERT_NE(window, nullptr);
    SendMessageW(window, WM_COMMAND, TRAY_COMMAND_SAVE_REPORT, 0);
    // The log says where, as the notification does.
    const std::string log = m_folder.log();
    const std::string saved = "saved a report: ";
    const std::size_t at = log.find(saved);
    ASSERT_NE(at, std::string::npos) << log;
    std::string path = log.substr(at + saved.size(), log.find_first_of("\r\n", at) - at - saved.size());
    const std::wstring file = widen(path);
    wchar_t* documents = nullptr;
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents), S_OK);
    EXPECT_EQ(comparable(file).rfind(comparable(documents), 0), 0u) << path;
    CoTaskMemFree(documents);
    // One zip archive.
    char head[4] = {};
    if (std::FILE* report = _wfopen(file.c_str(), L"rb")) {
        std::fread(head, 1, sizeof head, report);
        std::fclose(report);
    }
    EXPECT_EQ(std::string(head, 4), std::string("PK\x03\x04", 4)) << path;
    DeleteFileW(file.c_str());
    expectCleanStop(bridge, [](HWND w) { PostMessageW(w, WM_CLOSE, 0, 0); });
}

TEST_F(BridgeTray, ASecondCopyExits3AndTheFirstShowsIt)
{
    Bridgew first(m_folder);
    ASSERT_NE(first.window(), nullptr);
    const Clock::time_point started = Clock::now();
    Bridgew second(m_folder);
    const std::optional<DWORD> code = second.exitWithin(SECOND_COPY_BOUND + std::chrono::seconds(10));
    const auto took = Clock::now() - started;
    ASSERT_TRUE(code.has_value()) << "the second copy still runs";
    EXPECT_EQ(*code, 3u);
    EXPECT_LE(took, SECOND_COPY_BOUND)
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_TRUE(first.running());
    // The first copy's notification, which its log has too; the second wrote nothing there.
    EXPECT_EQ(m_folder.countLines(" already running; its icon is in the notification area"), 1);
    EXPECT_EQ(m_folder.countLines(" started: connecting to the voice client at ws://127.0.0.1:9"), 1);
    expectCleanStop(first, [](HWND w) { PostMessageW(w, WM_CLOSE, 0, 0); });
}

}  // namespace
