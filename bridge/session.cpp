#include "bridge/session.h"

#include "bridge/bridge_host.h"
#include "bridge/key_file.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

namespace bridge {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds FIRST_RETRY{1};
constexpr std::chrono::seconds LAST_RETRY{10};
constexpr std::chrono::seconds CONNECT_TIME{5};
constexpr std::chrono::seconds HANDSHAKE_TIME{10};
constexpr std::chrono::milliseconds CLOSE_TIME{500};
// How long an unanswered request for approval waits before the user is told what to click.
constexpr std::chrono::seconds APPROVAL_HINT_AFTER{1};

using Socket = websocket::stream<beast::tcp_stream>;

json authMessage(const std::string& version, const std::string& key)
{
    return {{"type", "auth"},
            {"payload",
             {{"identifier", APP_IDENTIFIER},
              {"version", version},
              {"name", APP_NAME},
              {"description", APP_DESCRIPTION},
              {"content", {{"apiKey", key}}}}}};
}

json pressMessage(const std::string& button, bool down)
{
    return {{"type", "buttonPress"}, {"payload", {{"button", button}, {"state", down}}}};
}

// The top-level fields of a message; anything else is worth a debug line.
bool knownTopLevel(const std::string& key)
{
    return key == "type" || key == "payload" || key == "status";
}

}  // namespace

