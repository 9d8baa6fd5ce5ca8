// g19-probe end to end: the tool runs as its own process against a loopback server in the
// test that answers each received chunk like the plug-in does (processRequest against the
// simulated host), or with bytes a test chooses.

#include "commands/command_support.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace commands_test;

namespace {

using Handler = std::function<Bytes(const Bytes&)>;

// Serves one connection at a time on an ephemeral loopback port until destroyed. Like the
// plug-in, it can let a connection wait before it accepts it: what the probe sends meanwhile
// is taken by the first receive, as one request.
class LoopbackServer {
public:
    explicit LoopbackServer(Handler handler, std::chrono::milliseconds acceptDelay = {})
        : m_handler(std::move(handler)), m_acceptDelay(acceptDelay)
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 4) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~LoopbackServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }

    std::uint16_t port() const { return m_port; }

    std::vector<Bytes> requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

    // The probe may exit before the server has acted on its last request.
    bool waitUntilHandled(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_handled >= count; });
    }

private:
    // Bounded waits, so that the destructor is seen within 50 ms.
    bool readable(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        while (!m_stop) {
            if (poll(&p, 1, 50) > 0) {
                return true;
            }
        }
        return false;
    }

    void serve()
    {
        while (readable(m_listener)) {
            std::this_thread::sleep_for(m_acceptDelay);
            const int connection = accept(m_listener, nullptr, nullptr);
            std::uint8_t buffer[512];
            while (connection >= 0 && readable(connection)) {
                const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                const Bytes request(buffer, buffer + n);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_requests.push_back(request);
                }
                const Bytes answer = m_handler(request);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    ++m_handled;
                }
                m_changed.notify_all();
                if (!answer.empty()) {
                    send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
                }
            }
            if (connection >= 0) {
                close(connection);
            }
        }
    }

    Handler m_handler;
    std::chrono::milliseconds m_acceptDelay;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Bytes> m_requests;
    std::size_t m_handled = 0;
    std::condition_variable m_changed;
    std::thread m_thread;
};

struct ProbeRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// g19-probe as a child process, its two output streams read as they come.
class Probe {
public:
    explicit Probe(const std::vector<std::string>& arguments)
    {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all = {G19_PROBE_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, G19_PROBE_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << G19_PROBE_PATH;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }

    // Reads output until `text` shows on stdout, for at most `limit`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_run.out.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !pump(50)) {
                return m_run.out.find(text) != std::string::npos;
            }
        }
        return true;
    }

    void signal(int number) { kill(m_pid, number); }

    // Reads until both streams close, then reaps the child; kills it after 10 s.
    ProbeRun finish()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pump(100)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "g19-probe still running after 10 s";
                kill(m_pid, SIGKILL);
            }
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_run;
    }

private:
    // Returns false once both streams are closed.
    bool pump(int timeoutMs)
    {
        std::vector<pollfd> fds;
        for (const int fd : {m_out, m_err}) {
            if (fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
            }
        }
        if (fds.empty()) {
            return false;
        }
        poll(fds.data(), fds.size(), timeoutMs);
        for (const pollfd& p : fds) {
            if ((p.revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(p.fd, buffer, sizeof buffer);
            int& fd = p.fd == m_out ? m_out : m_err;
            std::string& text = p.fd == m_out ? m_run.out : m_run.err;
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fd);
                fd = -1;
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    ProbeRun m_run;
};

ProbeRun probe(std::vector<std::string> arguments)
{
    return Probe(arguments).finish();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

sim::Model demoModel(int talking)
{
    return oneServer(
        {
            {1, "Lobby", 0, {{8, 0}}},
            {2, "Games", 0, {{28, 25}, {8, 1}, {12, 1}}},
            {5, "Strategy", 2, {{8, 0}}},
            {6, "Left behind: a channel with a name far longer than any column", 9, {}},
        },
        {
            {3, "me", 1, {{4, talking}, {5, 1}}, true},
            {9, "Bob", 5, {{43, 1}, {38, 1}}, true},
        },
        3);
}

class ProbeTest : public SimHostTest {
protected:
    void SetUp() override
    {
        SimHostTest::SetUp();
        sim::setModel(demoModel(0));
        m_plugin = std::make_unique<LoopbackServer>([this](const Bytes& request) { return answer(request); });
    }

    // The plug-in's answer to each chunk, as the listener gives it.
    std::unique_ptr<LoopbackServer> m_plugin;

    std::vector<std::string> at(std::uint16_t port, std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port), "--timeout", "2"});
        return arguments;
    }
};

