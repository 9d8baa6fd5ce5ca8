#include "face.h"

#include "platform/wide_text_win.h"

#include <windows.h>

namespace {

// The hidden window's class: what taskkill, the end of the session and the tests find.
constexpr wchar_t WINDOW_CLASS[] = L"KestroG19BridgeWindow";

// Posted by the status observer, on whatever thread reported the change.
constexpr UINT WM_BRIDGE_STATUS = WM_APP + 1;

class TrayFace : public Face {
public:
    TrayFace(bridge::StatusModel& status, bridge::BridgeLog& log, FaceActions actions)
        : m_status(status), m_log(log), m_actions(std::move(actions))
    {
    }

    void run() override
    {
        if (!createWindow()) {
            m_log.error("cannot make the bridge's window (error " + std::to_string(GetLastError()) +
                        "); it goes on serving the display, but only the end of its process stops it");
            Sleep(INFINITE);
        }
        m_status.observe(
            [this](const bridge::Status&, bool) { PostMessageW(m_window, WM_BRIDGE_STATUS, 0, 0); });
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    void notify(const std::string& text) override { m_log.state(text); }

private:
    bool createWindow()
    {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &TrayFace::windowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = WINDOW_CLASS;
        if (RegisterClassExW(&windowClass) == 0) {
            return false;
        }
        // A top-level window, never shown: a message-only window would not get WM_CLOSE from
        // taskkill, nor the messages of the session's end.
        m_window = CreateWindowExW(0, WINDOW_CLASS, L"Kestro G19 bridge", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                   nullptr, windowClass.hInstance, this);
        return m_window != nullptr;
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
        switch (message) {
            case WM_CLOSE:
                // taskkill without /F, and a program that closes the bridge's window.
                DestroyWindow(window);
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            case WM_QUERYENDSESSION:
                return TRUE;
            case WM_ENDSESSION:
                // Windows ends the process once this returns: the bridge stops before.
                if (wParam != FALSE) {
                    m_actions.stop();
                }
                return 0;
            default:
                return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    bridge::StatusModel& m_status;
    bridge::BridgeLog& m_log;
    FaceActions m_actions;
    HWND m_window = nullptr;
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
