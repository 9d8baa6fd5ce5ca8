#include "remote_apps_server.h"

#include "remote_apps_events.h"

#include "platform/listen_options.h"
#include "sim/scenario_json.h"
#include "sim/sim_host.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;
using nlohmann::ordered_json;

// How often the watcher looks up from waiting for a change, to see whether it must stop.
constexpr std::chrono::milliseconds WATCH_WAKE{200};
// No program sends anything near this; a frame beyond it is abuse.
constexpr std::size_t MAX_MESSAGE_BYTES = 1024 * 1024;
constexpr std::chrono::seconds HANDSHAKE_TIMEOUT{30};
constexpr std::size_t KEY_BYTES = 16;

enum class State { AUTH, PENDING, APPROVED, CLOSING };

template <typename Json>
std::string textField(const Json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->template get<std::string>() : std::string();
}

// As the client's key-binding dialog names them.
const char* actionLabel(sim::UserAction action)
{
    switch (action) {
        case sim::UserAction::TOGGLE_MICROPHONE:
            return "Toggle microphone mute";
        case sim::UserAction::TOGGLE_SPEAKERS:
            return "Toggle speaker mute";
        case sim::UserAction::TOGGLE_AWAY:
            return "Toggle away";
        case sim::UserAction::REQUEST_TALK_POWER:
            return "Request talk power";
        case sim::UserAction::DISCONNECT:
            return "Disconnect";
    }
    return "";
}

// The client's answer to a press: the same type and payload, plus an empty return code and
// success. It says the press arrived, not that anything is bound to it.
ordered_json pressReply(const ordered_json& press)
{
    ordered_json reply = {{"type", "buttonPress"}};
    if (const auto payload = press.find("payload"); payload != press.end()) {
        reply["payload"] = *payload;
    }
    reply["returnCode"] = "";
    reply["status"] = {{"code", 0}, {"message", "ok"}};
    return reply;
}

}  // namespace

class AppSession;

struct RemoteAppsServer::Impl {
    explicit Impl(RemoteAppsOptions serverOptions) : options(serverOptions) {}

    RemoteAppsOptions options;
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::uint16_t port = 0;
    std::thread ioThread;
    std::thread watcher;
    std::atomic<bool> stopping{false};
    std::atomic<bool> refreshPosted{false};

    // The sockets' thread only.
    std::map<std::uint64_t, std::shared_ptr<AppSession>> sessions;
    std::uint64_t nextSession = 1;
    sim::Model last;  // the model as the approved programs know it
    std::mt19937_64 keyBits{std::random_device{}()};

    // Shared with the console's threads.
    mutable std::mutex mutex;
    std::set<std::string> keys;
    struct Request {
        std::uint64_t id;
        std::string identifier, name, description, version;
    };
    std::vector<Request> pending;
    std::size_t apps = 0;
    std::optional<sim::UserAction> choosing;  // the action waiting for a key

    void accept();
    void watch(std::uint64_t seen);
    void refresh();
    void onFirstMessage(AppSession& session, const std::string& text);
    void approve(AppSession& session, std::string key);
    void refuse(AppSession& session, const char* why);
    void ended(AppSession& session);
    void keyDown(const AppSession& session, const std::string& button);
    void dropPending(std::uint64_t id);
    std::string newKey();
    bool known(const std::string& key) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return keys.count(key) != 0;
    }
};

// One program's socket. All of it runs on the server's one socket thread.
class AppSession : public std::enable_shared_from_this<AppSession> {
public:
    AppSession(RemoteAppsServer::Impl& server, tcp::socket socket, std::uint64_t number)
        : id(number), m_server(server), m_ws(std::move(socket)), m_timer(server.ioc)
    {
    }

    void start()
    {
        websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.handshake_timeout = HANDSHAKE_TIMEOUT;
        // Programs send nothing while they only listen, and none pings: idle is normal.
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        m_ws.set_option(timeouts);
        m_ws.read_message_max(MAX_MESSAGE_BYTES);
        m_ws.text(true);
        m_ws.async_accept([self = shared_from_this()](beast::error_code error) {
            if (error) {
                self->m_server.ended(*self);
                return;
            }
            self->read();
        });
    }

    void send(std::string text)
    {
        if (state == State::CLOSING) {
            return;
        }
        m_queue.push_back(std::move(text));
        if (m_queue.size() == 1) {
            write();
        }
    }

    // Closes without a word, as the voice client closes a refused or removed program.
    void close()
    {
        if (state == State::CLOSING) {
            return;
        }
        state = State::CLOSING;
        m_timer.cancel();
        if (m_queue.empty()) {
            closeNow();
        }
    }

