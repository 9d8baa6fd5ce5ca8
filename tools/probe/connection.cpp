#include "tools/probe/connection.h"

#include "client/answers.h"
#include "protocol/wire.h"

#include "platform/client.h"

#include <algorithm>
#include <sstream>

namespace probe {

namespace {

// An answer to command 2 without the server name is whole, but so is the same answer with
// it; the plug-in sends either in one piece, so a short wait tells them apart.
constexpr std::chrono::milliseconds OPEN_END_QUIET{200};
constexpr std::size_t READ_CHUNK = 64 * 1024;

ReadStatus readStatusOf(platform::WaitStatus wait)
{
    switch (wait) {
        case platform::WaitStatus::TIMEOUT:
            return ReadStatus::TIMEOUT;
        case platform::WaitStatus::INTERRUPTED:
            return ReadStatus::INTERRUPTED;
        default:
            return ReadStatus::FAILED;
    }
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

Connection::~Connection()
{
    close();
}

void Connection::close()
{
    if (m_socket != platform::INVALID_SOCKET_HANDLE) {
        platform::closeSocket(m_socket);
        m_socket = platform::INVALID_SOCKET_HANDLE;
    }
}

std::string Connection::open(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                             ReadStatus* status, bool* refused)
{
    close();
    platform::ClientConnection connection = platform::connectTo(host, port, deadline);
    if (connection.status != platform::WaitStatus::READY) {
        if (status != nullptr) {
            *status = readStatusOf(connection.status);
        }
        if (refused != nullptr) {
            *refused = connection.status == platform::WaitStatus::FAILED && connection.refused;
        }
        return "cannot connect to " + host + ":" + std::to_string(port) + ": " + connection.error;
    }
    m_socket = connection.socket;
    return {};
}

std::string Connection::sendAll(const Bytes& bytes, Clock::time_point deadline, ReadStatus* status)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const platform::IoResult result =
            platform::sendSome(m_socket, bytes.data() + sent, bytes.size() - sent);
        if (result.status == platform::IoStatus::DONE) {
            sent += result.count;
            continue;
        }
        if (result.status != platform::IoStatus::WOULD_BLOCK) {
            if (status != nullptr) {
                *status = ReadStatus::FAILED;
            }
            return "cannot send the request: " + result.error;
        }
        const platform::WaitStatus wait = platform::waitUntilWritable(m_socket, deadline);
        if (wait != platform::WaitStatus::READY) {
            if (status != nullptr) {
                *status =
                    wait == platform::WaitStatus::INTERRUPTED ? ReadStatus::INTERRUPTED : ReadStatus::TIMEOUT;
            }
            return "cannot send the request: the plug-in takes no more bytes";
        }
    }
    return {};
}

ReadStatus Connection::readSome(Bytes& buffer, Clock::time_point deadline, std::string& error)
{
    for (;;) {
        const platform::WaitStatus wait = platform::waitUntilReadable(m_socket, deadline);
        if (wait == platform::WaitStatus::FAILED) {
            error = "waiting for the answer failed: " + platform::lastSocketError();
        }
        if (wait != platform::WaitStatus::READY) {
            return readStatusOf(wait);
        }
        const std::size_t before = buffer.size();
        buffer.resize(before + READ_CHUNK);
        const platform::IoResult result = platform::receiveSome(m_socket, buffer.data() + before, READ_CHUNK);
        buffer.resize(before + result.count);
        switch (result.status) {
            case platform::IoStatus::DONE:
                return ReadStatus::DATA;
            case platform::IoStatus::CLOSED:
                return ReadStatus::CLOSED;
            case platform::IoStatus::FAILED:
                error = "reading the answer failed: " + result.error;
                return ReadStatus::FAILED;
            case platform::IoStatus::WOULD_BLOCK:
                break;
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

// The plug-in takes the first request of a fresh connection up to 1.1 s after the connect
// (its pauses after the previous connection and before every accept), and pauses up to
// 500 ms before some actions; silence before the first byte of the answer says little.
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
