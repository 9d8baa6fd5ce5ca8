// g19-hostsim's web console through its API: who may ask, what the edits do to the model, what
// the display's calls read as, and the server itself on a free port of the loopback interface.
// The page is left to the browser test.

#include "console_model.h"
#include "display_activity.h"
#include "request_guard.h"
#include "web_console.h"

#include "host/properties.h"
#include "platform/client.h"
#include "sim/scenario_json.h"
#include "sim/sim_host.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

using console::ordered_json;

sim::Channel channel(uint64 id, const char* name, uint64 parent, int after)
{
    sim::Channel result{id, name, parent, {}};
    result.ints[CHANNEL_ORDER] = after;
    return result;
}

sim::Client client(anyID id, const char* nickname, uint64 channel)
{
    sim::Client result;
    result.id = id;
    result.nickname = nickname;
    result.channel = channel;
    return result;
}

// Listed out of the tree's order: Lobby, Gaming (Raid), Music.
sim::Model server()
{
    sim::Connection connection;
    connection.schid = 1;
    connection.serverName = "Test";
    connection.self = 1;
    connection.channels = {channel(1, "Lobby", 0, 0), channel(5, "Music", 0, 2), channel(2, "Gaming", 0, 1),
                           channel(3, "Raid", 2, 0)};
    connection.clients = {client(1, "me", 1), client(2, "Alice", 3), client(4, "Carol", 3)};
    sim::Model model;
    model.current = 1;
    model.connections.push_back(connection);
    return model;
}

std::vector<std::string> treeNames(const sim::Model& model)
{
    std::vector<std::string> names;
    const ordered_json view = console::modelView(model);
    for (const auto& channel : view["connections"][0]["channels"]) {
        names.push_back(std::string(channel["depth"].get<std::size_t>(), ' ') +
                        channel["name"].get<std::string>());
    }
    return names;
}

TEST(ConsoleGuard, AcceptsLoopbackNamesOnly)
{
    for (const char* host :
         {"localhost", "LocalHost:8019", "127.0.0.1", "127.0.0.1:1", "[::1]", "[::1]:8019"}) {
        EXPECT_TRUE(console::isLoopbackHost(host)) << host;
    }
    for (const char* host :
         {"", "attacker.example", "localhost.attacker.example", "127.0.0.1.nip.io", "127.0.0.2:8019",
          "localhost:", "localhost:80x", "localhost:123456", "[::1]x", "0.0.0.0:8019"}) {
        EXPECT_FALSE(console::isLoopbackHost(host)) << host;
    }
}

TEST(ConsoleGuard, ChangesOnlyFromTheOwnOrigin)
{
    const char* host = "127.0.0.1:8019";
    EXPECT_TRUE(console::isOwnOrigin(host, "http://127.0.0.1:8019", true, "", false));
    EXPECT_FALSE(console::isOwnOrigin(host, "http://attacker.example", true, "http://127.0.0.1:8019/", true));
    EXPECT_FALSE(console::isOwnOrigin(host, "null", true, "", false));
    EXPECT_FALSE(console::isOwnOrigin(host, "http://localhost:8019", true, "", false)) << "another origin";
    EXPECT_TRUE(console::isOwnOrigin(host, "", false, "http://127.0.0.1:8019/page", true));
    EXPECT_FALSE(console::isOwnOrigin(host, "", false, "http://127.0.0.1:80190/", true));
    EXPECT_TRUE(console::isOwnOrigin(host, "", false, "", false)) << "a program, not a page";
    EXPECT_TRUE(console::onlyReads("GET"));
    EXPECT_FALSE(console::onlyReads("OPTIONS"));
}

TEST(ConsoleModel, DrawsTheTreeInTheClientsOrder)
{
    EXPECT_EQ(treeNames(server()), (std::vector<std::string>{"Lobby", "Gaming", " Raid", "Music"}));
}