    // The socket goes at once: the server stops.
    void abort()
    {
        m_timer.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().close(ignored);
    }

    void approveAfter(std::chrono::milliseconds delay)
    {
        m_timer.expires_after(delay);
        m_timer.async_wait([self = shared_from_this()](beast::error_code error) {
            if (!error && self->state == State::PENDING) {
                self->m_server.approve(*self, self->m_server.newKey());
            }
        });
    }

    const std::uint64_t id;
    State state = State::AUTH;
    std::string key;
    std::string label;  // the program's name and identifier, for the log

private:
    void read()
    {
        m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->m_server.ended(*self);
                return;
            }
            std::string text = beast::buffers_to_string(self->m_buffer.data());
            self->m_buffer.consume(self->m_buffer.size());
            self->received(text);
            self->read();
        });
    }

    void received(const std::string& text)
    {
        switch (state) {
        case State::AUTH:
            m_server.onFirstMessage(*this, text);
            break;
        case State::PENDING:
            m_server.refuse(*this, "sent a message before its answer");
            break;
        case State::APPROVED:
            pressed(text);
            break;
        case State::CLOSING:
            break;
        }
    }

    // The only message a program sends after `auth`; anything else is ignored, as the
    // client ignores what it does not know.
    void pressed(const std::string& text)
    {
        // Ordered, so that the reply gives the payload back as it came.
        const ordered_json message = ordered_json::parse(text, nullptr, false);
        if (!message.is_object() || textField(message, "type") != "buttonPress") {
            return;
        }
        const auto payload = message.find("payload");
        if (payload != message.end() && payload->is_object()) {
            const auto down = payload->find("state");
            // A key acts as it goes down.
            if (down != payload->end() && down->is_boolean() && down->get<bool>()) {
                m_server.keyDown(*this, textField(*payload, "button"));
            }
        }
        // After the press has done its work: a program that waits for the reply then finds
        // the binding made or the model changed.
        send(sim::dumpJson(pressReply(message)));
    }

    void write()
    {
        m_ws.async_write(net::buffer(m_queue.front()),
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->m_queue.pop_front();
                             if (error) {
                                 self->abort();
                                 return;
                             }
                             if (!self->m_queue.empty()) {
                                 self->write();
                             } else if (self->state == State::CLOSING) {
                                 self->closeNow();
                             }
                         });
    }

    void closeNow()
    {
        m_ws.async_close(websocket::close_code::policy_error,
                         [self = shared_from_this()](beast::error_code) { self->abort(); });
    }

    RemoteAppsServer::Impl& m_server;
    websocket::stream<beast::tcp_stream> m_ws;
    net::steady_timer m_timer;
    beast::flat_buffer m_buffer;
    std::deque<std::string> m_queue;
};

void RemoteAppsServer::Impl::accept()
{
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error) {
            if (error != net::error::operation_aborted) {
                accept();
            }
            return;
        }
        const std::uint64_t id = nextSession++;
        auto session = std::make_shared<AppSession>(*this, std::move(socket), id);
        sessions.emplace(id, session);
        session->start();
        accept();
    });
}

void RemoteAppsServer::Impl::watch(std::uint64_t seen)
{
    while (!stopping) {
        const std::uint64_t now = sim::waitForModelChange(seen, WATCH_WAKE);
        if (now != seen) {
            seen = now;
            // One refresh in the queue covers any number of changes.
            if (!refreshPosted.exchange(true)) {
                net::post(ioc, [this] { refresh(); });
            }
        }
    }
}

void RemoteAppsServer::Impl::refresh()
{
    refreshPosted = false;
    sim::Model now = sim::model();
    const bool listening = std::any_of(sessions.begin(), sessions.end(), [](const auto& entry) {
        return entry.second->state == State::APPROVED;
    });
    if (listening) {
        std::vector<std::string> events;
        for (const remote_apps::Message& event : remote_apps::changeEvents(last, now)) {
            events.push_back(sim::dumpJson(event));
        }
        for (const auto& entry : sessions) {
            if (entry.second->state == State::APPROVED) {
                for (const std::string& event : events) {
                    entry.second->send(event);
                }
            }
        }
    }
    last = std::move(now);
}

