#include "web_console.h"

#include "console_model.h"
#include "display_activity.h"
#include "embedded_files.h"
#include "request_guard.h"

#include "platform/listen_options.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace {

using console::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* LOOPBACK = "127.0.0.1";
// While a page watches, the model is compared this often: talking lights follow within it.
constexpr std::chrono::milliseconds WATCHED_POLL{50};
// Otherwise only the display's calls are read, for the activity list a page will load.
constexpr std::chrono::milliseconds IDLE_POLL{500};
// A comment line this often finds out a page that went away: until a write fails, its stream
// holds a thread and counts against MAX_STREAMS.
constexpr std::chrono::seconds STREAM_KEEPALIVE{5};
// Between events a stream looks this often whether its page has closed it, so that the slot
// is free again within a second.
constexpr std::chrono::milliseconds STREAM_LIVENESS{250};
// Each open stream holds one of the HTTP server's threads; REQUEST_THREADS more serve requests.
constexpr int MAX_STREAMS = 16;
constexpr int REQUEST_THREADS = 8;
// An idle browser connection holds a thread too, and stop() waits for it to time out.
constexpr time_t KEEP_ALIVE_S = 1;
constexpr std::size_t MAX_BODY_BYTES = 16 * 1024 * 1024;
// A display polling flat out between two reads of the queue.
constexpr std::size_t MAX_PENDING_CALLS = 100000;
constexpr std::string_view EXAMPLE_PREFIX = "examples/";
constexpr const char* DEMO_EXAMPLE = "demo";
constexpr const char* NO_REMOTE_APPS = "g19-hostsim serves no Remote Apps (--remote-apps)";

std::int64_t wallClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string_view embedded(std::string_view name)
{
    for (std::size_t i = 0; i < EMBEDDED_FILE_COUNT; ++i) {
        if (name == EMBEDDED_FILES[i].name) {
            return {reinterpret_cast<const char*>(EMBEDDED_FILES[i].data), EMBEDDED_FILES[i].size};
        }
    }
    return {};
}

void answer(httplib::Response& res, int status, const ordered_json& body)
{
    res.status = status;
    res.set_content(sim::dumpJson(body), "application/json");
}

void answerError(httplib::Response& res, int status, const std::string& message)
{
    answer(res, status, {{"error", message}});
}

// A number from a route's pattern; out of range it names nothing that exists.
std::optional<std::uint64_t> pathNumber(const httplib::Request& req, std::size_t index)
{
    try {
        return std::stoull(req.matches[index].str());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// HTTP/1.1 gives a request with neither Content-Length nor Transfer-Encoding no body, but the
// HTTP library would read one until the client gives up, and only then act on it.
void noLengthMeansNoBody(const httplib::Request& req)
{
    const bool mayHaveBody = req.method == "POST" || req.method == "PUT" || req.method == "PATCH" ||
                             req.method == "DELETE";
    if (mayHaveBody && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
        // The request is the library's own, not a constant: only the handler's view is const.
        const_cast<httplib::Request&>(req).headers.emplace("Content-Length", "0");
    }
}

// What the HTTP library answers on its own (a body it could not read, a path that matches no
// route) gets the API's JSON error too, rather than an empty body.
std::string libraryError(int status)
{
    switch (status) {
        case 400:
            return "the request could not be read";
        case 404:
            return "no such path";
        case 413:
            return "the body is larger than " + std::to_string(MAX_BODY_BYTES) + " bytes";
        default:
            return httplib::detail::status_message(status);
    }
}

std::optional<ordered_json> jsonBody(const httplib::Request& req, httplib::Response& res)
{
    ordered_json body = ordered_json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        answerError(res, 400, "the body is not JSON");
        return std::nullopt;
    }
    return body;
}

}  // namespace

struct WebConsole::Impl {
    explicit Impl(ConsoleHooks consoleHooks) : hooks(std::move(consoleHooks)) {}

    ConsoleHooks hooks;
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listenerEnded{false};
    std::thread watcher;
    std::uint16_t port = 0;

    // Guards everything below. The call observer takes it under the host's lock, so whoever
    // holds it must never call into the simulated host.
    std::mutex mutex;
    std::condition_variable changed;  // the streams wait on it
    std::condition_variable watcherWake;
    bool stopping = false;
    int streams = 0;
    std::string stateJson;
    std::uint64_t stateVersion = 0;
    console::DisplayActivity activity;
    console::FailureTracker failures;
    struct PendingCall {
        sim::Call call;
        std::int64_t wallMs = 0;
    };
    std::vector<PendingCall> pending;