TEST(ConsoleModel, PatchesAClientThroughTheScenarioReader)
{
    sim::Model model = server();
    console::EditResult result = console::patchClient(model, 1, 2, {{"talking", 1}, {"nickname", "Alicia"}});
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(model.connections[0].clients[1].ints.at(CLIENT_FLAG_TALKING), 1);
    EXPECT_EQ(model.connections[0].clients[1].nickname, "Alicia");

    result = console::patchClient(model, 1, 2, {{"talking", "yes"}, {"away", 1}});
    EXPECT_EQ(result.status, 400);
    EXPECT_EQ(result.body["error"], "at /talking: expected an integer from -2147483648 to 2147483647");
    EXPECT_EQ(model.connections[0].clients[1].ints.count(CLIENT_AWAY), 0u) << "all or nothing";

    EXPECT_EQ(console::patchConnection(model, 1, {{"server", {{"roundTripMs", 150}}}}).status, 200);
    EXPECT_EQ(model.connections[0].serverName, "Test");
    EXPECT_EQ(model.connections[0].roundTripMs, 150u);
    EXPECT_EQ(console::patchConnection(model, 1, {{"schid", 2}}).status, 400);
    EXPECT_EQ(console::patchClient(model, 1, 2, {{"id", 9}}).status, 400);
    EXPECT_EQ(console::patchClient(model, 1, 9, {{"away", 1}}).status, 404);
    EXPECT_EQ(console::patchClient(model, 2, 2, {{"away", 1}}).status, 404);
}

TEST(ConsoleModel, AddsWithFreeIdsInTheDefaultChannelAndAtTheEnd)
{
    sim::Model model = server();
    console::EditResult added = console::addClient(model, 1, {{"nickname", "Dave"}});
    EXPECT_EQ(added.status, 201);
    EXPECT_EQ(added.body["id"], 3);
    EXPECT_EQ(added.body["channel"], 1);
    EXPECT_EQ(console::addClient(model, 1, {{"id", 2}}).status, 409);

    EXPECT_EQ(console::addChannel(model, 1, {{"name", "Strategy"}, {"parent", 2}}).status, 201);
    EXPECT_EQ(console::addChannel(model, 1, {{"name", "Top"}}).status, 201);
    EXPECT_EQ(console::addChannel(model, 1, {{"name", "Lost"}, {"parent", 42}}).status, 400);
    EXPECT_EQ(treeNames(model),
              (std::vector<std::string>{"Lobby", "Gaming", " Raid", " Strategy", "Music", "Top"}));
}

TEST(ConsoleModel, RemovesAChannelWithItsSubtreeAndKeepsTheOrder)
{
    sim::Model model = server();
    const console::EditResult removed = console::removeChannel(model, 1, 2);
    EXPECT_EQ(removed.status, 200);
    EXPECT_EQ(removed.body["removed"], ordered_json({2, 3}));
    EXPECT_EQ(removed.body["movedClients"], ordered_json({2, 4}));
    EXPECT_EQ(model.connections[0].clients[1].channel, 1u);
    // Music was sorted after Gaming; it now follows Lobby.
    EXPECT_EQ(treeNames(model), (std::vector<std::string>{"Lobby", "Music"}));
    EXPECT_EQ(console::patchChannel(model, 1, 1, {{"parent", 5}}).status, 200);
    EXPECT_EQ(console::patchChannel(model, 1, 5, {{"parent", 1}}).status, 400) << "a cycle";
}

TEST(DisplayActivity, ReadsTheDisplaysCallsWithNames)
{
    sim::Model before = server();
    sim::Model now = before;
    now.connections[0].clients.pop_back();  // the kick below removed Carol
    const console::ModelNames names(before, now);
    console::DisplayActivity activity;
    const auto call = [](const char* fn, unsigned int ret = 0) {
        sim::Call made;
        made.fn = fn;
        made.schid = 1;
        made.ret = ret;
        return made;
    };
    sim::Call move = call("requestClientMove");
    move.client = 2;
    move.channel = 5;
    sim::Call moveSelf = move;
    moveSelf.client = 1;
    sim::Call kick = call("requestClientKickFromServer", 512);
    kick.client = 4;
    sim::Call read = call("getClientSelfVariableAsInt");
    read.property = CLIENT_INPUT_MUTED;
    sim::Call set = call("setClientSelfVariableAsInt");
    set.property = CLIENT_INPUT_MUTED;
    set.value = std::int64_t{1};
    for (const sim::Call& made : {call("getClientList"), call("getClientList"), move, moveSelf, kick, read,
                                  set, call("getClientVariableAsInt")}) {
        EXPECT_EQ(console::DisplayActivity::tells(made), made.fn != "getClientVariableAsInt");
        activity.add(made, 1000, names);
    }
    const ordered_json changes = activity.changesSince(0);
    std::vector<std::string> texts;
    for (const auto& entry : changes["entries"]) {
        texts.push_back(entry["text"].get<std::string>() + " x" + std::to_string(entry["times"].get<int>()) +
                        " e" + std::to_string(entry["error"].get<int>()));
    }
    EXPECT_EQ(texts,
              (std::vector<std::string>{
                  "client list x2 e0", "move client 2 (Alice) to Music x1 e0", "move self to Music x1 e0",
                  "kick client 4 (Carol) from the server x1 e512", "mute toggled: on x1 e0"}));
    EXPECT_EQ(changes["counts"],
              ordered_json({{"clients", 2}, {"kick-server", 1}, {"move", 1}, {"move-self", 1}, {"mute", 1}}));
    EXPECT_TRUE(activity.changesSince(activity.revision())["entries"].empty());
}

class WebConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setLogging(true);
        sim::setModel(server());
        std::string error;
        ASSERT_TRUE(m_console.start(0, error)) << error;
        sim::setCallObserver([this](const sim::Call& call) { m_console.onCall(call); });
        m_origin = "http://127.0.0.1:" + std::to_string(m_console.port());
    }

    void TearDown() override
    {
        sim::setCallObserver({});
        m_console.stop();
        sim::reset();
    }

    httplib::Result send(const char* method, const std::string& path, const httplib::Headers& headers,
                         const std::string& body = "")
    {
        httplib::Client client("127.0.0.1", m_console.port());
        httplib::Request request;
        request.method = method;
        request.path = path;
        request.headers = headers;
        request.body = body;
        return client.send(request);
    }

    static bool listFails()
    {
        anyID* list = nullptr;
        const TS3Functions host = sim::functionTable();
        const unsigned int error = host.getClientList(1, &list);
        if (error == 0) {
            host.freeMemory(list);
        }
        return error != 0;
    }

    // A request written by hand, as curl writes it, on a connection that stays open until
    // closed: what came back by the time `text` appeared, the server closed, or `timeout` passed.
    struct RawConnection {
        platform::SocketHandle socket = platform::INVALID_SOCKET_HANDLE;
        std::string received;

        ~RawConnection() { close(); }
        void close()
        {
            if (socket != platform::INVALID_SOCKET_HANDLE) {
                platform::closeSocket(socket);
                socket = platform::INVALID_SOCKET_HANDLE;
            }
        }
        bool readUntil(const std::string& text, std::chrono::milliseconds timeout)
        {
            const auto deadline = platform::SteadyClock::now() + timeout;
            char buffer[4096];
            while (received.find(text) == std::string::npos &&
                   platform::waitUntilReadable(socket, deadline) == platform::WaitStatus::READY) {
                const platform::IoResult got = platform::receiveSome(socket, buffer, sizeof buffer);
                if (got.status == platform::IoStatus::CLOSED || got.status == platform::IoStatus::FAILED) {
                    break;
                }
                received.append(buffer, got.count);
            }
            return received.find(text) != std::string::npos;
        }
    };

    std::unique_ptr<RawConnection> rawRequest(const std::string& head)
    {
        auto connection = std::make_unique<RawConnection>();
        const auto deadline = platform::SteadyClock::now() + std::chrono::seconds(2);
        const platform::ClientConnection opened = platform::connectTo("127.0.0.1", m_console.port(), deadline);
        EXPECT_EQ(opened.status, platform::WaitStatus::READY) << opened.error;
        connection->socket = opened.socket;
        const std::string request = head + "Host: " + m_origin.substr(7) + "\r\n\r\n";
        EXPECT_EQ(platform::sendSome(connection->socket, request.data(), request.size()).count, request.size());
        return connection;
    }

    WebConsole m_console{ConsoleHooks{}};
    std::string m_origin;
};