void RemoteAppsServer::Impl::onFirstMessage(AppSession& session, const std::string& text)
{
    const json message = json::parse(text, nullptr, false);
    const auto payload = message.is_object() ? message.find("payload") : message.end();
    if (!message.is_object() || textField(message, "type") != "auth" || payload == message.end() ||
        !payload->is_object()) {
        refuse(session, "did not begin with auth");
        return;
    }
    Request request{session.id, textField(*payload, "identifier"), textField(*payload, "name"),
                    textField(*payload, "description"), textField(*payload, "version")};
    session.label = "\"" + request.name + "\" (" + request.identifier + ")";
    const auto content = payload->find("content");
    const std::string key =
        content != payload->end() && content->is_object() ? textField(*content, "apiKey") : std::string();
    if (!key.empty()) {
        if (known(key)) {
            approve(session, key);
        } else {
            refuse(session, "its key is not known");
        }
        return;
    }
    if (options.deny) {
        refuse(session, "every request is denied");
        return;
    }
    session.state = State::PENDING;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(std::move(request));
    }
    std::cerr << "hostsim: remote app " << session.label << " asks for approval (request " << session.id
              << ")\n";
    if (options.approveAfter) {
        session.approveAfter(*options.approveAfter);
    }
}

void RemoteAppsServer::Impl::approve(AppSession& session, std::string key)
{
    // The others hear what changed before this snapshot, so that it and every later event
    // start from the same model.
    refresh();
    dropPending(session.id);
    {
        std::lock_guard<std::mutex> lock(mutex);
        keys.insert(key);
        ++apps;
    }
    session.state = State::APPROVED;
    session.key = key;
    session.send(sim::dumpJson(remote_apps::authAnswer(last, key)));
    std::cerr << "hostsim: remote app " << session.label << " approved\n";
}

void RemoteAppsServer::Impl::refuse(AppSession& session, const char* why)
{
    dropPending(session.id);
    std::cerr << "hostsim: remote app " << (session.label.empty() ? "(unnamed)" : session.label)
              << " refused: " << why << "\n";
    session.close();
}

void RemoteAppsServer::Impl::ended(AppSession& session)
{
    const auto found = sessions.find(session.id);
    if (found == sessions.end()) {
        return;
    }
    // Held until the end of this call: `session` lives in it.
    const std::shared_ptr<AppSession> keep = found->second;
    sessions.erase(found);
    dropPending(session.id);
    if (session.state == State::APPROVED) {
        std::lock_guard<std::mutex> lock(mutex);
        --apps;
    }
    if (session.state == State::APPROVED || session.state == State::PENDING) {
        std::cerr << "hostsim: remote app " << session.label << " disconnected\n";
    }
    session.state = State::CLOSING;
}

void RemoteAppsServer::Impl::keyDown(const AppSession& session, const std::string& button)
{
    std::optional<sim::UserAction> chosen;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A press that names no button is no key to record: the choice stays open.
        if (!button.empty()) {
            chosen = std::exchange(choosing, std::nullopt);
        }
    }
    if (!chosen) {
        sim::pressButton(button);
        return;
    }
    // A button bound to another action moves to this one; the action's other buttons stay.
    sim::updateModel([&](sim::Model& model) { model.bindings[button] = *chosen; });
    std::cerr << "hostsim: key binding: \"" << button << "\" of remote app " << session.label
              << " now triggers " << sim::userActionName(*chosen) << "\n";
}

void RemoteAppsServer::Impl::dropPending(std::uint64_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    pending.erase(std::remove_if(pending.begin(), pending.end(), [id](const Request& r) { return r.id == id; }),
                  pending.end());
}

std::string RemoteAppsServer::Impl::newKey()
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string key;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < KEY_BYTES * 2; ++i) {
        if (i % 16 == 0) {
            bits = keyBits();
        }
        key += HEX[bits & 0xF];
        bits >>= 4;
    }
    return key;
}

RemoteAppsServer::RemoteAppsServer(RemoteAppsOptions options) : m_impl(std::make_unique<Impl>(options)) {}

RemoteAppsServer::~RemoteAppsServer()
{
    stop();
}

bool RemoteAppsServer::start(std::string& error)
{
    Impl& impl = *m_impl;
    const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), impl.options.port);
    beast::error_code failure;
    impl.acceptor.open(endpoint.protocol(), failure);
    if (!failure) {
        platform::setExclusiveListenOptions(static_cast<platform::SocketHandle>(impl.acceptor.native_handle()));
        impl.acceptor.bind(endpoint, failure);
    }
    if (!failure) {
        impl.acceptor.listen(net::socket_base::max_listen_connections, failure);
    }
    if (failure) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(impl.options.port) + ": " + failure.message();
        return false;
    }
    impl.port = impl.acceptor.local_endpoint().port();
    // The version first: a change between the two reads is then seen as one.
    const std::uint64_t version = sim::modelVersion();
    impl.last = sim::model();
    impl.accept();
    impl.ioThread = std::thread([&impl] { impl.ioc.run(); });
    impl.watcher = std::thread(&Impl::watch, &impl, version);
    return true;
}

