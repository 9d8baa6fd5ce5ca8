#include "tools/probe/connection.h"

#include "client/answers.h"
#include "protocol/wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace probe {

namespace {

// An answer to command 2 without the server name is whole, but so is the same answer with
// it; the plug-in sends either in one piece, so a short wait tells them apart.
constexpr std::chrono::milliseconds OPEN_END_QUIET{200};
constexpr std::size_t READ_CHUNK = 64 * 1024;

const sigset_t* g_waitMask = nullptr;

enum class Wait { READY, TIMEOUT, INTERRUPTED, FAILED };

Wait waitFor(int socket, short events, Clock::time_point deadline)
{
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fd{socket, events, 0};
    const int ready = ppoll(&fd, 1, &timeout, g_waitMask);
    if (ready > 0) {
        return Wait::READY;
    }
    if (ready == 0) {
        return Wait::TIMEOUT;
    }
    return errno == EINTR ? Wait::INTERRUPTED : Wait::FAILED;
}

std::string seconds(std::chrono::milliseconds duration)
{
    std::ostringstream text;
    text << static_cast<double>(duration.count()) / 1000.0 << " s";
    return text.str();
}

Exchange failure(ExchangeStatus status, std::string error, Bytes answer = {})
{
    return Exchange{status, std::move(error), std::move(answer)};
}

ExchangeStatus statusOf(ReadStatus status)
{
    return status == ReadStatus::INTERRUPTED ? ExchangeStatus::INTERRUPTED : ExchangeStatus::NETWORK;
}

bool hasAnswerLayout(std::uint8_t command)
{
    return command == COMMAND_SERVER_NAME || command == COMMAND_CHANNEL_LIST ||
           command == COMMAND_CLIENT_LIST;
}

}  // namespace

void setWaitMask(const sigset_t* mask)
{
    g_waitMask = mask;
}

Connection::~Connection()
{
    close();
}

void Connection::close()
{
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
}

std::string Connection::open(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                             ReadStatus* status)
{
    close();
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
        error != 0) {
        return "cannot resolve " + host + ": " + gai_strerror(error);
    }

    std::string reason = "no address";
    ReadStatus outcome = ReadStatus::FAILED;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              address->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            const Wait wait = waitFor(fd, POLLOUT, deadline);
            if (wait == Wait::READY) {
                socklen_t length = sizeof(error);
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            } else {
                ::close(fd);
                outcome = wait == Wait::INTERRUPTED ? ReadStatus::INTERRUPTED : ReadStatus::TIMEOUT;
                reason = wait == Wait::TIMEOUT       ? "timed out"
                         : wait == Wait::INTERRUPTED ? "interrupted"
                                                     : std::strerror(errno);
                if (wait != Wait::FAILED) {
                    break;  // the deadline is shared, so no later address could do better
                }
                continue;
            }
        }
        if (error == 0) {
            m_socket = fd;
            break;
        }
        ::close(fd);
        reason = std::strerror(error);
    }
    freeaddrinfo(addresses);
    if (m_socket < 0) {
        if (status != nullptr) {
            *status = outcome;
        }
        return "cannot connect to " + where + ": " + reason;
    }
    return {};
}

std::string Connection::sendAll(const Bytes& bytes, Clock::time_point deadline, ReadStatus* status)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a plug-in that has gone away is an error to report, not a SIGPIPE.
        const ssize_t n = send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            if (status != nullptr) {
                *status = ReadStatus::FAILED;
            }
            return std::string("cannot send the request: ") + std::strerror(errno);
        }
        const Wait wait = waitFor(m_socket, POLLOUT, deadline);
        if (wait != Wait::READY) {
            if (status != nullptr) {
                *status = wait == Wait::INTERRUPTED ? ReadStatus::INTERRUPTED : ReadStatus::TIMEOUT;
            }
            return "cannot send the request: the plug-in takes no more bytes";
        }
    }
    return {};
}

ReadStatus Connection::readSome(Bytes& buffer, Clock::time_point deadline, std::string& error)
{
    for (;;) {
        switch (waitFor(m_socket, POLLIN, deadline)) {
            case Wait::TIMEOUT:
                return ReadStatus::TIMEOUT;
            case Wait::INTERRUPTED:
                return ReadStatus::INTERRUPTED;
            case Wait::FAILED:
                error = std::string("waiting for the answer failed: ") + std::strerror(errno);
                return ReadStatus::FAILED;
            case Wait::READY:
                break;
        }
        const std::size_t before = buffer.size();
        buffer.resize(before + READ_CHUNK);
        const ssize_t n = recv(m_socket, buffer.data() + before, READ_CHUNK, 0);
        buffer.resize(before + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            return ReadStatus::DATA;
        }
        if (n == 0) {
            return ReadStatus::CLOSED;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = std::string("reading the answer failed: ") + std::strerror(errno);
            return ReadStatus::FAILED;
        }
    }
}