    // Serialises refresh(); `before` is the model of the last one.
    std::mutex refreshMutex;
    sim::Model before;

    // Reads the model and the calls since the last time; wakes the streams if anything changed.
    void refresh()
    {
        std::lock_guard<std::mutex> serial(refreshMutex);
        sim::Model now = sim::model();
        ordered_json view = console::modelView(now);
        std::lock_guard<std::mutex> lock(mutex);
        view["failures"] = failures.view();
        std::string json = sim::dumpJson(view);
        bool anything = false;
        if (json != stateJson) {
            stateJson = std::move(json);
            ++stateVersion;
            anything = true;
        }
        if (!pending.empty()) {
            const console::ModelNames names(before, now);
            const std::uint64_t revision = activity.revision();
            for (const PendingCall& entry : pending) {
                activity.add(entry.call, entry.wallMs, names);
            }
            pending.clear();
            anything = anything || activity.revision() != revision;
        }
        before = std::move(now);
        if (anything) {
            changed.notify_all();
        }
    }

    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            // Woken early when a stream opens, to poll at its pace from then on.
            watcherWake.wait_for(lock, streams > 0 ? WATCHED_POLL : IDLE_POLL);
            if (stopping) {
                break;
            }
            lock.unlock();
            refresh();
            lock.lock();
        }
    }

    void onCall(const sim::Call& call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        failures.observe(call);
        if (console::DisplayActivity::tells(call) && pending.size() < MAX_PENDING_CALLS) {
            pending.push_back({call, wallClockMs()});
        }
    }

    void replaceRules(std::vector<sim::FailureRule> rules)
    {
        std::lock_guard<std::mutex> lock(mutex);
        failures.replace(std::move(rules));
    }

    // The tracker learns of new rules just before the host does: a call in between counts
    // for the new rules here and for the old ones in the host, which can make a rule armed
    // at that instant fail one call fewer than asked. Setting both under one lock would
    // deadlock with the observer, which holds the host's lock while it takes ours.
    void loadScenario(sim::Scenario scenario)
    {
        if (hooks.stopDemo) {
            hooks.stopDemo();
        }
        replaceRules(scenario.failures);
        if (scenario.remoteAppsKeys && hooks.remoteApps.replaceKeys) {
            hooks.remoteApps.replaceKeys(*scenario.remoteAppsKeys);
        }
        sim::setModelAndFailures(std::move(scenario.model), std::move(scenario.failures));
        refresh();
    }

    void loadDemo()
    {
        replaceRules({});
        hooks.loadDemo();
        refresh();
    }

    void armRule(sim::FailureRule rule)
    {
        std::vector<sim::FailureRule> rules;
        {
            std::lock_guard<std::mutex> lock(mutex);
            failures.add(std::move(rule));
            rules = failures.remaining();
        }
        sim::setFailures(std::move(rules));
        refresh();
    }

    template <typename Edit>
    void edit(httplib::Response& res, Edit&& change)
    {
        console::EditResult result;
        sim::updateModel([&](sim::Model& model) { result = change(model); });
        refresh();
        answer(res, result.status, result.body);
    }

    // Server-sent events: "state" with the whole view when it changed, "activity" with the
    // entries changed since the last event. Called again and again while it returns true.
    bool stream(std::uint64_t& version, std::uint64_t& revision, httplib::DataSink& sink)
    {
        const Clock::time_point keepalive = Clock::now() + STREAM_KEEPALIVE;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const bool news = changed.wait_for(lock, STREAM_LIVENESS, [&] {
                return stopping || version != stateVersion || revision != activity.revision();
            });
            if (stopping) {
                return false;
            }
            if (news || Clock::now() >= keepalive) {
                break;
            }
            lock.unlock();
            // A page that went away shows as a socket that is closed for reading.
            const bool open = sink.is_writable();
            lock.lock();
            if (!open) {
                return false;
            }
        }
        std::string events;
        if (version != stateVersion) {
            events += "event: state\ndata: " + stateJson + "\n\n";
            version = stateVersion;
        }
        if (revision != activity.revision()) {
            events += "event: activity\ndata: " + sim::dumpJson(activity.changesSince(revision)) + "\n\n";
            revision = activity.revision();
        }
        if (events.empty()) {
            events = ": still here\n\n";
        }
        lock.unlock();
        return sink.write(events.data(), events.size());
    }

    void guard()
    {
        server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            noLengthMeansNoBody(req);
            const std::string host = req.get_header_value("Host");
            const bool allowed =
                req.has_header("Host") && console::isLoopbackHost(host) &&
                (console::onlyReads(req.method) ||
                 console::isOwnOrigin(host, req.get_header_value("Origin"), req.has_header("Origin"),
                                      req.get_header_value("Referer"), req.has_header("Referer")));
            if (allowed) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.status = 403;
            res.set_content("forbidden\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        server.set_default_headers({
            {"Cache-Control", "no-store"},
            {"X-Content-Type-Options", "nosniff"},
            // No inline script, nothing from elsewhere, and no framing by another page.
            {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
        });
        server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) {
                answerError(res, res.status, libraryError(res.status));
            }
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
                std::string what = "unknown";
                try {
                    std::rethrow_exception(std::move(error));
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                answerError(res, 500, what);
            });
    }

    void page()
    {
        const auto file = [](const char* name, const char* type) {
            return [name, type](const httplib::Request&, httplib::Response& res) {
                const std::string_view content = embedded(name);
                res.set_content(content.data(), content.size(), type);
            };
        };
        server.Get("/", file("console/index.html", "text/html; charset=utf-8"));
        server.Get("/console.js", file("console/console.js", "text/javascript; charset=utf-8"));
        server.Get("/console.css", file("console/console.css", "text/css; charset=utf-8"));
    }

    void readRoutes()
    {
        server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
            refresh();
            std::lock_guard<std::mutex> lock(mutex);
            res.set_content(stateJson, "application/json");
        });
        server.Get("/api/activity", [this](const httplib::Request&, httplib::Response& res) {
            refresh();
            std::lock_guard<std::mutex> lock(mutex);
            answer(res, 200, activity.changesSince(0));
        });
        server.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (streams >= MAX_STREAMS) {
                    answerError(res, 503, "too many pages watch this console");
                    return;
                }
                ++streams;
            }
            watcherWake.notify_one();
            auto cursor = std::make_shared<std::pair<std::uint64_t, std::uint64_t>>(0, 0);
            res.set_chunked_content_provider(
                "text/event-stream",
                [this, cursor](std::size_t, httplib::DataSink& sink) {
                    return stream(cursor->first, cursor->second, sink);
                },
                [this](bool) {
                    std::lock_guard<std::mutex> lock(mutex);
                    --streams;
                });
        });
        server.Get("/api/scenario", [this](const httplib::Request&, httplib::Response& res) {
            sim::Scenario scenario;
            scenario.model = sim::model();
            {
                std::lock_guard<std::mutex> lock(mutex);
                scenario.failures = failures.remaining();
            }
            answer(res, 200, sim::scenarioToJson(scenario));
        });
        server.Get("/api/examples", [](const httplib::Request&, httplib::Response& res) {
            ordered_json names = ordered_json::array({DEMO_EXAMPLE});
            for (std::size_t i = 0; i < EMBEDDED_FILE_COUNT; ++i) {
                const std::string_view name = EMBEDDED_FILES[i].name;
                if (name.compare(0, EXAMPLE_PREFIX.size(), EXAMPLE_PREFIX) == 0) {
                    names.push_back(name.substr(EXAMPLE_PREFIX.size()));
                }
            }
            answer(res, 200, names);
        });
        server.Get("/api/failures", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            answer(res, 200, failures.view());
        });
    }

    void scenarioRoutes()
    {
        server.Put("/api/scenario", [this](const httplib::Request& req, httplib::Response& res) {
            std::string error;
            std::optional<sim::Scenario> scenario = sim::parseScenario(req.body, error);
            if (!scenario) {
                answerError(res, 400, error);
                return;
            }
            loadScenario(std::move(*scenario));
            answer(res, 200, {{"loaded", true}});
        });
        server.Post(R"(/api/examples/([a-z0-9-]+))",
                    [this](const httplib::Request& req, httplib::Response& res) {
                        const std::string name = req.matches[1].str();
                        if (name == DEMO_EXAMPLE) {
                            loadDemo();
                            answer(res, 200, {{"loaded", name}});
                            return;
                        }
                        const std::string_view text = embedded(std::string(EXAMPLE_PREFIX) + name);
                        std::string error;
                        std::optional<sim::Scenario> scenario =
                            text.empty() ? std::nullopt : sim::parseScenario(text, error);
                        if (!scenario) {
                            answerError(res, 404, "no example " + name);
                            return;
                        }
                        loadScenario(std::move(*scenario));
                        answer(res, 200, {{"loaded", name}});
                    });
        server.Post("/api/failures", [this](const httplib::Request& req, httplib::Response& res) {
            const std::optional<ordered_json> rule = jsonBody(req, res);
            if (!rule) {
                return;
            }
            // Read through the scenario reader, so that a rule is checked as in a scenario.
            std::string error;
            std::optional<sim::Scenario> read =
                sim::parseScenario(sim::dumpJson({{"failures", ordered_json::array({*rule})}}), error);
            if (!read) {
                const std::string prefix = "/failures/0";
                if (const auto at = error.find(prefix); at != std::string::npos) {
                    error.replace(at, prefix.size(),
                                  error.compare(at + prefix.size(), 1, ":") == 0 ? "/" : "");
                }
                answerError(res, 400, error);
                return;
            }
            armRule(std::move(read->failures.front()));
            std::lock_guard<std::mutex> lock(mutex);
            answer(res, 201, failures.view());
        });
        server.Delete("/api/failures", [this](const httplib::Request&, httplib::Response& res) {
            replaceRules({});
            sim::setFailures({});
            refresh();
            answer(res, 200, ordered_json::array());
        });
    }

    // The approval of Remote Apps programs; 404 on every change while there is none.
    void remoteAppsRoutes()
    {
        server.Get("/api/remote-apps", [this](const httplib::Request&, httplib::Response& res) {
            ordered_json body = {{"enabled", static_cast<bool>(hooks.remoteApps.view)}};
            if (hooks.remoteApps.view) {
                body.update(hooks.remoteApps.view());
            }
            answer(res, 200, body);
        });
        server.Post(R"(/api/remote-apps/requests/(\d+)/(approve|deny))",
                    [this](const httplib::Request& req, httplib::Response& res) {
                        const auto request = pathNumber(req, 1);
                        const bool approve = req.matches[2].str() == "approve";
                        if (!hooks.remoteApps.decide || !request || !hooks.remoteApps.decide(*request, approve)) {
                            answerError(res, 404, "no such request");
                            return;
                        }
                        answer(res, 200, {{approve ? "approved" : "denied", *request}});
                    });
        server.Delete("/api/remote-apps/keys", [this](const httplib::Request&, httplib::Response& res) {
            if (!hooks.remoteApps.replaceKeys) {
                answerError(res, 404, NO_REMOTE_APPS);
                return;
            }
            hooks.remoteApps.replaceKeys({});
            answer(res, 200, {{"knownKeys", 0}});
        });
        bindingRoutes();
    }

    // The key-binding dialog: "choose" beside an action, cancel, and forgetting every binding.
    void bindingRoutes()
    {
        server.Post(R"(/api/remote-apps/bindings/([^/]+)/choose)", [this](const httplib::Request& req,
                                                                          httplib::Response& res) {
            if (!hooks.remoteApps.chooseBinding) {
                answerError(res, 404, NO_REMOTE_APPS);
                return;
            }
            const std::string name = req.matches[1].str();
            const std::optional<sim::UserAction> action = sim::userActionNamed(name);
            if (!action) {
                answerError(res, 404, "no action \"" + name + "\"; one of " + sim::userActionNames());
                return;
            }
            hooks.remoteApps.chooseBinding(*action);
            answer(res, 200, {{"choosing", name}});
        });
        server.Delete("/api/remote-apps/choosing", [this](const httplib::Request&, httplib::Response& res) {
            if (!hooks.remoteApps.cancelBinding) {
                answerError(res, 404, NO_REMOTE_APPS);
                return;
            }
            const std::optional<sim::UserAction> closed = hooks.remoteApps.cancelBinding();
            answer(res, 200,
                   {{"cancelled", closed ? ordered_json(sim::userActionName(*closed)) : ordered_json()}});
        });
        server.Delete("/api/remote-apps/bindings", [this](const httplib::Request&, httplib::Response& res) {
            if (!hooks.remoteApps.view) {
                answerError(res, 404, NO_REMOTE_APPS);
                return;
            }
            std::size_t forgotten = 0;
            sim::updateModel([&](sim::Model& model) {
                forgotten = model.bindings.size();
                model.bindings.clear();
            });
            refresh();
            answer(res, 200, {{"forgotten", forgotten}});
        });
    }

    void modelRoutes()
    {
        const std::string connection = R"(/api/connections/(\d+))";
        server.Patch(connection, [this](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const std::optional<ordered_json> body = jsonBody(req, res);
            if (body) {
                edit(res, [&](sim::Model& model) {
                    return console::patchConnection(model, schid.value_or(0), *body);
                });
            }
        });
        server.Post(connection + "/channels", [this](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const std::optional<ordered_json> body = jsonBody(req, res);
            if (body) {
                edit(res,
                     [&](sim::Model& model) { return console::addChannel(model, schid.value_or(0), *body); });
            }
        });
        server.Post(connection + "/clients", [this](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const std::optional<ordered_json> body = jsonBody(req, res);
            if (body) {
                edit(res,
                     [&](sim::Model& model) { return console::addClient(model, schid.value_or(0), *body); });
            }
        });
        const std::string channel = connection + R"(/channels/(\d+))";
        server.Patch(channel, [this](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const auto id = pathNumber(req, 2);
            const std::optional<ordered_json> body = jsonBody(req, res);
            if (body) {
                edit(res, [&](sim::Model& model) {
                    return id ? console::patchChannel(model, schid.value_or(0), *id, *body)
                              : console::EditResult{404, {{"error", "no such channel"}}};
                });
            }
        });
        server.Delete(channel, [this](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const auto id = pathNumber(req, 2);
            edit(res, [&](sim::Model& model) {
                return id ? console::removeChannel(model, schid.value_or(0), *id)
                          : console::EditResult{404, {{"error", "no such channel"}}};
            });
        });
        const std::string client = connection + R"(/clients/(\d+))";
        const auto clientId = [](const httplib::Request& req) -> std::optional<anyID> {
            const auto id = pathNumber(req, 2);
            return id && *id <= std::numeric_limits<anyID>::max()
                       ? std::optional<anyID>(static_cast<anyID>(*id))
                       : std::nullopt;
        };
        server.Patch(client, [this, clientId](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const auto id = clientId(req);
            const std::optional<ordered_json> body = jsonBody(req, res);
            if (body && id && body->is_object() && body->contains("talking") && hooks.settingTalking) {
                hooks.settingTalking(schid.value_or(0), *id);
            }
            if (body) {
                edit(res, [&](sim::Model& model) {
                    return id ? console::patchClient(model, schid.value_or(0), *id, *body)
                              : console::EditResult{404, {{"error", "no such client"}}};
                });
            }
        });
        server.Delete(client, [this, clientId](const httplib::Request& req, httplib::Response& res) {
            const auto schid = pathNumber(req, 1);
            const auto id = clientId(req);
            edit(res, [&](sim::Model& model) {
                return id ? console::removeClient(model, schid.value_or(0), *id)
                          : console::EditResult{404, {{"error", "no such client"}}};
            });
        });
    }
};