std::uint16_t RemoteAppsServer::port() const
{
    return m_impl->port;
}

void RemoteAppsServer::stop()
{
    Impl& impl = *m_impl;
    if (!impl.ioThread.joinable()) {
        return;
    }
    impl.stopping = true;
    impl.watcher.join();
    net::post(impl.ioc, [&impl] {
        beast::error_code ignored;
        impl.acceptor.close(ignored);
        for (const auto& entry : impl.sessions) {
            entry.second->abort();
        }
        impl.sessions.clear();
    });
    // Once the aborted reads and writes have come back, nothing is left to run.
    impl.ioThread.join();
}

ordered_json RemoteAppsServer::view() const
{
    const Impl& impl = *m_impl;
    // Read before the lock: the host's lock is never taken under this one.
    const std::map<std::string, sim::UserAction> bound = sim::model().bindings;
    ordered_json bindings = ordered_json::array();
    for (const sim::UserAction action : sim::USER_ACTIONS) {
        ordered_json buttons = ordered_json::array();
        for (const auto& [button, boundAction] : bound) {
            if (boundAction == action) {
                buttons.push_back(button);
            }
        }
        bindings.push_back({{"action", sim::userActionName(action)},
                            {"label", actionLabel(action)},
                            {"buttons", std::move(buttons)}});
    }
    ordered_json requests = ordered_json::array();
    std::lock_guard<std::mutex> lock(impl.mutex);
    for (const Impl::Request& request : impl.pending) {
        requests.push_back({{"request", request.id},
                            {"identifier", request.identifier},
                            {"name", request.name},
                            {"description", request.description},
                            {"version", request.version}});
    }
    const std::string approval =
        impl.options.deny           ? "deny"
        : impl.options.approveAfter ? "after " + std::to_string(impl.options.approveAfter->count()) + " ms"
                                    : "console";
    return {{"port", impl.port},
            {"approval", approval},
            {"pending", std::move(requests)},
            {"knownKeys", impl.keys.size()},
            {"apps", impl.apps},
            {"bindings", std::move(bindings)},
            {"choosing", impl.choosing ? ordered_json(sim::userActionName(*impl.choosing)) : ordered_json()}};
}

bool RemoteAppsServer::decide(std::uint64_t request, bool approve)
{
    Impl& impl = *m_impl;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        if (std::none_of(impl.pending.begin(), impl.pending.end(),
                         [request](const Impl::Request& r) { return r.id == request; })) {
            return false;
        }
    }
    net::post(impl.ioc, [&impl, request, approve] {
        const auto found = impl.sessions.find(request);
        if (found == impl.sessions.end() || found->second->state != State::PENDING) {
            return;
        }
        if (approve) {
            impl.approve(*found->second, impl.newKey());
        } else {
            impl.refuse(*found->second, "denied in the console");
        }
    });
    return true;
}

void RemoteAppsServer::replaceKeys(std::vector<std::string> keys)
{
    Impl& impl = *m_impl;
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.keys = std::set<std::string>(keys.begin(), keys.end());
    }
    net::post(impl.ioc, [&impl] {
        for (const auto& entry : impl.sessions) {
            AppSession& session = *entry.second;
            if (session.state == State::APPROVED && !impl.known(session.key)) {
                std::cerr << "hostsim: remote app " << session.label << " closed: its key was forgotten\n";
                {
                    std::lock_guard<std::mutex> lock(impl.mutex);
                    --impl.apps;
                }
                session.close();
            }
        }
    });
}

std::vector<std::string> RemoteAppsServer::knownKeys() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return {m_impl->keys.begin(), m_impl->keys.end()};
}

void RemoteAppsServer::chooseBinding(sim::UserAction action)
{
    std::optional<sim::UserAction> before;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        before = std::exchange(m_impl->choosing, action);
    }
    // One write, so that the socket thread's lines do not cut into it.
    std::string line =
        std::string("hostsim: key binding: waiting for a key for ") + sim::userActionName(action);
    if (before && *before != action) {
        line += std::string(" (no longer for ") + sim::userActionName(*before) + ")";
    }
    std::cerr << line + "\n";
}

std::optional<sim::UserAction> RemoteAppsServer::cancelBinding()
{
    std::optional<sim::UserAction> before;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        before = std::exchange(m_impl->choosing, std::nullopt);
    }
    if (before) {
        std::cerr << std::string("hostsim: key binding: no longer waiting for a key for ") +
                         sim::userActionName(*before) + "\n";
    }
    return before;
}

std::optional<sim::UserAction> RemoteAppsServer::choosing() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->choosing;
}
