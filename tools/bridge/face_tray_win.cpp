#include "bridge/bridge_host.h"
#include "face.h"
#include "platform/wide_text_win.h"
#include "tray_commands.h"
#include "tray_resources.h"

#include <windows.h>

#include <shellapi.h>

#include <array>
#include <cwctype>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace {

// Posted by the status observer and by notify(), on whatever thread reported.
constexpr UINT WM_BRIDGE_STATUS = WM_APP + 1;
// What the notification area sends about the icon: clicks, the context menu key.
constexpr UINT WM_TRAY_ICON = WM_APP + 2;
constexpr UINT TRAY_ICON_ID = 1;

// The icon of each bridge::Icon, in the enum's order.
constexpr std::array<int, 5> ICON_RESOURCES = {G19_ICON_CONNECTED, G19_ICON_WAITING, G19_ICON_REFUSED,
                                               G19_ICON_UNREACHABLE, G19_ICON_PORT_HELD};

// `text` in a fixed field of `size` characters with its end: cut short with an ellipsis.
template <std::size_t N>
void copyText(wchar_t (&field)[N], const std::string& text)
{
    std::wstring wide = platform::toWide(text);
    if (wide.size() >= N) {
        wide.resize(N - 2);
        // Not half of a surrogate pair.
        if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) {
            wide.pop_back();
        }
        wide += L'\u2026';
    }
    wide.copy(field, N - 1);
    field[wide.size()] = L'\0';
}

// A menu item's text: "&" would underline the next letter.
std::wstring menuText(const std::string& text)
{
    std::wstring result;
    for (const wchar_t c : platform::toWide(text)) {
        result += c;
        if (c == L'&') {
            result += L'&';
        }
    }
    return result;
}

// What the other threads hand the window: it outlives the face, because the status model
// keeps its observer until the end of the program.
struct Mailbox {
    std::mutex mutex;
    HWND window = nullptr;
    // The notification to show next; a newer one replaces one not yet shown.
    std::optional<std::string> notification;

    void post(std::optional<std::string> text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (text) {
            notification = std::move(text);
        }
        if (window != nullptr) {
            PostMessageW(window, WM_BRIDGE_STATUS, 0, 0);
        }
    }
    std::optional<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(notification, std::nullopt);
    }
};

class TrayFace : public Face {
public:
    TrayFace(bridge::StatusModel& status, bridge::BridgeLog& log, FaceActions actions)
        : m_status(status), m_log(log), m_actions(std::move(actions)), m_mailbox(std::make_shared<Mailbox>())
    {
        // Before the session starts: a change that asks the user to act before the window
        // exists waits in the mailbox for it.
        m_status.observe([mailbox = m_mailbox](const bridge::Status& status, bool notify) {
            mailbox->post(notify ? std::optional<std::string>(status.line) : std::nullopt);
        });
    }

