// g19-hostsim run as a program, with the real plug-in library inside, the way a user and a
// display program meet it.

#include "commands/command_support.h"
#include "subprocess.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t DISPLAY_PORT = 12132;
// The plug-in listens about 2 s after its start and accepts 1 s later; a loaded machine
// may take longer, a hang is caught all the same.
constexpr milliseconds FIRST_ANSWER_TIMEOUT{10000};
constexpr milliseconds ANSWER_TIMEOUT{3000};
constexpr milliseconds STOP_TIMEOUT{5000};
// Shutdown takes up to a second by design; the rest is headroom for a busy machine.
constexpr milliseconds STOP_BOUND{1500};

// The answer to 02 when the server's name cannot be read.
const Bytes VERSION_ANSWER = Wire().u8(2).str(G19_VERSION);

std::string tempPath(const std::string& name)
{
    return ::testing::TempDir() + "hostsim_test_" + std::to_string(getpid()) + "_" + name;
}

std::string writeFile(const std::string& name, const std::string& content)
{
    const std::string path = tempPath(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::vector<json> readLog(const std::string& path)
{
    std::ifstream file(path);
    std::vector<json> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_FALSE(lines.back().is_discarded()) << "not JSON: " << line;
    }
    return lines;
}

// Counts complete lines only: the host may be writing the next one.
std::size_t logLines(const std::string& path)
{
    std::ifstream file(path);
    return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(file), {}, '\n'));
}

bool waitForLogLines(const std::string& path, std::size_t count, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (logLines(path) < count) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

Bytes ask(LoopbackPeer& peer, const Bytes& request, std::size_t answerSize,
          milliseconds timeout = ANSWER_TIMEOUT)
{
    EXPECT_TRUE(peer.send(request));
    return peer.receive(answerSize, timeout);
}

class HostsimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(somethingListensOn(DISPLAY_PORT))
            << "another program holds port " << DISPLAY_PORT << "; these tests need it";
    }

    // The memory line must show every allocation released.
    static void expectBalancedMemory(const std::string& errorText)
    {
        const std::regex balanced(
            R"(hostsim: host memory: ([0-9]+) allocated, \1 released, 0 leaked, 0 invalid)");
        EXPECT_TRUE(std::regex_search(errorText, balanced)) << errorText;
    }
};

TEST_F(HostsimTest, DemoServerAnswersLogsEveryCallAndStopsOnSigint)
{
    const std::string logPath = tempPath("demo.log");
    Subprocess host({G19_HOSTSIM, "--log", logPath});
    ASSERT_TRUE(host.running());

    LoopbackPeer peer;
    ASSERT_TRUE(peer.connect(DISPLAY_PORT, FIRST_ANSWER_TIMEOUT)) << host.errorText() << host.outputText();
    const Bytes expected = serverNameAnswer("G19 Demo Server");
    EXPECT_EQ(ask(peer, {0x02}, expected.size(), FIRST_ANSWER_TIMEOUT), expected)
        << host.errorText() << host.outputText();
    peer.close();

    const auto stopStart = Clock::now();
    host.signal(SIGINT);
    const std::optional<int> exitCode = host.waitExit(STOP_TIMEOUT);
    const auto stopTime = Clock::now() - stopStart;
    ASSERT_TRUE(exitCode.has_value()) << "still running after SIGINT\n" << host.errorText();
    EXPECT_EQ(*exitCode, 0) << host.errorText();
    EXPECT_LT(stopTime, STOP_BOUND) << host.errorText();
    EXPECT_TRUE(std::regex_search(host.errorText(), std::regex("hostsim: shutdown took [0-9]+ ms\n")));
    expectBalancedMemory(host.errorText());
    EXPECT_NE(host.errorText().find("hostsim:   version      0.9.9\n"), std::string::npos)
        << host.errorText();

    // Request 02 is four host calls; the log holds them in order, with their arguments.
    const std::vector<json> lines = readLog(logPath);
    std::vector<std::string> functions;
    double lastTime = 0;
    for (const json& line : lines) {
        ASSERT_TRUE(line.at("t_ms").is_number()) << line;
        EXPECT_GE(line["t_ms"].get<double>(), lastTime) << line;
        lastTime = line["t_ms"].get<double>();
        ASSERT_TRUE(line.at("ret").is_number_unsigned()) << line;
        functions.push_back(line.at("fn").get<std::string>());
    }
    ASSERT_EQ(functions, (std::vector<std::string>{"createReturnCode", "getCurrentServerConnectionHandlerID",
                                                   "getServerVariableAsString", "freeMemory"}))
        << "a second peer on the port?\n"
        << host.errorText() << host.outputText();
    EXPECT_TRUE(lines[0].at("pluginID").is_null());
    EXPECT_TRUE(lines[0].at("value").is_string());
    EXPECT_GT(lines[0]["t_ms"].get<double>(), 1000.0) << "the listener waits before it serves";
    EXPECT_EQ(lines[1].at("value"), 1);
    EXPECT_EQ(lines[2], json({{"t_ms", lines[2]["t_ms"]},
                              {"fn", "getServerVariableAsString"},
                              {"schid", 1},
                              {"property", 1},
                              {"ret", 0},
                              {"value", "G19 Demo Server"}}));
    EXPECT_EQ(lines[3].at("released"), "string");
    EXPECT_EQ(lines[3].at("ret"), 0);
}