TEST_F(ProbeTest, ChannelsAreDrawnAsATreeUnderTheirParents)
{
    const ProbeRun run = probe(at(m_plugin->port(), {"channels"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> out = lines(run.out);
    ASSERT_EQ(out.size(), 6u) << run.out;
    EXPECT_EQ(out[1].rfind("Lobby ", 0), 0u) << out[1];
    EXPECT_EQ(out[2].rfind("Games [locked] ", 0), 0u) << out[2];
    EXPECT_EQ(out[3].rfind("  Strategy ", 0), 0u) << out[3];
    // A parent that is not in the list puts the channel at the top level, cut to fit.
    EXPECT_EQ(out[4].rfind("Left behind", 0), 0u) << out[4];
    for (const std::string& line : out) {
        EXPECT_LE(line.size(), 80u) << line;
    }
    // ID, needed talk power and order, right-aligned in their columns.
    EXPECT_NE(out[2].find(" 2          25      1"), std::string::npos) << out[2];
}

TEST_F(ProbeTest, ClientsTableMarksTheOwnClientAndShowsChannelNames)
{
    const ProbeRun run = probe(at(m_plugin->port(), {"clients"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> out = lines(run.out);
    ASSERT_GE(out.size(), 3u) << run.out;
    EXPECT_EQ(out[1].rfind("*  3 me ", 0), 0u) << out[1];
    EXPECT_NE(out[1].find("Lobby"), std::string::npos);
    EXPECT_NE(out[1].find("off"), std::string::npos) << "microphone muted";
    EXPECT_EQ(out[2].rfind("   9 Bob ", 0), 0u) << out[2];
    EXPECT_NE(out[2].find("Strategy"), std::string::npos);
    for (const std::string& line : out) {
        EXPECT_LE(line.size(), 80u) << line;
    }
    // Both requests went over one connection: the list, then the names.
    EXPECT_EQ(m_plugin->requests(), std::vector<Bytes>({{5}, {3}}));
}

TEST_F(ProbeTest, JsonCarriesTheDecodedAnswers)
{
    const ProbeRun clients = probe(at(m_plugin->port(), {"clients", "--json"}));
    ASSERT_EQ(clients.exitCode, 0) << clients.err;
    const nlohmann::json list = nlohmann::json::parse(clients.out);
    EXPECT_EQ(list["ownClientId"], 3);
    ASSERT_EQ(list["clients"].size(), 2u);
    EXPECT_EQ(list["clients"][1]["nickname"], "Bob");
    EXPECT_EQ(list["clients"][1]["channelId"], 5);
    EXPECT_EQ(list["clients"][1]["away"], 1);
    EXPECT_EQ(list["clients"][0]["own"], true);

    const ProbeRun server = probe(at(m_plugin->port(), {"--json", "server"}));
    ASSERT_EQ(server.exitCode, 0) << server.err;
    EXPECT_EQ(nlohmann::json::parse(server.out),
              nlohmann::json({{"version", "0.9.9"}, {"serverName", "Test"}}));
}

// An action goes out only once the plug-in has answered on the connection, so that it is
// read at once and alone, never left waiting for the accept.
TEST_F(ProbeTest, ActionsWaitUntilThePlugInServesTheConnection)
{
    LoopbackServer late([this](const Bytes& request) { return answer(request); },
                        std::chrono::milliseconds(1000));
    const ProbeRun run = probe(at(late.port(), {"move", "9", "1"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "sent move (04 0b 00 09 00 00 00 01)\n");
    ASSERT_TRUE(late.waitUntilHandled(2));
    EXPECT_EQ(late.requests(), std::vector<Bytes>({{2}, {4, 11, 0, 9, 0, 0, 0, 1}}));
    EXPECT_EQ(sim::model().connections[0].clients[1].channel, 1u);

    // A plug-in that does not answer (busy with another display) never gets the action.
    LoopbackServer busy([](const Bytes&) { return Bytes(); });
    const ProbeRun refused = probe({"--port", std::to_string(busy.port()), "--timeout", "0.5", "mute"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("no answer within 0.5 s; mute was not sent"), std::string::npos)
        << refused.err;
    ASSERT_TRUE(busy.waitUntilHandled(1));
    EXPECT_EQ(busy.requests(), std::vector<Bytes>({{2}}));
}

TEST_F(ProbeTest, RawPrintsTheAnswerBytes)
{
    const ProbeRun run = probe(at(m_plugin->port(), {"raw", "02"}));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("02 00 05 30 2e 39 2e 39 00 04 54 65 73 74"), std::string::npos) << run.out;

    const ProbeRun nothing = probe(at(m_plugin->port(), {"raw", "04", "06", "--quiet", "100"}));
    ASSERT_EQ(nothing.exitCode, 0) << nothing.err;
    EXPECT_EQ(nothing.out, "(no answer)\n");
}

TEST_F(ProbeTest, WatchReportsChangesUntilInterrupted)
{
    Probe watch(at(m_plugin->port(), {"watch", "--interval", "50"}));
    ASSERT_TRUE(watch.waitForOutput("watching 2 clients", std::chrono::seconds(5)));
    sim::setModel(demoModel(1));
    ASSERT_TRUE(watch.waitForOutput("me (3) started talking", std::chrono::seconds(5)));
    sim::Model moved = demoModel(1);
    moved.connections[0].clients[1].channel = 2;
    moved.connections[0].clients[0].ints[5] = 0;
    sim::setModel(moved);
    ASSERT_TRUE(watch.waitForOutput("Bob (9) moved from Strategy to Games", std::chrono::seconds(5)));
    EXPECT_TRUE(watch.waitForOutput("me (3) unmuted the microphone", std::chrono::seconds(5)));
    watch.signal(SIGINT);
    const ProbeRun run = watch.finish();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

// Exit codes and their one-line messages.
struct FailureCase {
    const char* name;
    std::vector<std::string> arguments;
    Handler handler;  // null: nothing listens on the port
    int exitCode;
    const char* mentions;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* out)
{
    *out << c.name;
}

class ProbeFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ProbeFailureTest, ExitsWithItsCodeAndOneLine)
{
    const FailureCase& c = GetParam();
    std::uint16_t port = 0;
    std::unique_ptr<LoopbackServer> server;
    if (c.handler) {
        server = std::make_unique<LoopbackServer>(c.handler);
        port = server->port();
    } else {
        LoopbackServer closed([](const Bytes&) { return Bytes(); });
        port = closed.port();  // free again once the server is gone
    }
    std::vector<std::string> arguments = {"--port", std::to_string(port), "--timeout", "0.5", "--wait", "0"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ProbeRun run = probe(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

Bytes canned(Bytes bytes)
{
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeFailureTest,
    testing::Values(
        FailureCase{"ConnectionRefused", {"server"}, nullptr, 1, "cannot connect to 127.0.0.1:"},
        FailureCase{
            "NoAnswer", {"clients"}, [](const Bytes&) { return Bytes(); }, 1, "no answer within 0.5 s"},
        FailureCase{"WrongTag",
                    {"channels"},
                    [](const Bytes&) { return canned({0x00}); },
                    3,
                    "malformed answer at byte 0: tag is 0x00, expected 0x03"},
        FailureCase{"TrailingBytes",
                    {"server"},
                    [](const Bytes&) {
                        return canned({2, 0, 1, 'v', 0, 1, 'n', 0xEE});
                    },
                    3,
                    "malformed answer at byte 7"},
        FailureCase{"CountLargerThanTheData",
                    {"clients"},
                    [](const Bytes&) { return Bytes(Wire().u8(5).i64(3).i64(1).i64(2)); },
                    3,
                    "answer cut short at byte 25"},
        FailureCase{"ClientIdBeyondTheWire", {"kick-server", "65536"}, nullptr, 2, "client ID 65536"},
        FailureCase{
            "ChannelIdBeyondTheWire", {"move-self", "4294967296"}, nullptr, 2, "channel ID 4294967296"},
        FailureCase{"NotANumber", {"ban", "7", "soon"}, nullptr, 2, "SECONDS must be a whole number"},
        FailureCase{"UnknownOption", {"clients", "--colour"}, nullptr, 2, "--colour"},
        FailureCase{"OddHex", {"raw", "0"}, nullptr, 2, "odd number of hex digits"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