    void run() override
    {
        if (!createWindow()) {
            // Wine without a desktop, say: no window, so no tray and no message that stops it.
            m_log.warning("cannot make the bridge's window (error " + std::to_string(GetLastError()) +
                          "), so it shows no icon; it goes on serving the display until its process ends");
            Sleep(INFINITE);
        }
        loadIcons();
        m_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
        // Explorer tells a program started as administrator too that the taskbar is back.
        ChangeWindowMessageFilterEx(m_window, m_taskbarCreated, MSGFLT_ALLOW, nullptr);
        addIcon();
        {
            std::lock_guard<std::mutex> lock(m_mailbox->mutex);
            m_mailbox->window = m_window;
        }
        // The changes since the icon was added, and a notification that waited.
        m_mailbox->post(std::nullopt);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // From the channel's thread: a second copy was started, say.
    void notify(const std::string& text) override
    {
        m_log.state(text);
        m_mailbox->post(text);
    }

private:
    bool createWindow()
    {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &TrayFace::windowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = TRAY_WINDOW_CLASS;
        if (RegisterClassExW(&windowClass) == 0) {
            return false;
        }
        // A top-level window, never shown: a message-only window would not get WM_CLOSE from
        // taskkill, nor the messages of the session's end.
        m_window = CreateWindowExW(0, TRAY_WINDOW_CLASS, L"Kestro G19 bridge", WS_OVERLAPPED, 0, 0, 0, 0,
                                   nullptr, nullptr, windowClass.hInstance, this);
        return m_window != nullptr;
    }

    void loadIcons()
    {
        // The size the notification area draws at, which the manifest's awareness of the
        // screen's scale makes the real one: each .ico holds a picture drawn for it.
        const int width = GetSystemMetrics(SM_CXSMICON);
        const int height = GetSystemMetrics(SM_CYSMICON);
        for (std::size_t i = 0; i < ICON_RESOURCES.size(); ++i) {
            if (m_icons[i] != nullptr) {
                DestroyIcon(m_icons[i]);
            }
            m_icons[i] =
                static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(ICON_RESOURCES[i]),
                                              IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
        }
    }

    NOTIFYICONDATAW iconData(UINT flags) const
    {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = m_window;
        data.uID = TRAY_ICON_ID;
        data.uFlags = flags;
        return data;
    }

    // The icon, its tooltip and its picture for the status of now.
    void fillStatus(NOTIFYICONDATAW& data) const
    {
        const bridge::Status status = m_status.current();
        data.hIcon = m_icons[static_cast<std::size_t>(status.icon)];
        copyText(data.szTip, bridge::tooltipOf(status));
    }

    void addIcon()
    {
        NOTIFYICONDATAW data = iconData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
        data.uCallbackMessage = WM_TRAY_ICON;
        fillStatus(data);
        // Explorer that is slow to answer, at the start of a session, may add the icon and
        // still report a failure: then the icon is there to change.
        m_iconShown =
            Shell_NotifyIconW(NIM_ADD, &data) != FALSE || Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
        if (!m_iconShown) {
            if (!m_noTraySaid) {
                m_noTraySaid = true;
                m_log.warning(
                    "there is no notification area to show the bridge's icon in; it goes on serving the "
                    "display, and this log shows its state");
            }
            return;
        }
        if (m_noTraySaid) {
            m_log.state("the bridge's icon is in the notification area now");
            m_noTraySaid = false;
        }
        // Clicks arrive as NIN_SELECT and WM_CONTEXTMENU, the keyboard's too.
        data.uVersion = NOTIFYICON_VERSION;
        m_version3 = Shell_NotifyIconW(NIM_SETVERSION, &data) != FALSE;
    }

    void removeIcon()
    {
        if (m_iconShown) {
            NOTIFYICONDATAW data = iconData(0);
            Shell_NotifyIconW(NIM_DELETE, &data);
            m_iconShown = false;
        }
    }

    void showStatus()
    {
        if (!m_iconShown) {
            return;
        }
        NOTIFYICONDATAW data = iconData(NIF_ICON | NIF_TIP);
        fillStatus(data);
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }

    // A notification beside the icon. Without one, the log has the line.
    void showNotification(const std::string& text)
    {
        if (!m_iconShown) {
            return;
        }
        NOTIFYICONDATAW data = iconData(NIF_INFO);
        copyText(data.szInfoTitle, bridge::PROGRAM_TITLE);
        copyText(data.szInfo, text);
        data.dwInfoFlags = NIIF_INFO;
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }

    void showMenu()
    {
        if (m_menuOpen) {
            return;
        }
        m_menuOpen = true;
        const bridge::Status status = m_status.current();
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING | MF_GRAYED, TRAY_COMMAND_STATE, menuText(status.line).c_str());
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING | (m_actions.autostartEnabled() ? MF_CHECKED : MF_UNCHECKED),
                    TRAY_COMMAND_AUTOSTART, L"Start with Windows");
        // A press goes nowhere before the voice client allowed the bridge: the state line
        // above says what to do first.
        HMENU presses = CreatePopupMenu();
        for (std::size_t i = 0; i < bridge::BUTTONS.size(); ++i) {
            std::wstring action = menuText(bridge::actionOfButton(bridge::BUTTONS[i]));
            action[0] = static_cast<wchar_t>(std::towupper(action[0]));
            AppendMenuW(presses, MF_STRING, TRAY_COMMAND_PRESS + i, action.c_str());
        }
        AppendMenuW(menu, MF_POPUP | (status.state == bridge::State::CONNECTED ? MF_ENABLED : MF_GRAYED),
                    reinterpret_cast<UINT_PTR>(presses), L"Press a button for a key binding");
        if (m_actions.saveReport) {
            AppendMenuW(menu, MF_STRING, TRAY_COMMAND_SAVE_REPORT, L"Save a report\u2026");
        }
        AppendMenuW(menu, MF_STRING | (m_actions.logFile.empty() ? MF_GRAYED : MF_ENABLED),
                    TRAY_COMMAND_OPEN_LOG, L"Open log");
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, TRAY_COMMAND_QUIT, L"Quit");

        // The menu closes when the user clicks elsewhere only if its window is in front, and
        // opens a second time only after a message follows its end.
        POINT cursor{};
        GetCursorPos(&cursor);
        SetForegroundWindow(m_window);
        TrackPopupMenuEx(menu,
                         TPM_RIGHTBUTTON | (GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : 0),
                         cursor.x, cursor.y, m_window, nullptr);
        PostMessageW(m_window, WM_NULL, 0, 0);
        DestroyMenu(menu);
        m_menuOpen = false;
    }

    void command(HWND window, unsigned id)
    {
        if (id == TRAY_COMMAND_AUTOSTART) {
            const bool on = !m_actions.autostartEnabled();
            const std::string line = m_actions.setAutostart(on);
            // The check mark shows a change that worked; a refusal is said.
            if (m_actions.autostartEnabled() != on) {
                showNotification(line);
            }
        } else if (id == TRAY_COMMAND_SAVE_REPORT && m_actions.saveReport) {
            showNotification(m_actions.saveReport());
        } else if (id == TRAY_COMMAND_OPEN_LOG && !m_actions.logFile.empty()) {
            openLog();
        } else if (id == TRAY_COMMAND_QUIT) {
            quit(window);
        } else if (id >= TRAY_COMMAND_PRESS && id < TRAY_COMMAND_PRESS + bridge::BUTTONS.size()) {
            const char* button = bridge::BUTTONS[id - TRAY_COMMAND_PRESS];
            const std::string line = std::string("click the key field of \"") +
                                     bridge::actionOfButton(button) +
                                     "\" in the voice client now; the bridge presses in " +
                                     std::to_string(BINDING_PRESS_DELAY.count()) + " seconds";
            m_log.state(line);
            showNotification(line);
            m_actions.pressForBinding(button);
        }
    }

    void openLog()
    {
        const auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(
            m_window, L"open", platform::toWide(m_actions.logFile).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
        if (result <= 32) {
            const std::string line =
                "cannot open the log " + m_actions.logFile + " (error " + std::to_string(result) + ")";
            m_log.warning(line);
            showNotification(line);
        }
    }

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* face = reinterpret_cast<TrayFace*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (face == nullptr) {
            return DefWindowProcW(window, message, wParam, lParam);
        }
        return face->handle(window, message, wParam, lParam);
    }

    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == m_taskbarCreated && m_taskbarCreated != 0) {
            // Explorer started again, or late: the icon it had is gone. It says so too when the
            // screen's scale changed, which asks for pictures of another size.
            loadIcons();
            m_iconShown = false;
            addIcon();
            return 0;
        }
        switch (message) {
            case WM_BRIDGE_STATUS:
                showStatus();
                if (const std::optional<std::string> text = m_mailbox->take()) {
                    showNotification(*text);
                }
                return 0;
            case WM_TRAY_ICON:
                trayEvent(static_cast<UINT>(lParam));
                return 0;
            case WM_COMMAND:
                command(window, LOWORD(wParam));
                return 0;
            case WM_CLOSE:
                // taskkill without /F, and a program that closes the bridge's window.
                quit(window);
                return 0;
            case WM_DESTROY:
                removeIcon();
                {
                    std::lock_guard<std::mutex> lock(m_mailbox->mutex);
                    m_mailbox->window = nullptr;
                }
                PostQuitMessage(0);
                return 0;
            case WM_QUERYENDSESSION:
                return TRUE;
            case WM_ENDSESSION:
                // Windows may end the process as soon as this returns: the bridge has stopped
                // before, and its log says so.
                if (wParam != FALSE) {
                    quit(window);
                }
                return 0;
            default:
                return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    // The bridge stops first: taking the icon away waits for Explorer, which may be slow to
    // answer (Wine's, without a window manager, takes 2 s to hide its last icon).
    void quit(HWND window)
    {
        m_actions.stop();
        DestroyWindow(window);
    }

    void trayEvent(UINT event)
    {
        // A left click opens the menu too: it holds everything there is to do.
        if (m_version3 ? (event == WM_CONTEXTMENU || event == NIN_SELECT || event == NIN_KEYSELECT)
                       : (event == WM_RBUTTONUP || event == WM_LBUTTONUP)) {
            showMenu();
        }
    }

    bridge::StatusModel& m_status;
    bridge::BridgeLog& m_log;
    FaceActions m_actions;
    std::shared_ptr<Mailbox> m_mailbox;
    HWND m_window = nullptr;
    UINT m_taskbarCreated = 0;
    std::array<HICON, ICON_RESOURCES.size()> m_icons{};
    bool m_iconShown = false;
    bool m_noTraySaid = false;
    bool m_version3 = false;
    bool m_menuOpen = false;
};

}  // namespace

bool faceHasConsole()
{
    return false;
}

std::unique_ptr<Face> makeFace(bridge::StatusModel& status, bridge::BridgeLog& log, FaceActions actions)
{
    return std::make_unique<TrayFace>(status, log, std::move(actions));
}