TEST_F(HostsimTest, ControlLinesReplaceModelAndRulesAndEndOfInputStops)
{
    const std::string scenarioPath = writeFile("before.json", R"({"current": 1,
        "connections": [{"schid": 1, "server": {"name": "Before"}}],
        "failures": [{"fn": "getServerVariableAsString"}]})");
    Subprocess host({G19_HOSTSIM, "--scenario", scenarioPath, "--control"});
    ASSERT_TRUE(host.running());

    LoopbackPeer peer;
    ASSERT_TRUE(peer.connect(DISPLAY_PORT, FIRST_ANSWER_TIMEOUT)) << host.errorText() << host.outputText();
    // Exactly as long as expected: anything more would show up in front of the next answer.
    EXPECT_EQ(ask(peer, {0x02}, VERSION_ANSWER.size(), FIRST_ANSWER_TIMEOUT), VERSION_ANSWER)
        << "the scenario file's failure rule leaves out the name";

    host.writeInput("not a scenario\n");
    ASSERT_TRUE(host.waitForError("hostsim: control line 1 ignored: parse error at line 1", ANSWER_TIMEOUT))
        << host.errorText();
    EXPECT_EQ(ask(peer, {0x02}, VERSION_ANSWER.size()), VERSION_ANSWER) << "a bad line changes nothing";

    const std::string after = R"({"current": 1, "connections": [{"schid": 1, "server": {"name": "After"},
        "self": 3, "channels": [{"id": 4294967296, "name": "Big"}],
        "clients": [{"id": 3, "nickname": "abc", "channel": 4294967296, "talking": 1, "isTalker": 1,
                     "inputMuted": 1}]}]})";
    std::string oneLine = after;
    oneLine.erase(std::remove(oneLine.begin(), oneLine.end(), '\n'), oneLine.end());
    host.writeInput(oneLine + "\n");
    ASSERT_TRUE(host.waitForError("hostsim: scenario applied\n", ANSWER_TIMEOUT)) << host.errorText();

    // clang-format off
    const Bytes clientList = {
        0x05,
        0, 0, 0, 0, 0, 0, 0, 3,                    // own client
        0, 0, 0, 1, 0, 0, 0, 0,                    // its channel, 2^32
        0, 0, 0, 0, 0, 0, 0, 1,                    // one client
        0, 0, 0, 0, 0, 0, 0, 3, 0, 3, 'a', 'b', 'c',
        0, 0, 0, 0, 0, 0, 0, 1,                    // talking
        0, 0, 0, 1, 0, 0, 0, 0,                    // channel
        0, 0, 0, 1,                                // talk request, talker
        1, 0, 0, 0, 0, 0, 0, 0,                    // input muted, ..., locally muted
    };
    // clang-format on
    EXPECT_EQ(ask(peer, {0x05}, clientList.size()), clientList);
    const Bytes named = serverNameAnswer("After");
    EXPECT_EQ(ask(peer, {0x02}, named.size()), named) << "the new scenario brought no failure rules";

    // A host whose freeMemory fails keeps the name string: one block leaked, exit code 3.
    std::string leaking = oneLine;
    leaking.insert(leaking.rfind('}'), R"(, "failures": [{"fn": "freeMemory"}])");
    host.writeInput(leaking + "\n");
    ASSERT_TRUE(host.waitForError("hostsim: scenario applied\nhostsim: scenario applied\n", ANSWER_TIMEOUT))
        << host.errorText();
    EXPECT_EQ(ask(peer, {0x02}, named.size()), named);
    peer.close();

    host.closeInput();
    const std::optional<int> exitCode = host.waitExit(STOP_TIMEOUT);
    ASSERT_TRUE(exitCode.has_value()) << "still running after the end of input\n" << host.errorText();
    EXPECT_EQ(*exitCode, 3) << host.errorText();
    EXPECT_TRUE(
        std::regex_search(host.errorText(), std::regex(R"(host memory: [0-9]+ allocated, [0-9]+ released, )"
                                                       R"(1 leaked, 0 invalid)")))
        << host.errorText();
}

