#include "bridge/session.h"

#include "bridge/bridge_host.h"
#include "bridge/feed.h"
#include "bridge/key_file.h"
#include "bridge/talk_frame.h"

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
#include <cctype>
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

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds FIRST_RETRY{1};
constexpr std::chrono::seconds LAST_RETRY{10};
// After a refusal: each request shows the user the client's question again.
constexpr std::chrono::seconds REFUSAL_WAIT{30};
// Presses whose reply is still awaited, at most.
constexpr std::size_t MAX_PENDING = 64;
constexpr std::chrono::seconds CONNECT_TIME{5};
constexpr std::chrono::seconds HANDSHAKE_TIME{10};
constexpr std::chrono::milliseconds CLOSE_TIME{500};
// How long an unanswered request for approval waits before the user is told what to click:
// a known key is answered at once.
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

// Why a connection ended or could not be made, in a player's words.
std::string reasonOf(const beast::error_code& error)
{
    if (error == net::error::connection_refused) {
        return "connection refused";
    }
    if (error == net::error::eof || error == websocket::error::closed ||
        error == net::error::connection_reset || error == net::error::connection_aborted) {
        return "the voice client closed the connection";
    }
    if (error == beast::error::timeout || error == net::error::timed_out) {
        return "no answer in time";
    }
    if (error == net::error::host_not_found || error == net::error::host_not_found_try_again) {
        return "address not found";
    }
    std::string text = error.message();
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

// The top-level fields of a message; anything else is worth a debug line.
bool knownTopLevel(const std::string& key)
{
    // A press reply carries the press's returnCode beside its status.
    return key == "type" || key == "payload" || key == "status" || key == "returnCode";
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
    const bool portOk =
        !parsed.port.empty() && parsed.port.size() <= 5 &&
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
    Impl(SessionSettings s, BridgeLog& l, StatusModel& m) : settings(std::move(s)), log(l), status(m) {}

    // A press waiting for the client's reply.
    struct OnDemand {
        explicit OnDemand(net::io_context& io) : timer(io) {}
        std::function<void(const PressResult&)> done;
        net::steady_timer timer;
        bool finished = false;
    };
    struct Pending {
        std::string button;
        bool down = false;
        Clock::time_point sent;
        bool announced = false;  // a state line said it was pressed; its reply gets one too
        std::shared_ptr<OnDemand> onDemand;
    };

    SessionSettings settings;
    BridgeLog& log;
    StatusModel& status;
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
    // The socket of now has been opened: its end goes into the log.
    bool open = false;
    bool awaitingAnswer = false;
    bool stopping = false;
    // Closes before the answer to the stored key, in a row.
    int closesOnKey = 0;
    // Refused since the last approval: asking again does not ask the user anew.
    bool refused = false;
    std::chrono::seconds retryDelay = FIRST_RETRY;
    std::deque<Pending> pending;
    std::vector<std::shared_ptr<OnDemand>> onDemand;
    Feed feed{status};
    std::atomic<unsigned> approvalCount{0};

    std::string address() const
    {
        return "ws://" + settings.url.host + ":" + settings.url.port + settings.url.target;
    }

    void connect()
    {
        auto ws = std::make_shared<Socket>(io);
        socket = ws;
        resolver.async_resolve(
            settings.url.host, settings.url.port,
            [this, ws](beast::error_code error, const tcp::resolver::results_type& results) {
                if (ws != socket) {
                    return;
                }
                if (error) {
                    return lost(ws, error);
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
            return lost(ws, error);
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
                                    return lost(ws, e);
                                }
                                opened(ws);
                            });
    }

    void opened(const std::shared_ptr<Socket>& ws)
    {
        ws->text(true);
        open = true;
        // Nothing else goes out before the answer.
        sentKey = readKey(settings.keyFile);
        awaitingAnswer = true;
        send(authMessage(settings.version, sentKey));
        // A request the client does not answer at once waits for the user. After a refusal
        // the user has been told already; asking again does not tell again.
        if (sentKey.empty() && !refused) {
            hintTimer.expires_after(APPROVAL_HINT_AFTER);
            hintTimer.async_wait([this, ws](beast::error_code e) {
                if (!e && ws == socket && awaitingAnswer) {
                    status.waitingForApproval();
                }
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
                return lost(ws, error);
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
        // Most frames are a talk light going on or off: once approved, those are taken without
        // a document. Every other frame, and any that does not read the same without one, is
        // parsed whole.
        if (feed.approved()) {
            if (const std::optional<TalkStatus> talk = readTalkStatus(frame)) {
                log.incomingEvent(frame);
                if (const std::string why = feed.talk(*talk); !why.empty()) {
                    log.debug("ignored: " + why);
                }
                return;
            }
        }
        const json message = json::parse(frame, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
            log.unreadable("in", frame);
            log.debug("ignored a frame that is not a JSON object");
            return;
        }
        log.incoming(frame, message);
        for (const auto& item : message.items()) {
            if (!knownTopLevel(item.key())) {
                log.debug("ignored the unknown field \"" + item.key() + "\"");
            }
        }
        const json type = message.value("type", json());
        if (type == "auth") {
            return answered(message);
        }
        if (!feed.approved()) {
            log.debug("ignored a message before approval");
            return;
        }
        if (type == "buttonPress") {
            return replied(message);
        }
        const std::string why = feed.event(message);
        if (!why.empty()) {
            log.debug("ignored: " + why);
        }
    }

    void answered(const json& message)
    {
        const Feed::Answer answer = feed.answer(message, awaitingAnswer);
        if (answer.kind == Feed::Answer::Kind::REFUSED) {
            return refuse(answer.text.empty() ? "it gave no reason" : answer.text);
        }
        if (answer.kind == Feed::Answer::Kind::IGNORED) {
            log.debug("ignored " + answer.text);
            return;
        }
        const json payload = message.value("payload", json::object());
        const json key = payload.is_object() ? payload.value("apiKey", json()) : json();
        if (key.is_string() && !key.get<std::string>().empty() && key != sentKey) {
            std::string error;
            if (!storeKey(settings.keyFile, key.get<std::string>(), error)) {
                log.warning(
                    "cannot keep the key the voice client handed out, so it will ask for approval again next "
                    "time (" +
                    error + ")");
            }
            sentKey = key.get<std::string>();
        }
        if (answer.kind == Feed::Answer::Kind::SNAPSHOT) {
            return;
        }
        awaitingAnswer = false;
        refused = false;
        closesOnKey = 0;
        retryDelay = FIRST_RETRY;
        hintTimer.cancel();
        approvalCount.fetch_add(1);
        // The client loses the first press of a button after a connection unless the
        // button was released once before.
        for (const char* button : BUTTONS) {
            sendPress(button, false, false, nullptr);
        }
    }

    // The client's reply to a press: it took the press, which is not to say a binding acted.
    void replied(const json& message)
    {
        const json payload = message.value("payload", json());
        const json button = payload.is_object() ? payload.value("button", json()) : json();
        const json down = payload.is_object() ? payload.value("state", json()) : json();
        const auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) {
            return button == p.button && down.is_boolean() && down.get<bool>() == p.down;
        });
        if (it == pending.end()) {
            log.debug("ignored a reply to a press the bridge did not send: " + button.dump());
            return;
        }
        Pending press = std::move(*it);
        pending.erase(it);
        const json* statusField = message.contains("status") ? &message["status"] : nullptr;
        const json code = statusField != nullptr && statusField->is_object()
                              ? statusField->value("code", json(0))
                              : json(0);
        const std::string name = describeButton(press.button);
        if (code != 0) {
            const json reason = statusField->value("message", json());
            const std::string text =
                (reason.is_string() ? reason.get<std::string>() : std::string("no reason given")) +
                ", code " + code.dump();
            if (press.down) {
                log.warning(name + ": the voice client did not take the press (" + text + ")");
            }
            finish(press.onDemand, {PressOutcome::REJECTED, text});
            return;
        }
        if (press.down && press.announced) {
            log.state(name + ": accepted by the voice client");
        }
        if (press.down) {
            finish(press.onDemand, {PressOutcome::ACCEPTED, ""});
        }
    }

    // One press and release. `announce`: a state line for each, as for a player binding keys.
    void sendPress(const std::string& button, bool down, bool announce,
                   const std::shared_ptr<OnDemand>& request)
    {
        const Clock::time_point now = Clock::now();
        // A client that never replies leaves nothing behind for long.
        while (!pending.empty() &&
               (now - pending.front().sent > PRESS_REPLY_TIME || pending.size() >= MAX_PENDING)) {
            pending.pop_front();
        }
        pending.push_back({button, down, now, announce, down ? request : nullptr});
        send(pressMessage(button, down));
    }

    void pressNow(const std::string& button, const std::shared_ptr<OnDemand>& request)
    {
        if (!feed.approved() || !socket) {
            return finish(request, {PressOutcome::NOT_APPROVED, ""});
        }
        log.state("pressed " + describeButton(button));
        sendPress(button, true, true, request);
        sendPress(button, false, false, nullptr);
        if (request) {
            request->timer.expires_after(PRESS_REPLY_TIME);
            request->timer.async_wait([this, request](beast::error_code e) {
                if (!e) {
                    finish(request, {PressOutcome::NO_REPLY, ""});
                }
            });
        }
    }

    void finish(const std::shared_ptr<OnDemand>& request, const PressResult& result)
    {
        if (!request || request->finished) {
            return;
        }
        request->finished = true;
        request->timer.cancel();
        onDemand.erase(std::remove(onDemand.begin(), onDemand.end(), request), onDemand.end());
        if (request->done) {
            request->done(result);
        }
    }

    void send(const json& message)
    {
        log.outgoing(message);
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

    // Ends the connection of now: the display sees a client with no server until the next.
    void drop(const std::shared_ptr<Socket>& ws, const std::string& reason)
    {
        if (open) {
            log.closed(reason);
            open = false;
        }
        socket.reset();
        beast::error_code ignored;
        beast::get_lowest_layer(*ws).socket().close(ignored);
        outbox.clear();
        writing = false;
        pending.clear();
        hintTimer.cancel();
        feed.clear();
    }

    // The connection ended or could not be made.
    void lost(const std::shared_ptr<Socket>& ws, beast::error_code error)
    {
        if (ws != socket) {
            return;
        }
        const bool wasApproved = feed.approved();
        const bool wasAsking = awaitingAnswer;
        awaitingAnswer = false;
        drop(ws, reasonOf(error));
        if (stopping) {
            return;
        }
        if (wasAsking && !sentKey.empty()) {
            return keyNotAnswered();
        }
        if (wasAsking) {
            // The client closes a request the user refused without a word.
            return refuse("");
        }
        refused = false;
        if (wasApproved) {
            status.lost(reasonOf(error));
        } else {
            status.unreachable(reasonOf(error));
        }
        const std::chrono::seconds delay = retryDelay;
        retryDelay = std::min(retryDelay * 2, LAST_RETRY);
        retry(delay);
    }

    // The socket closed before the answer to the stored key. The client closes so on a key it
    // no longer takes, but also when it quits or restarts: only a second close in a row
    // forgets the key.
    void keyNotAnswered()
    {
        if (++closesOnKey < 2) {
            log.state(
                "the voice client closed the connection before answering the stored key; trying the key once "
                "more");
            return retry(FIRST_RETRY);
        }
        closesOnKey = 0;
        forget();
        log.state(
            "the voice client closed the connection again before answering the stored key: it no longer "
            "takes "
            "it, so the bridge asks for approval again");
        retry(FIRST_RETRY);
    }

    void forget()
    {
        if (!forgetKey(settings.keyFile)) {
            log.warning("cannot remove the key file " + settings.keyFile);
        }
        sentKey.clear();
    }

    // The client said no, by a close or by an answer. A stored key it refused is forgotten;
    // the bridge asks again, not so often that the client fills with requests.
    void refuse(const std::string& reason)
    {
        if (const std::shared_ptr<Socket> ws = socket) {
            awaitingAnswer = false;
            drop(ws, reason.empty() ? "refused" : "refused: " + reason);
        }
        if (!sentKey.empty()) {
            forget();
        }
        closesOnKey = 0;
        refused = true;
        retryDelay = FIRST_RETRY;
        status.refused(reason);
        retry(REFUSAL_WAIT);
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
        feed.clear();
        for (const std::shared_ptr<OnDemand>& request : std::vector<std::shared_ptr<OnDemand>>(onDemand)) {
            finish(request, {PressOutcome::STOPPED, ""});
        }
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
                log.error(std::string("internal error: ") + e.what());
            }
        }
    }
};

Session::Session(SessionSettings settings, BridgeLog& log, StatusModel& status)
    : m_impl(std::make_unique<Impl>(std::move(settings), log, status))
{
}

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
        if (impl->feed.approved() && impl->socket) {
            impl->pressNow(name, nullptr);
        }
    });
}

void Session::pressAfter(std::string button, std::chrono::milliseconds delay,
                         std::function<void(const PressResult&)> done)
{
    Impl* impl = m_impl.get();
    net::post(impl->io, [impl, name = std::move(button), delay, done = std::move(done)]() mutable {
        auto request = std::make_shared<Impl::OnDemand>(impl->io);
        request->done = std::move(done);
        if (impl->stopping) {
            return impl->finish(request, {PressOutcome::STOPPED, ""});
        }
        impl->onDemand.push_back(request);
        request->timer.expires_after(delay);
        request->timer.async_wait([impl, request, name](beast::error_code e) {
            if (!e && !request->finished) {
                impl->pressNow(name, request);
            }
        });
    });
}

unsigned Session::approvals() const
{
    return m_impl->approvalCount.load();
}

}  // namespace bridge
