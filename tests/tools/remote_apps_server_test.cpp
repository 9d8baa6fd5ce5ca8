// The Remote Apps server over a real socket on a free loopback port, against the simulated
// host of this process, with a Beast WebSocket client playing the program: approval, keys,
// refusals, presses and events.

#include "remote_apps_server.h"

#include "host/properties.h"
#include "sim/sim_host.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Far beyond any answer on a loaded machine; a test that waits this long has failed.
constexpr auto PATIENCE = 5s;

// One connection, schid 1: the own client 1 and Alice (2) in the lobby. Only the microphone
// is bound.
sim::Model boundServer()
{
    sim::Model model{1,
                     {sim::Connection{1,
                                      "Test",
                                      1,
                                      {sim::Channel{1, "Lobby", 0, {}}},
                                      {sim::Client{1, "Me", 1, {}, true}, sim::Client{2, "Alice", 1, {}, true}},
                                      0}}};
    model.bindings = {{"g19-microphone", sim::UserAction::TOGGLE_MICROPHONE}};
    return model;
}

json auth(const std::string& key)
{
    return {{"type", "auth"},
            {"payload",
             {{"identifier", "test.app"},
              {"version", "1"},
              {"name", "Test"},
              {"description", "the test"},
              {"content", {{"apiKey", key}}}}}};
}

json press(const std::string& button, bool down)
{
    return {{"type", "buttonPress"}, {"payload", {{"button", button}, {"state", down}}}};
}

// A program: connects, sends, and reads with a deadline.
class App {
public:
    explicit App(std::uint16_t port)
    {
        beast::get_lowest_layer(m_ws).connect(net::ip::tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port));
        m_ws.handshake("127.0.0.1", "/");
    }

    void send(const json& message) { m_ws.write(net::buffer(message.dump())); }

    // The next message; null when the socket closes first.
    json next()
    {
        beast::flat_buffer buffer;
        bool done = false;
        beast::error_code error;
        beast::get_lowest_layer(m_ws).expires_after(PATIENCE);
        m_ws.async_read(buffer, [&](beast::error_code result, std::size_t) {
            error = result;
            done = true;
        });
        m_ioc.restart();
        m_ioc.run();
        EXPECT_TRUE(done);
        EXPECT_NE(error, beast::error::timeout) << "nothing arrived in time";
        return error ? json(nullptr) : json::parse(beast::buffers_to_string(buffer.data()));
    }

    // Sends a press and waits for its reply, which comes once the press has done its work.
    void press(const json& message)
    {
        send(message);
        const json reply = nextOf("buttonPress");
        ASSERT_TRUE(reply.is_object()) << "no reply to " << message.dump();
        EXPECT_EQ(reply.at("payload"), message.at("payload"));
    }

    // The next message of this type; the others are of no interest here.
    json nextOf(const std::string& type)
    {
        for (json message = next(); !message.is_null(); message = next()) {
            if (message.at("type") == type) {
                return message;
            }
        }
        return nullptr;
    }

private:
    net::io_context m_ioc;
    websocket::stream<beast::tcp_stream> m_ws{m_ioc};
};

class RemoteAppsServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setModel(boundServer());
    }

    void TearDown() override
    {
        if (m_server) {
            m_server->stop();
        }
    }

    RemoteAppsServer& serve(RemoteAppsOptions options)
    {
        options.port = 0;
        m_server = std::make_unique<RemoteAppsServer>(options);
        std::string error;
        EXPECT_TRUE(m_server->start(error)) << error;
        return *m_server;
    }

    std::unique_ptr<RemoteAppsServer> m_server;
};

TEST_F(RemoteAppsServerTest, ApprovesAfterTheDelayThenKnowsTheKeyUntilForgotten)
{
    const auto delay = 600ms;
    RemoteAppsOptions options;
    options.approveAfter = delay;
    RemoteAppsServer& server = serve(options);

    std::string key;
    {
        App first(server.port());
        const auto asked = Clock::now();
        first.send(auth(""));
        const json answer = first.next();
        EXPECT_GE(Clock::now() - asked, delay);
        ASSERT_TRUE(answer.is_object());
        EXPECT_EQ(answer.at("status").at("code"), 0);
        key = answer.at("payload").at("apiKey").get<std::string>();
        EXPECT_EQ(key.size(), 32u);
        EXPECT_EQ(answer.at("payload").at("connections").at(0).at("properties").at("name"), "Test");
    }
    {
        App again(server.port());
        const auto asked = Clock::now();
        again.send(auth(key));
        const json answer = again.next();
        EXPECT_LT(Clock::now() - asked, delay);
        ASSERT_TRUE(answer.is_object());
        EXPECT_EQ(answer.at("payload").at("apiKey"), key);

        // Forgotten, the key's connection is closed, and the key no longer opens one.
        server.replaceKeys({});
        EXPECT_TRUE(again.next().is_null());
    }
    App stale(server.port());
    stale.send(auth(key));
    EXPECT_TRUE(stale.next().is_null());
}