// The options that choose the library and the client to play: the build's library for the
// 3.0 clients, and one built for API 26 in the 230-slot table of a 3.6 client.
class HostsimSessionTest : public HostsimTest,
                           public ::testing::WithParamInterface<std::vector<std::string>> {};

INSTANTIATE_TEST_SUITE_P(Apis, HostsimSessionTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--plugin", G19_PLUGIN_API26,
                                                                    "--host-api", "26"}),
                         [](const auto& info) { return info.param.empty() ? "Api20" : "Api26"; });

// A display's whole session: the channel tree and the client list of a nested server, byte for
// byte, then each kind of control request, checked by the host requests it leads to.
TEST_P(HostsimSessionTest, DisplayReadsTheServerAndActsOnItsClients)
{
    const std::string scenarioPath = writeFile("session.json", R"({"current": 5,
      "connections": [{"schid": 5, "server": {"name": "Session"}, "self": 3,
        "channels": [{"id": 1, "name": "Lobby", "order": 3},
          {"id": 2, "name": "Games", "parent": 1, "neededTalkPower": 25, "order": 4, "password": 1},
          {"id": 4294967296, "name": "Deep", "parent": 2, "neededTalkPower": -1, "order": 6}],
        "clients": [{"id": 3, "nickname": "me", "channel": 1, "talking": 1, "talkRequest": 1, "isTalker": 1},
          {"id": 7, "nickname": "Bob", "channel": 2, "talking": 1, "talkRequest": 6, "isTalker": 300,
           "outputMuted": 1, "recording": 2, "away": 3, "channelCommander": 4, "localMuted": 5},
          {"id": 9, "nickname": "Eve", "channel": 4294967296, "talking": -1, "talkRequest": 65537,
           "inputMuted": 256},
          {"id": 12, "nickname": "hidden", "channel": 1, "listed": false}]}],
      "failures": [{"fn": "getClientVariableAsString", "client": 7, "property": 1}]})");
    const std::string logPath = tempPath("session.log");
    std::vector<std::string> argv = {G19_HOSTSIM, "--scenario", scenarioPath, "--log", logPath};
    argv.insert(argv.end(), GetParam().begin(), GetParam().end());
    Subprocess host(argv);
    ASSERT_TRUE(host.running());
    LoopbackPeer peer;
    ASSERT_TRUE(peer.connect(DISPLAY_PORT, FIRST_ANSWER_TIMEOUT)) << host.errorText() << host.outputText();

    using commands_test::TWO_POW_32;
    // Per channel: ID, name, needed talk power, order, parent, password flag.
    Wire channels;
    channels.u8(3).i64(3);
    channels.i64(1).str("Lobby").i64(0).i64(3).i64(0).i64(0);
    channels.i64(2).str("Games").i64(25).i64(4).i64(1).i64(1);
    channels.i64(TWO_POW_32).str("Deep").i64(-1).i64(6).i64(2).i64(0);
    const Bytes channelList = channels;
    EXPECT_EQ(ask(peer, {0x03}, channelList.size(), FIRST_ANSWER_TIMEOUT), channelList) << host.errorText();
    // Own client and its channel, the count, then per client: ID, nickname, talking, channel,
    // talk request, talker, input and output muted, recording, two reserved, away, commander,
    // locally muted. Client 12 is not listed; 65537 and 256 are cut to their fields.
    Wire clients;
    clients.u8(5).i64(3).i64(1).i64(3);
    clients.i64(3).str("me").i64(1).i64(1).u16(1).u16(1).u8(0).u8(0).u8(0).zeros(2).u8(0).u8(0).u8(0);
    clients.i64(7).str("ERROR").i64(1).i64(2).u16(6).u16(300).u8(0).u8(1).u8(2).zeros(2).u8(3).u8(4).u8(5);
    clients.i64(9).str("Eve").i64(-1).i64(TWO_POW_32).u16(1).u16(0).u8(0).u8(0).u8(0).zeros(2);
    clients.u8(0).u8(0).u8(0);
    const Bytes clientList = clients;
    EXPECT_EQ(ask(peer, {0x05}, clientList.size()), clientList) << host.errorText();

    // The host requests after each request's createReturnCode; "created" stands for its code.
    const struct {
        Bytes request;
        double pauseMs;  // from the request's start to its action
        json calls;
    } controls[] = {
        {{0x04, 0x02}, 0, R"([{"fn": "getClientSelfVariableAsInt", "schid": 5, "property": 5, "value": 0},
            {"fn": "setClientSelfVariableAsInt", "schid": 5, "property": 5, "value": 1},
            {"fn": "flushClientSelfUpdates", "schid": 5, "returnCode": "created"}])"_json},
        {{0x04, 0x05}, 0, R"([{"fn": "requestIsTalker", "schid": 5, "request": 1, "message": "",
              "returnCode": "created"},
            {"fn": "getClientSelfVariableAsInt", "schid": 5, "property": 43, "value": 1},
            {"fn": "requestIsTalker", "schid": 5, "request": 0, "message": "",
             "returnCode": "created"}])"_json},
        {{0x04, 0x07, 0, 0, 0, 2, 0, 3, 'a', 'b', 'c'},
         200,
         R"([{"fn": "getClientID", "schid": 5, "value": 3},
            {"fn": "requestClientMove", "schid": 5, "client": 3, "channel": 2, "password": "",
             "returnCode": null}])"_json},
        {{0x04, 0x08, 0, 7},
         500,
         R"([{"fn": "requestClientKickFromChannel", "schid": 5, "client": 7, "reason": "",
              "returnCode": "created"}])"_json},
        {{0x04, 0x0A, 0, 7, 0, 0, 0x0E, 0x10},
         0,
         R"([{"fn": "banclient", "schid": 5, "client": 7, "seconds": 3600, "reason": "",
              "returnCode": "created"}])"_json},
        {{0x04, 0x0B, 0, 9, 0, 0, 0, 1},
         0,
         R"([{"fn": "requestClientMove", "schid": 5, "client": 9, "channel": 1, "password": "",
              "returnCode": null}])"_json},
    };
    // One receive is one request: each is sent once the previous one has been acted on.
    const std::size_t firstControlLine = logLines(logPath);
    std::size_t expectedLines = firstControlLine;
    for (const auto& control : controls) {
        expectedLines += 2 + control.calls.size();  // its return code and the current-server query too
        ASSERT_TRUE(peer.send(control.request));
        EXPECT_TRUE(waitForLogLines(logPath, expectedLines, ANSWER_TIMEOUT)) << json(control.request);
    }
    EXPECT_EQ(peer.receive(1, milliseconds(200)), Bytes()) << "a control request is not answered";
    peer.close();

    host.signal(SIGINT);
    const std::optional<int> exitCode = host.waitExit(STOP_TIMEOUT);
    ASSERT_TRUE(exitCode.has_value()) << "still running after SIGINT\n" << host.errorText();
    EXPECT_EQ(*exitCode, 0) << host.errorText();
    expectBalancedMemory(host.errorText());

    const std::vector<json> log = readLog(logPath);
    ASSERT_GE(log.size(), firstControlLine);
    std::size_t next = firstControlLine;
    for (const auto& control : controls) {
        SCOPED_TRACE(json(control.request).dump());
        ASSERT_LT(next, log.size());
        const json& created = log[next++];
        ASSERT_EQ(created.at("fn"), "createReturnCode");
        const json code = created.at("value");
        ASSERT_TRUE(code.is_string() && !code.empty()) << created;
        json calls = json::array();
        double actionMs = created["t_ms"];
        for (; next < log.size() && log[next].at("fn") != "createReturnCode"; ++next) {
            json call = log[next];
            actionMs = call["t_ms"];
            call.erase("t_ms");
            EXPECT_EQ(call["ret"], 0) << call;
            call.erase("ret");
            if (call.contains("returnCode") && call["returnCode"] == code) {
                call["returnCode"] = "created";
            }
            calls.push_back(call);
        }
        json expected = control.calls;
        // Each action first asks which server is current (the kick from the channel after its pause).
        expected.insert(expected.begin(),
                        R"({"fn": "getCurrentServerConnectionHandlerID", "value": 5})"_json);
        EXPECT_EQ(calls, expected);
        const double pauseMs = actionMs - created["t_ms"].get<double>();
        EXPECT_GE(pauseMs, control.pauseMs - 1);
        EXPECT_LT(pauseMs, control.pauseMs + 300);
    }
    EXPECT_EQ(next, log.size()) << "host requests after the last control request";
    std::remove(scenarioPath.c_str());
    std::remove(logPath.c_str());
}

