#pragma once
// One running copy of a program per user, and a channel to it from the user's other copies:
// a copy started while another runs asks the running one to act (press a button, save a
// report, show that it is already running) instead of running twice. Written once for POSIX
// (a lock file and a Unix domain socket, local_channel_posix.cpp) and once for Windows (a
// named mutex and a named pipe of the user's session, local_channel_win.cpp).
//
// A request is one line; its answer is lines, until the running copy closes the channel.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Where the lock and the channel called `name` live for this user: on POSIX files beside each
// other in the folder $XDG_RUNTIME_DIR/<posixFolder> (made for the user alone), or in
// `fallbackFolder` when the variable is not set to an absolute path; on Windows names in the
// user's session. Empty when there is no such place.
std::string localChannelPlace(std::string_view name, std::string_view posixFolder,
                              const std::string& fallbackFolder);

// Held while this copy is the one that runs.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { ACQUIRED, HELD_BY_ANOTHER, FAILED };
    // Takes the lock of `place`, at once or not at all. FAILED, with `error` set, when the
    // system would not say.
    Result acquire(const std::string& place, std::string& error);

private:
    std::intptr_t m_handle = -1;
};

// Writes one line of an answer; false once the other copy has gone.
using ReplyLine = std::function<bool(const std::string& line)>;

class LocalChannelServer {
public:
    // Gets each request, on the channel's own thread, one at a time. It may take its time (a
    // press waits a few seconds) and writes its answer through `reply`.
    using Handler = std::function<void(const std::string& request, const ReplyLine& reply)>;

    LocalChannelServer();
    ~LocalChannelServer();
    LocalChannelServer(const LocalChannelServer&) = delete;
    LocalChannelServer& operator=(const LocalChannelServer&) = delete;

    // Serves the channel of `place`, which the caller's InstanceLock holds. False, with
    // `error` set, when it cannot.
    bool start(const std::string& place, Handler handler, std::string& error);
    // Closes the channel and joins its thread: a handler that runs is waited for.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Sends `request` to the copy that serves `place` and hands each line of its answer to
// `onLine`, until the answer ends or `timeout` has passed since the request was sent. False,
// with `error` set, when no copy serves the channel or the answer did not end in time.
bool localRequest(const std::string& place, const std::string& request,
                  const std::function<void(const std::string& line)>& onLine,
                  std::chrono::milliseconds timeout, std::string& error);

}  // namespace platform
