#include "platform/local_channel.h"

#include "platform/wide_text_win.h"

#include <algorithm>
#include <string>
#include <thread>

#include <windows.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long the running copy waits for a request's line once a copy has connected.
constexpr DWORD REQUEST_TIME_MS = 2000;

std::string lastError()
{
    return "error " + std::to_string(GetLastError());
}

std::wstring pipeName(const std::string& place)
{
    return L"\\\\.\\pipe\\" + toWide(place);
}

// One overlapped operation on `handle`, waited for together with `stop` (if any), at most
// `timeoutMs`. The number of bytes moved; nothing on a stop, a time-out or a failure.
bool finish(HANDLE handle, OVERLAPPED& overlapped, BOOL started, HANDLE stop, DWORD timeoutMs, DWORD& moved)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    const HANDLE events[2] = {overlapped.hEvent, stop};
    const DWORD result = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeoutMs);
    if (result != WAIT_OBJECT_0) {
        CancelIo(handle);
        GetOverlappedResult(handle, &overlapped, &moved, TRUE);
        return false;
    }
    return GetOverlappedResult(handle, &overlapped, &moved, FALSE) != 0;
}

bool writeAll(HANDLE pipe, HANDLE event, HANDLE stop, std::string_view bytes)
{
    while (!bytes.empty()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD written = 0;
        const BOOL started =
            WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        if (!finish(pipe, overlapped, started, stop, REQUEST_TIME_MS, written) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

std::string localChannelPlace(std::string_view name, std::string_view, const std::string&)
{
    // A name of the user's session: the mutex lives in the session's own namespace, and the
    // pipe's name carries the session and the user.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    wchar_t user[257];
    DWORD length = 257;
    if (!GetUserNameW(user, &length)) {
        return "";
    }
    std::string place(name);
    place += "-" + std::to_string(session) + "-";
    for (DWORD i = 0; i + 1 < length; ++i) {
        // Only letters and digits of the name: a pipe's or a mutex's name takes no backslash.
        const wchar_t c = user[i];
        place +=
            (c < 128 && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')))
                ? static_cast<char>(c)
                : '_';
    }
    return place;
}

InstanceLock::~InstanceLock()
{
    if (m_handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    }
}

InstanceLock::Result InstanceLock::acquire(const std::string& place, std::string& error)
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, (L"Local\\" + toWide(place)).c_str());
    if (mutex == nullptr) {
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            return Result::HELD_BY_ANOTHER;
        }
        error = "cannot make the mutex " + place + ": " + lastError();
        return Result::FAILED;
    }
    // The system lets the mutex go with the last process that holds a handle to it.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Result::HELD_BY_ANOTHER;
    }
    m_handle = reinterpret_cast<std::intptr_t>(mutex);
    return Result::ACQUIRED;
}

struct LocalChannelServer::Impl {
    std::wstring name;
    HANDLE stopEvent = nullptr;
    HANDLE ioEvent = nullptr;
    Handler handler;
    std::thread thread;

    HANDLE makePipe(bool first) const
    {
        // One client at a time; another waits for the pipe (WaitNamedPipe), as requests are
        // answered one after another anyway.
        return CreateNamedPipeW(
            name.c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096, 0,
            nullptr);
    }

    void serve(HANDLE pipe)
    {
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = ioEvent;
            const BOOL started = ConnectNamedPipe(pipe, &overlapped);
            DWORD ignored = 0;
            const bool connected = GetLastError() == ERROR_PIPE_CONNECTED ||
                                   finish(pipe, overlapped, started, stopEvent, INFINITE, ignored);
            if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
                break;
            }
            if (connected) {
                answer(pipe);
                FlushFileBuffers(pipe);
            }
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    }

    void answer(HANDLE pipe)
    {
        std::string request;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(REQUEST_TIME_MS);
        while (request.find('\n') == std::string::npos && request.size() < 4096) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return;
            }
            char buffer[512];
            OVERLAPPED overlapped{};
            overlapped.hEvent = ioEvent;
            DWORD count = 0;
            const BOOL started = ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped);
            if (!finish(pipe, overlapped, started, stopEvent, static_cast<DWORD>(left), count) ||
                count == 0) {
                return;
            }
            request.append(buffer, count);
        }
        request.erase(std::min(request.find('\n'), request.size()));
        handler(request, [this, pipe](const std::string& line) {
            return writeAll(pipe, ioEvent, stopEvent, line + "\n");
        });
    }
};

LocalChannelServer::LocalChannelServer() : m_impl(std::make_unique<Impl>()) {}

LocalChannelServer::~LocalChannelServer()
{
    stop();
}

bool LocalChannelServer::start(const std::string& place, Handler handler, std::string& error)
{
    Impl& impl = *m_impl;
    impl.name = pipeName(place);
    const HANDLE pipe = impl.makePipe(true);
    if (pipe == INVALID_HANDLE_VALUE) {
        error = "cannot serve the pipe of " + place + ": " + lastError();
        return false;
    }
    impl.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl.ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl.handler = std::move(handler);
    impl.thread = std::thread([&impl, pipe] { impl.serve(pipe); });
    return true;
}

void LocalChannelServer::stop()
{
    Impl& impl = *m_impl;
    if (impl.stopEvent != nullptr) {
        SetEvent(impl.stopEvent);
    }
    if (impl.thread.joinable()) {
        impl.thread.join();
    }
    for (HANDLE* event : {&impl.stopEvent, &impl.ioEvent}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

bool localRequest(const std::string& place, const std::string& request,
                  const std::function<void(const std::string& line)>& onLine,
                  std::chrono::milliseconds timeout, std::string& error)
{
    const std::wstring name = pipeName(place);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD failure = GetLastError();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        // Busy: another copy's request is being answered.
        if (failure != ERROR_PIPE_BUSY || left <= 0 ||
            !WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left))) {
            error =
                failure == ERROR_FILE_NOT_FOUND ? "no copy is running" : "error " + std::to_string(failure);
            return false;
        }
    }
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ended = false;
    if (writeAll(pipe, event, nullptr, request + "\n")) {
        std::string pending;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            char buffer[4096];
            OVERLAPPED overlapped{};
            overlapped.hEvent = event;
            DWORD count = 0;
            const BOOL started = ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped);
            if (!finish(pipe, overlapped, started, nullptr, static_cast<DWORD>(left), count) || count == 0) {
                // The running copy closing its end ends the answer.
                ended = GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_PIPE_NOT_CONNECTED;
                break;
            }
            pending.append(buffer, count);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;
                 pending.erase(0, end + 1)) {
                onLine(pending.substr(0, end));
            }
        }
    }
    CloseHandle(event);
    CloseHandle(pipe);
    if (!ended) {
        error = "the running copy did not answer in time";
    }
    return ended;
}

}  // namespace platform