// Refusals happen before the plug-in starts, so these never touch the port.
TEST(HostsimStartTest, RefusesBadStartsWithTheirExitCodes)
{
    const std::string badJson = writeFile("bad.json", "{\"current\": 1,\n \"connections\": [}");
    const std::string badValue =
        writeFile("bad_value.json", R"({"connections": [{"schid": 1, "self": 65536}]})");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> messages;
    } cases[] = {
        {{"--scenario", badJson}, 2, {badJson, "line 2, column 18"}},
        {{"--scenario", badValue}, 2, {badValue, "/connections/0/self"}},
        {{"--scenario", tempPath("missing.json")}, 2, {tempPath("missing.json")}},
        {{"--log", tempPath("no/such/dir/log")}, 2, {tempPath("no/such/dir/log")}},
        {{"--no-such-option"}, 2, {"--no-such-option"}},
        {{"--plugin", tempPath("missing.so")}, 1, {"cannot load " + tempPath("missing.so")}},
        {{"--plugin", "libm.so.6"}, 1, {"libm.so.6 does not export ts3plugin_name"}},
        // Like the client, it loads no library of another plug-in API.
        {{"--host-api", "26"}, 2, {"is built for plug-in API 20, this host plays API 26; not loaded"}},
        {{"--plugin", G19_PLUGIN_API26}, 2, {"is built for plug-in API 26, this host plays API 20"}},
        {{"--host-api", "25"}, 2, {"no client of plug-in API 25"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {G19_HOSTSIM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Subprocess host(argv);
        const std::optional<int> exitCode = host.waitExit(STOP_TIMEOUT);
        ASSERT_TRUE(exitCode.has_value()) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(*exitCode, c.exitCode) << host.errorText();
        for (const std::string& message : c.messages) {
            EXPECT_NE(host.errorText().find(message), std::string::npos)
                << "expected \"" << message << "\" in:\n"
                << host.errorText();
        }
        EXPECT_EQ(host.errorText().find("hostsim: loaded"), std::string::npos) << host.errorText();
    }
}

}  // namespace