TEST_F(WebConsoleTest, ServesThePageOnlyUnderALoopbackName)
{
    const auto page = send("GET", "/", {{"Host", "localhost:8019"}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script src=\"/console.js\""), std::string::npos);
    const auto refused = send("GET", "/api/state", {{"Host", "attacker.example"}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(refused->body, "forbidden\n");
}

TEST_F(WebConsoleTest, ChangesTheModelOnlyFromItsOwnOrigin)
{
    const httplib::Headers foreign = {{"Host", m_origin.substr(7)}, {"Origin", "http://attacker.example"}};
    const auto refused = send("PATCH", "/api/connections/1/clients/2", foreign, R"({"away": 1})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(sim::model().connections[0].clients[1].ints.count(CLIENT_AWAY), 0u);

    const httplib::Headers own = {{"Host", m_origin.substr(7)}, {"Origin", m_origin}};
    const auto done = send("PATCH", "/api/connections/1/clients/2", own, R"({"away": 1})");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 200) << done->body;
    EXPECT_EQ(sim::model().connections[0].clients[1].ints.at(CLIENT_AWAY), 1);
}

TEST_F(WebConsoleTest, ArmingARuleKeepsWhatTheOthersHaveUsed)
{
    const httplib::Headers own = {{"Host", m_origin.substr(7)}};
    ASSERT_EQ(send("POST", "/api/failures", own, R"({"fn": "getClientList", "count": 2})")->status, 201);
    EXPECT_TRUE(listFails());
    ASSERT_EQ(send("POST", "/api/failures", own, R"({"fn": "getChannelList"})")->status, 201);
    EXPECT_TRUE(listFails()) << "the first rule's second failure";
    EXPECT_FALSE(listFails()) << "the first rule is used up";
    const auto rules = send("GET", "/api/failures", own);
    ASSERT_TRUE(rules);
    EXPECT_EQ(nlohmann::json::parse(rules->body)[0]["matched"], 3);
}

TEST_F(WebConsoleTest, StreamsTheModelAndThenWhatTheDisplayDid)
{
    httplib::Client client("127.0.0.1", m_console.port());
    client.set_read_timeout(5, 0);
    std::string stream;
    bool asked = false;
    const auto result =
        client.Get("/api/events", {{"Host", m_origin.substr(7)}}, [&](const char* data, size_t size) {
            stream.append(data, size);
            if (!asked && stream.find("event: state") != std::string::npos) {
                asked = true;
                EXPECT_FALSE(listFails());
            }
            return stream.find("event: activity") == std::string::npos;
        });
    EXPECT_NE(stream.find(R"("name":"Raid","parent":2,"order":0,"depth":1)"), std::string::npos) << stream;
    EXPECT_NE(stream.find(R"("text":"client list")"), std::string::npos) << stream;
}

TEST_F(WebConsoleTest, LoadsScenariosAndExamples)
{
    const httplib::Headers own = {{"Host", m_origin.substr(7)}};
    const auto bad = send("PUT", "/api/scenario", own, R"({"connections": [{"schid": "one"}]})");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(bad->body,
              R"({"error":"at /connections/0/schid: expected an integer from 0 to 18446744073709551615"})");
    EXPECT_EQ(sim::model().connections[0].serverName, "Test");
    ASSERT_EQ(send("POST", "/api/examples/minimal", own)->status, 200);
    EXPECT_EQ(sim::model().connections.size(), 1u);
    EXPECT_NE(sim::model().connections[0].serverName, "Test");
    EXPECT_EQ(send("POST", "/api/examples/nothing", own)->status, 404);
}

TEST_F(WebConsoleTest, AnswersAPostWithoutABodyAtOnceAndEveryErrorAsJson)
{
    using std::chrono::milliseconds;
    const auto start = std::chrono::steady_clock::now();
    const auto loaded = rawRequest("POST /api/examples/minimal HTTP/1.1\r\n");
    EXPECT_TRUE(loaded->readUntil(R"({"loaded":"minimal"})", milliseconds(2000))) << loaded->received;
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count(), 1000);
    EXPECT_EQ(loaded->received.rfind("HTTP/1.1 200 ", 0), 0u) << loaded->received;

    const auto unknown = rawRequest("DELETE /api/examples/minimal HTTP/1.1\r\n");
    EXPECT_TRUE(unknown->readUntil(R"({"error":"no such path"})", milliseconds(2000))) << unknown->received;

    // A body cut short by a client that goes away is an error, and nothing is loaded.
    const std::string scenario = R"({"connections": []})";
    std::string error;
    ASSERT_TRUE(sim::parseScenario(scenario, error)) << "a body that would change the model: " << error;
    sim::setModel(server());
    const auto cut = rawRequest("PUT /api/scenario HTTP/1.1\r\nContent-Length: 100\r\n");
    platform::sendSome(cut->socket, scenario.data(), scenario.size());
    platform::closeSocket(cut->socket);
    cut->socket = platform::INVALID_SOCKET_HANDLE;
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(sim::model().connections[0].serverName, "Test");
}

TEST_F(WebConsoleTest, ChoosesCancelsAndForgetsKeyBindingsOnlyWithRemoteApps)
{
    for (const auto& [method, path] : {std::pair{"POST", "/api/remote-apps/bindings/toggle-away/choose"},
                                       {"DELETE", "/api/remote-apps/choosing"},
                                       {"DELETE", "/api/remote-apps/bindings"}}) {
        const auto refused = send(method, path, {{"Host", m_origin.substr(7)}});
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 404) << path << ": there is nothing to bind without Remote Apps";
    }

    // The Remote Apps server's side of the hooks: one choice, held under a lock, since the
    // console's threads set it.
    std::mutex mutex;
    std::optional<sim::UserAction> choice;
    const auto chosen = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return choice;
    };
    ConsoleHooks hooks;
    hooks.remoteApps.view = [] { return ordered_json::object(); };
    hooks.remoteApps.chooseBinding = [&](sim::UserAction action) {
        std::lock_guard<std::mutex> lock(mutex);
        choice = action;
    };
    hooks.remoteApps.cancelBinding = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(choice, std::nullopt);
    };
    WebConsole console(std::move(hooks));
    std::string error;
    ASSERT_TRUE(console.start(0, error)) << error;
    httplib::Client client("127.0.0.1", console.port());
    const httplib::Headers own = {{"Host", "127.0.0.1:" + std::to_string(console.port())}};

    const auto unknown = client.Post("/api/remote-apps/bindings/mute/choose", own, "", "application/json");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_NE(unknown->body.find("one of toggle-microphone, toggle-speakers"), std::string::npos)
        << unknown->body;
    EXPECT_EQ(chosen(), std::nullopt);

    const auto choose =
        client.Post("/api/remote-apps/bindings/toggle-away/choose", own, "", "application/json");
    ASSERT_TRUE(choose);
    EXPECT_EQ(choose->body, R"({"choosing":"toggle-away"})");
    EXPECT_EQ(chosen(), sim::UserAction::TOGGLE_AWAY);
    EXPECT_EQ(client.Delete("/api/remote-apps/choosing", own)->body, R"({"cancelled":"toggle-away"})");
    EXPECT_EQ(chosen(), std::nullopt);
    EXPECT_EQ(client.Delete("/api/remote-apps/choosing", own)->body, R"({"cancelled":null})");

    sim::updateModel([](sim::Model& model) {
        model.bindings = {{"g19-away", sim::UserAction::TOGGLE_AWAY},
                          {"g19-mic", sim::UserAction::TOGGLE_MICROPHONE}};
    });
    EXPECT_EQ(client.Delete("/api/remote-apps/bindings", own)->body, R"({"forgotten":2})");
    EXPECT_TRUE(sim::model().bindings.empty());
    console.stop();
}

TEST_F(WebConsoleTest, AClosedEventStreamFreesItsSlotWithinASecond)
{
    constexpr int MAX_STREAMS = 16;  // as docs/console.md promises
    std::vector<std::unique_ptr<RawConnection>> streams;
    for (int i = 0; i < MAX_STREAMS; ++i) {
        streams.push_back(rawRequest("GET /api/events HTTP/1.1\r\n"));
        ASSERT_TRUE(streams.back()->readUntil("event: state", std::chrono::seconds(2))) << i;
    }
    const auto refused = rawRequest("GET /api/events HTTP/1.1\r\nConnection: close\r\n");
    EXPECT_TRUE(refused->readUntil("HTTP/1.1 503 ", std::chrono::seconds(2))) << refused->received;

    streams.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const auto next = rawRequest("GET /api/events HTTP/1.1\r\n");
    EXPECT_TRUE(next->readUntil("event: state", std::chrono::seconds(2))) << next->received;
}

}  // namespace