Exchange exchange(Connection& connection, const Bytes& request, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    ReadStatus sendStatus = ReadStatus::FAILED;
    if (std::string error = connection.sendAll(request, deadline, &sendStatus); !error.empty()) {
        return failure(statusOf(sendStatus), error);
    }

    const std::uint8_t command = request.empty() ? 0 : request.front();
    Bytes answer;
    display::Progress progress;
    std::size_t needed = 1;
    bool whole = false;  // complete, but more bytes could still make a longer valid answer
    for (;;) {
        const Clock::time_point until = whole ? std::min(deadline, Clock::now() + OPEN_END_QUIET) : deadline;
        std::string error;
        const ReadStatus status = connection.readSome(answer, until, error);
        if (status == ReadStatus::DATA) {
            if (answer.size() < needed && !whole) {
                continue;
            }
            progress = display::answerProgress(command, answer.data(), answer.size());
            if (progress.status == display::DecodeStatus::MALFORMED) {
                return failure(ExchangeStatus::MALFORMED, display::describe(progress.status, progress.error),
                               std::move(answer));
            }
            whole = progress.status == display::DecodeStatus::COMPLETE;
            if (whole && !progress.openEnded) {
                return Exchange{ExchangeStatus::OK, {}, std::move(answer)};
            }
            needed = progress.needed;
            continue;
        }
        if (whole && (status == ReadStatus::TIMEOUT || status == ReadStatus::CLOSED)) {
            return Exchange{ExchangeStatus::OK, {}, std::move(answer)};
        }
        switch (status) {
            case ReadStatus::TIMEOUT:
                if (answer.empty()) {
                    return failure(ExchangeStatus::NETWORK, "no answer within " + seconds(timeout));
                }
                progress = display::answerProgress(command, answer.data(), answer.size());
                return failure(ExchangeStatus::MALFORMED,
                               display::describe(progress.status, progress.error) +
                                   " (nothing more came within " + seconds(timeout) + ")",
                               std::move(answer));
            case ReadStatus::CLOSED:
                if (answer.empty()) {
                    return failure(ExchangeStatus::NETWORK,
                                   "the plug-in closed the connection without answering");
                }
                progress = display::answerProgress(command, answer.data(), answer.size());
                return failure(ExchangeStatus::MALFORMED,
                               display::describe(progress.status, progress.error) +
                                   " (then the plug-in closed the connection)",
                               std::move(answer));
            case ReadStatus::INTERRUPTED:
                return failure(ExchangeStatus::INTERRUPTED, "interrupted");
            default:
                return failure(ExchangeStatus::NETWORK, error);
        }
    }
}

// The plug-in pauses about a second before each accept, so a connect succeeds well before
// the request is read; silence before the first byte of the answer says little.
constexpr std::chrono::milliseconds FIRST_BYTE_GRACE{2500};

Exchange exchangeRaw(Connection& connection, const Bytes& request, std::chrono::milliseconds timeout,
                     std::chrono::milliseconds quiet)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    ReadStatus sendStatus = ReadStatus::FAILED;
    if (std::string error = connection.sendAll(request, deadline, &sendStatus); !error.empty()) {
        return failure(statusOf(sendStatus), error);
    }

    const std::uint8_t command = request.empty() ? 0 : request.front();
    const bool decodable = hasAnswerLayout(command);
    Bytes answer;
    Clock::time_point lastArrival = Clock::now();
    for (;;) {
        Clock::time_point until = deadline;
        if (!decodable || !answer.empty()) {
            const std::chrono::milliseconds window =
                answer.empty() ? std::max(quiet, FIRST_BYTE_GRACE) : quiet;
            until = std::min(deadline, lastArrival + window);
        }
        std::string error;
        const ReadStatus status = connection.readSome(answer, until, error);
        switch (status) {
            case ReadStatus::DATA:
                lastArrival = Clock::now();
                if (decodable) {
                    const display::Progress progress =
                        display::answerProgress(command, answer.data(), answer.size());
                    if (progress.status == display::DecodeStatus::COMPLETE && !progress.openEnded) {
                        return Exchange{ExchangeStatus::OK, {}, std::move(answer)};
                    }
                }
                continue;
            case ReadStatus::TIMEOUT:
            case ReadStatus::CLOSED:
                return Exchange{ExchangeStatus::OK, {}, std::move(answer)};
            case ReadStatus::INTERRUPTED:
                return failure(ExchangeStatus::INTERRUPTED, "interrupted");
            case ReadStatus::FAILED:
                break;
        }
        return failure(ExchangeStatus::NETWORK, error, std::move(answer));
    }
}

}  // namespace probe