std::optional<RemoteAppsUrl> parseRemoteAppsUrl(std::string_view url, std::string& error)
{
    constexpr std::string_view SCHEME = "ws://";
    if (url.substr(0, SCHEME.size()) != SCHEME) {
        error = "the Remote Apps address must start with ws://, as ws://127.0.0.1:5899";
        return std::nullopt;
    }
    std::string_view rest = url.substr(SCHEME.size());
    RemoteAppsUrl parsed;
    const std::size_t slash = rest.find('/');
    parsed.target = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    std::string_view authority = rest.substr(0, slash);
    const std::size_t colon = authority.rfind(':');
    const bool bracketed = !authority.empty() && authority.front() == '[';
    if (colon != std::string_view::npos && (!bracketed || authority.find(']') < colon)) {
        parsed.port = std::string(authority.substr(colon + 1));
        authority = authority.substr(0, colon);
    } else {
        parsed.port = "80";
    }
    if (bracketed && authority.size() >= 2 && authority.back() == ']') {
        authority = authority.substr(1, authority.size() - 2);
    }
    const bool portOk = !parsed.port.empty() && parsed.port.size() <= 5 &&
                        std::all_of(parsed.port.begin(), parsed.port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                        std::stoi(parsed.port) >= 1 && std::stoi(parsed.port) <= 65535;
    if (authority.empty() || !portOk) {
        error = "cannot read the Remote Apps address " + std::string(url) + "; expected ws://HOST:PORT";
        return std::nullopt;
    }
    parsed.host = std::string(authority);
    return parsed;
}

struct Session::Impl {
    Impl(SessionSettings s, BridgeLog& l) : settings(std::move(s)), log(l) {}

    SessionSettings settings;
    BridgeLog& log;
    net::io_context io;
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
    tcp::resolver resolver{io};
    net::steady_timer retryTimer{io};
    net::steady_timer hintTimer{io};
    net::steady_timer closeTimer{io};
    std::thread thread;

    // Everything below is touched on the session's thread only.
    std::shared_ptr<Socket> socket;  // the connection of now; handlers of an older one stop
    beast::flat_buffer buffer;
    std::deque<std::string> outbox;
    bool writing = false;
    std::string sentKey;
    bool awaitingAnswer = false;
    bool approved = false;
    bool stopping = false;
    bool outageReported = false;
    bool hintShown = false;
    std::chrono::seconds retryDelay = FIRST_RETRY;
    std::atomic<unsigned> approvalCount{0};

    std::string address() const { return "ws://" + settings.url.host + ":" + settings.url.port + settings.url.target; }

    void connect()
    {
        auto ws = std::make_shared<Socket>(io);
        socket = ws;
        resolver.async_resolve(settings.url.host, settings.url.port,
                               [this, ws](beast::error_code error, const tcp::resolver::results_type& results) {
                                   if (ws != socket) {
                                       return;
                                   }
                                   if (error) {
                                       return lost(ws, error, true);
                                   }
                                   beast::get_lowest_layer(*ws).expires_after(CONNECT_TIME);
                                   beast::get_lowest_layer(*ws).async_connect(
                                       results, [this, ws](beast::error_code e, const tcp::endpoint&) { connected(ws, e); });
                               });
    }

    void connected(const std::shared_ptr<Socket>& ws, beast::error_code error)
    {
        if (ws != socket) {
            return;
        }
        if (error) {
            return lost(ws, error, true);
        }
        beast::get_lowest_layer(*ws).expires_never();
        websocket::stream_base::timeout timeouts{HANDSHAKE_TIME, websocket::stream_base::none(), false};
        ws->set_option(timeouts);
        ws->read_message_max(MAX_FRAME_BYTES);
        ws->async_handshake(settings.url.host + ":" + settings.url.port, settings.url.target,
                            [this, ws](beast::error_code e) {
                                if (ws != socket) {
                                    return;
                                }
                                if (e) {
                                    return lost(ws, e, true);
                                }
                                opened(ws);
                            });
    }

    void opened(const std::shared_ptr<Socket>& ws)
    {
        if (outageReported) {
            log.info("connected to the voice client at " + address());
            outageReported = false;
        }
        ws->text(true);
        // Nothing else goes out before the answer.
        sentKey = readKey(settings.keyFile);
        awaitingAnswer = true;
        send(authMessage(settings.version, sentKey));
        if (sentKey.empty() && !hintShown) {
            hintTimer.expires_after(APPROVAL_HINT_AFTER);
            hintTimer.async_wait([this, ws](beast::error_code e) {
                if (e || ws != socket || !awaitingAnswer || hintShown) {
                    return;
                }
                hintShown = true;
                log.info("waiting for approval: in the voice client, open Settings > Remote Apps and allow \"" +
                         std::string(APP_NAME) + "\". Until then the display shows no server.");
            });
        }
        read(ws);
    }

    void read(const std::shared_ptr<Socket>& ws)
    {
        ws->async_read(buffer, [this, ws](beast::error_code error, std::size_t) {
            if (ws != socket) {
                return;
            }
            if (error) {
                return lost(ws, error, false);
            }
            const std::string frame = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            received(frame);
            if (ws == socket) {
                read(ws);
            }
        });
    }

    void received(const std::string& frame)
    {
        const json message = json::parse(frame, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
            log.unreadable("in", frame);
            log.debug("ignored a frame that is not a JSON object");
            return;
        }
        log.message("in", message);
        for (const auto& item : message.items()) {
            if (!knownTopLevel(item.key())) {
                log.debug("ignored the unknown field \"" + item.key() + "\"");
            }
        }
        const json type = message.value("type", json());
        if (type == "auth") {
            return answered(message);
        }
        if (!approved) {
            log.debug("ignored a message before approval");
            return;
        }
        std::string why;
        updateMirror([&](Mirror& mirror) { why = mirror.apply(message); });
        if (!why.empty()) {
            log.debug("ignored: " + why);
        }
    }

    void answered(const json& message)
    {
        const json* status = message.contains("status") ? &message["status"] : nullptr;
        if (status != nullptr && status->is_object() && status->contains("code") &&
            (*status)["code"] != 0) {
            log.info("the voice client refused the request: " + status->value("message", std::string("no reason given")));
            return;
        }
        const json payload = message.value("payload", json::object());
        const json connections = payload.is_object() ? payload.value("connections", json()) : json();
        bool replaced = false;
        updateMirror([&](Mirror& mirror) { replaced = mirror.replace(connections); });
        if (!replaced) {
            log.debug("ignored an auth answer without a list of connections");
            return;
        }
        const std::string key = payload.value("apiKey", std::string());
        if (!key.empty() && key != sentKey) {
            std::string error;
            if (!storeKey(settings.keyFile, key, error)) {
                log.info("cannot keep the key the voice client handed out (" + error +
                         "); it will ask for approval again next time");
            }
            sentKey = key;
        }
        const bool first = awaitingAnswer;
        awaitingAnswer = false;
        approved = true;
        retryDelay = FIRST_RETRY;
        if (first) {
            approvalCount.fetch_add(1);
            log.info("approved by the voice client");
            // The client loses the first press of a button after a connection unless the
            // button was released once before.
            for (const char* button : BUTTONS) {
                send(pressMessage(button, false));
            }
        }
    }

    void send(const json& message)
    {
        log.message("out", message);
        outbox.push_back(message.dump());
        if (!writing) {
            write();
        }
    }

    void write()
    {
        const std::shared_ptr<Socket> ws = socket;
        if (!ws || outbox.empty()) {
            return;
        }
        writing = true;
        ws->async_write(net::buffer(outbox.front()), [this, ws](beast::error_code error, std::size_t) {
            if (ws != socket) {
                return;
            }
            writing = false;
            outbox.pop_front();
            // A failed write ends the connection; the pending read reports it.
            if (!error) {
                write();
            }
        });
    }

    // The connection ended or could not be made.
    void lost(const std::shared_ptr<Socket>& ws, beast::error_code error, bool beforeOpen)
    {
        if (ws != socket) {
            return;
        }
        socket.reset();
        beast::error_code ignored;
        beast::get_lowest_layer(*ws).socket().close(ignored);
        outbox.clear();
        writing = false;
        hintTimer.cancel();
        updateMirror([](Mirror& mirror) { mirror.clear(); });
        const bool wasApproved = approved;
        approved = false;
        if (stopping) {
            return;
        }
        if (awaitingAnswer && !sentKey.empty()) {
            // The client closes without a word on a key it no longer takes.
            awaitingAnswer = false;
            forgetKey(settings.keyFile);
            sentKey.clear();
            log.info("the voice client did not take the stored key; asking for approval again");
            return retry(std::chrono::seconds(0));
        }
        awaitingAnswer = false;
        if (wasApproved || !outageReported) {
            log.info(std::string(beforeOpen ? "cannot reach the voice client at " : "lost the voice client at ") +
                     address() + " (" + error.message() + "); the display shows no server until it is back");
            outageReported = true;
        }
        const std::chrono::seconds delay = retryDelay;
        retryDelay = std::min(retryDelay * 2, LAST_RETRY);
        retry(delay);
    }

    void retry(std::chrono::seconds delay)
    {
        retryTimer.expires_after(delay);
        retryTimer.async_wait([this](beast::error_code error) {
            if (!error && !stopping) {
                connect();
            }
        });
    }

    void shutDown()
    {
        stopping = true;
        retryTimer.cancel();
        hintTimer.cancel();
        resolver.cancel();
        if (const std::shared_ptr<Socket> ws = std::exchange(socket, nullptr)) {
            // Say goodbye when the client answers at once; a client that does not, or reads
            // nothing, is cut off. A timer of its own: the stream's expiry cannot be set while a
            // read and a write are both pending, and a close stuck behind a write never starts.
            const auto cutOff = [ws](beast::error_code) {
                beast::error_code ignored;
                beast::get_lowest_layer(*ws).socket().close(ignored);
            };
            closeTimer.expires_after(CLOSE_TIME);
            closeTimer.async_wait(cutOff);
            ws->async_close(websocket::close_code::going_away, [this, cutOff](beast::error_code error) {
                closeTimer.cancel();
                cutOff(error);
            });
        }
        updateMirror([](Mirror& mirror) { mirror.clear(); });
        work.reset();
    }

    void run()
    {
        // A handler that throws (out of memory) must not end the process: the bridge goes on
        // and the next connection starts afresh.
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                log.info(std::string("internal error: ") + e.what());
            }
        }
    }
};

Session::Session(SessionSettings settings, BridgeLog& log) : m_impl(std::make_unique<Impl>(std::move(settings), log)) {}

Session::~Session()
{
    stop();
}

void Session::start()
{
    Impl* impl = m_impl.get();
    net::post(impl->io, [impl] { impl->connect(); });
    impl->thread = std::thread([impl] { impl->run(); });
}

void Session::stop()
{
    Impl* impl = m_impl.get();
    if (!impl->thread.joinable()) {
        return;
    }
    net::post(impl->io, [impl] { impl->shutDown(); });
    impl->thread.join();
}

void Session::press(const char* button)
{
    Impl* impl = m_impl.get();
    net::post(impl->io, [impl, name = std::string(button)] {
        if (!impl->approved || !impl->socket) {
            return;
        }
        impl->send(pressMessage(name, true));
        impl->send(pressMessage(name, false));
    });
}

unsigned Session::approvals() const
{
    return m_impl->approvalCount.load();
}

}  // namespace bridge