WebConsole::WebConsole(ConsoleHooks hooks) : m_impl(std::make_unique<Impl>(std::move(hooks))) {}

WebConsole::~WebConsole()
{
    stop();
}

bool WebConsole::start(std::uint16_t port, std::string& error)
{
    Impl& impl = *m_impl;
    impl.guard();
    impl.page();
    impl.readRoutes();
    impl.scenarioRoutes();
    impl.modelRoutes();
    impl.remoteAppsRoutes();
    impl.server.new_task_queue = [] { return new httplib::ThreadPool(MAX_STREAMS + REQUEST_THREADS); };
    impl.server.set_keep_alive_timeout(KEEP_ALIVE_S);
    impl.server.set_payload_max_length(MAX_BODY_BYTES);
    impl.server.set_socket_options([](socket_t socket) {
        platform::setExclusiveListenOptions(static_cast<platform::SocketHandle>(socket));
    });
    const int bound = port == 0 ? impl.server.bind_to_any_port(LOOPBACK)
                                : (impl.server.bind_to_port(LOOPBACK, port) ? port : -1);
    if (bound <= 0) {
        error = "cannot listen on " + std::string(LOOPBACK) + ":" + std::to_string(port) +
                "; another program may hold the port";
        return false;
    }
    impl.port = static_cast<std::uint16_t>(bound);
    impl.refresh();
    impl.watcher = std::thread(&Impl::watch, &impl);
    impl.listener = std::thread([&impl] {
        impl.server.listen_after_bind();
        impl.listenerEnded = true;
    });
    // stop() must not come before the server runs, or it would find nothing to stop.
    while (!impl.server.is_running() && !impl.listenerEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::uint16_t WebConsole::port() const
{
    return m_impl->port;
}

void WebConsole::stop()
{
    Impl& impl = *m_impl;
    if (!impl.listener.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.stopping = true;
    }
    impl.changed.notify_all();
    impl.watcherWake.notify_all();
    impl.server.stop();
    impl.listener.join();
    impl.watcher.join();
}

void WebConsole::onCall(const sim::Call& call)
{
    m_impl->onCall(call);
}

void WebConsole::rulesReplaced(std::vector<sim::FailureRule> rules)
{
    m_impl->replaceRules(std::move(rules));
}
