#pragma once
// One TCP connection to the plug-in, with every wait bounded by a deadline.
//
// The link has no framing, so an answer is read by feeding the bytes received so far to
// the decoder until it says the answer is whole (see exchange()).

#include "platform/socket.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

enum class ReadStatus { DATA, CLOSED, TIMEOUT, INTERRUPTED, FAILED };

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Tries each address of `host` in turn. Returns an empty string, or why it failed;
    // `refused` tells whether nothing listened there, so that a later try may succeed.
    std::string open(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                     ReadStatus* status = nullptr, bool* refused = nullptr);
    std::string sendAll(const Bytes& bytes, Clock::time_point deadline, ReadStatus* status = nullptr);
    // Appends what arrives first, waiting no longer than `deadline`.
    ReadStatus readSome(Bytes& buffer, Clock::time_point deadline, std::string& error);

private:
    void close();

    platform::SocketHandle m_socket = platform::INVALID_SOCKET_HANDLE;
};

// Outcome of one request on a connection.
enum class ExchangeStatus { OK, NETWORK, MALFORMED, INTERRUPTED };

struct Exchange {
    ExchangeStatus status = ExchangeStatus::OK;
    std::string error;  // one line, for NETWORK and MALFORMED
    Bytes answer;
};

// Sends `request` and reads the answer of its command (2, 3 or 5) until the decoder calls it
// whole or malformed, or `timeout` passes.
Exchange exchange(Connection& connection, const Bytes& request, std::chrono::milliseconds timeout);

// Sends `request` and collects whatever comes back until nothing has arrived for `quiet`,
// bounded by `timeout`. For requests of commands 2, 3 and 5 it stops early once the answer
// is whole, and waits up to `timeout` for the first byte.
Exchange exchangeRaw(Connection& connection, const Bytes& request, std::chrono::milliseconds timeout,
                     std::chrono::milliseconds quiet);

}  // namespace probe
