#include "serve_loop.h"

#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include <windows.h>

namespace {

constexpr DWORD TICK_INTERVAL_MS = 1000;

HANDLE g_stopEvent = nullptr;
HANDLE g_inputEvent = nullptr;

// How long a closing console window waits for the program to stop before Windows ends it.
constexpr DWORD CLOSE_GRACE_MS = 3000;

// The console runs this on a thread of its own; it only sets the event. A second Ctrl-C
// or Ctrl-Break falls through to the default handler, which ends the process.
BOOL WINAPI onConsoleEvent(DWORD type)
{
    static LONG seen = 0;
    const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !closing) {
        return FALSE;
    }
    if (InterlockedExchange(&seen, 1) != 0) {
        return FALSE;
    }
    SetEvent(g_stopEvent);
    if (closing) {
        // Windows ends the process as soon as this returns: give the serving thread the
        // time to stop cleanly first; the process ends with it meanwhile.
        Sleep(CLOSE_GRACE_MS);
    }
    return TRUE;
}

// Lines read by the input thread, handed over to the serving thread.
struct ControlInput {
    std::mutex mutex;
    std::deque<std::string> lines;
    bool ended = false;
};

void readControlInput(ControlInput& input)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        std::lock_guard<std::mutex> lock(input.mutex);
        input.lines.push_back(std::move(line));
        SetEvent(g_inputEvent);
    }
    std::lock_guard<std::mutex> lock(input.mutex);
    input.ended = true;
    SetEvent(g_inputEvent);
}

}  // namespace

void installStopHandlers()
{
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_inputEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopReason serveUntilStopped(const ServeHooks& hooks)
{
    // The console cannot be waited on for whole lines, so a thread reads them. It may still
    // be blocked in a read when serving ends; it is left to end with the process.
    static ControlInput input;
    if (hooks.onControlLine) {
        std::thread(readControlInput, std::ref(input)).detach();
    }
    const HANDLE events[2] = {g_stopEvent, g_inputEvent};
    ULONGLONG nextTick = GetTickCount64() + TICK_INTERVAL_MS;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = now >= nextTick ? 0 : static_cast<DWORD>(nextTick - now);
        const DWORD result = WaitForMultipleObjects(2, events, FALSE, wait);
        if (result == WAIT_OBJECT_0) {
            return StopReason::SIGNAL;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            std::deque<std::string> lines;
            bool ended = false;
            {
                std::lock_guard<std::mutex> lock(input.mutex);
                lines.swap(input.lines);
                ended = input.ended;
            }
            for (const std::string& line : lines) {
                hooks.onControlLine(line);
            }
            if (ended) {
                return StopReason::END_OF_INPUT;
            }
        }
        if (GetTickCount64() >= nextTick) {
            if (hooks.onTick) {
                hooks.onTick();
            }
            nextTick = GetTickCount64() + TICK_INTERVAL_MS;
        }
    }
}