TEST_F(RemoteAppsServerTest, SnapshotHoldsWhatChangedBeforeTheFirstApproval)
{
    RemoteAppsOptions options;
    options.approveAfter = 0ms;
    RemoteAppsServer& server = serve(options);
    // Nobody listens yet: the change reaches no program, but the first snapshot holds it.
    sim::updateModel([](sim::Model& model) { model.connections[0].serverName = "Renamed"; });
    App app(server.port());
    app.send(auth(""));
    const json answer = app.next();
    ASSERT_TRUE(answer.is_object());
    EXPECT_EQ(answer.at("payload").at("connections").at(0).at("properties").at("name"), "Renamed");
}

TEST_F(RemoteAppsServerTest, ClosesWithoutAnAnswer)
{
    struct Case {
        const char* what;
        bool deny;
        json first;
        json second;  // sent while the first waits, unless null
    };
    const Case cases[] = {
        {"a key it never handed out", false, auth("0123456789abcdef0123456789abcdef"), nullptr},
        {"--deny", true, auth(""), nullptr},
        {"a first message that is not auth", false, press("g19-microphone", true), nullptr},
        {"a message before the answer", false, auth(""), press("g19-microphone", true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        RemoteAppsOptions options;
        options.deny = c.deny;  // and no approval but the console's, which never comes
        RemoteAppsServer& server = serve(options);
        App app(server.port());
        app.send(c.first);
        if (!c.second.is_null()) {
            app.send(c.second);
        }
        EXPECT_TRUE(app.next().is_null());
        EXPECT_TRUE(server.view().at("pending").empty());
    }
}

TEST_F(RemoteAppsServerTest, ConsoleApprovesAWaitingRequest)
{
    RemoteAppsServer& server = serve(RemoteAppsOptions{});
    App app(server.port());
    app.send(auth(""));
    json pending;
    for (const auto until = Clock::now() + PATIENCE; Clock::now() < until && pending.empty();) {
        pending = server.view().at("pending");
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].at("name"), "Test");
    EXPECT_EQ(pending[0].at("identifier"), "test.app");
    ASSERT_TRUE(server.decide(pending[0].at("request").get<std::uint64_t>(), true));
    EXPECT_EQ(app.next().at("type"), "auth");
    EXPECT_EQ(server.knownKeys().size(), 1u);
}

TEST_F(RemoteAppsServerTest, BoundKeyDownActsAndNothingElseDoes)
{
    RemoteAppsOptions options;
    options.approveAfter = 0ms;
    RemoteAppsServer& server = serve(options);
    App app(server.port());
    app.send(auth(""));
    ASSERT_EQ(app.next().at("type"), "auth");

    // The one that changes the model last, so that no event comes between the replies.
    const json presses[] = {press("g19-speakers", true),  // not bound
                            {{"type", "buttonPress"}, {"payload", "not an object"}},
                            press("g19-microphone", false),  // a key up
                            press("g19-microphone", true)};
    for (const json& sent : presses) {
        app.send(sent);
    }
    // Every press is answered with itself, accepted, in the order sent.
    for (const json& sent : presses) {
        const json reply = app.nextOf("buttonPress");
        ASSERT_TRUE(reply.is_object());
        EXPECT_EQ(reply.at("payload"), sent.at("payload"));
        EXPECT_EQ(reply.at("returnCode"), "");
        EXPECT_EQ(reply.at("status"), json({{"code", 0}, {"message", "ok"}}));
    }
    const json flag = app.nextOf("clientSelfPropertyUpdated");
    ASSERT_TRUE(flag.is_object());
    EXPECT_EQ(flag.at("payload").at("flag"), "inputMuted");
    EXPECT_EQ(flag.at("payload").at("newValue"), true);

    const sim::Model now = sim::model();  // a copy: keep it alive while its client is read
    const sim::Client& self = now.connections.at(0).clients.at(0);
    EXPECT_EQ(self.ints.at(CLIENT_INPUT_MUTED), 1);
    EXPECT_EQ(self.ints.count(CLIENT_OUTPUT_MUTED), 0u);
}

TEST_F(RemoteAppsServerTest, AChosenActionTakesTheNextKeyDownAsItsKey)
{
    RemoteAppsOptions options;
    options.approveAfter = 0ms;
    RemoteAppsServer& server = serve(options);
    App app(server.port());
    app.send(auth(""));
    ASSERT_EQ(app.next().at("type"), "auth");
    const auto own = [](std::size_t property) {
        const sim::Model now = sim::model();
        const sim::IntProperties& ints = now.connections.at(0).clients.at(0).ints;
        return ints.count(property) != 0 ? ints.at(property) : 0;
    };
    using Bindings = std::map<std::string, sim::UserAction>;
    const Bindings before = sim::model().bindings;

    // A second choice replaces the first; a key up, or a press that names no button, is no key.
    server.chooseBinding(sim::UserAction::TOGGLE_AWAY);
    server.chooseBinding(sim::UserAction::TOGGLE_SPEAKERS);
    EXPECT_EQ(server.view().at("choosing"), "toggle-speakers");
    app.press(press("g19-new", false));
    app.press({{"type", "buttonPress"}, {"payload", {{"state", true}}}});
    EXPECT_EQ(server.choosing(), sim::UserAction::TOGGLE_SPEAKERS);
    app.press(press("g19-new", true));
    EXPECT_EQ(server.choosing(), std::nullopt);
    Bindings bound = before;
    bound["g19-new"] = sim::UserAction::TOGGLE_SPEAKERS;
    EXPECT_EQ(sim::model().bindings, bound);
    EXPECT_EQ(own(CLIENT_OUTPUT_MUTED), 0) << "the key is taken, not acted on";
    EXPECT_EQ(server.view().at("bindings").at(1), nlohmann::ordered_json({{"action", "toggle-speakers"},
                                                                          {"label", "Toggle speaker mute"},
                                                                          {"buttons", {"g19-new"}}}));
    EXPECT_TRUE(server.view().at("choosing").is_null());

    // From then on the button acts.
    app.press(press("g19-new", true));
    EXPECT_EQ(own(CLIENT_OUTPUT_MUTED), 1);
    EXPECT_EQ(own(CLIENT_AWAY), 0);

    // A choice cancelled takes no key: the microphone's button acts as before.
    server.chooseBinding(sim::UserAction::DISCONNECT);
    EXPECT_EQ(server.cancelBinding(), sim::UserAction::DISCONNECT);
    EXPECT_EQ(server.cancelBinding(), std::nullopt);
    app.press(press("g19-microphone", true));
    EXPECT_EQ(own(CLIENT_INPUT_MUTED), 1);
    EXPECT_EQ(sim::model().bindings, bound);
}

TEST_F(RemoteAppsServerTest, ModelChangesArriveAsEvents)
{
    RemoteAppsOptions options;
    options.approveAfter = 0ms;
    RemoteAppsServer& server = serve(options);
    App app(server.port());
    app.send(auth(""));
    ASSERT_EQ(app.next().at("type"), "auth");

    sim::updateModel([](sim::Model& model) { model.connections[0].clients[1].ints[CLIENT_FLAG_TALKING] = 1; });
    const json talking = app.next();
    EXPECT_EQ(talking.at("type"), "talkStatusChanged");
    EXPECT_EQ(talking.at("payload").at("clientId"), 2);
    EXPECT_EQ(talking.at("payload").at("status"), 1);

    // The server's answer to a talk-power request arrives with nobody calling into the host.
    sim::updateModel([](sim::Model& model) {
        model.connections[0].roundTripMs = 50;
        model.bindings["g19-talk-power"] = sim::UserAction::REQUEST_TALK_POWER;
    });
    app.send(press("g19-talk-power", true));
    const json request = app.nextOf("clientPropertiesUpdated");
    ASSERT_TRUE(request.is_object());
    EXPECT_NE(request.at("payload").at("properties").at("talkRequest"), 0);
}

}  // namespace
