// The bridge's session against a Remote Apps server of this test's own, on a free loopback
// port: how soon it comes back after the voice client drops an approved connection.

#include "bridge/session.h"
#include "bridge/bridge_log.h"
#include "bridge/key_file.h"
#include "key_file_fixture.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char KEY[] = "session-test-key";
// Far beyond any answer on a loaded machine; a test that waits this long has failed.
constexpr auto PATIENCE = 10s;
// Presses of a button with a long name fill the socket buffers with few frames: 200 of
// 32 KiB, some 6 MB, beyond the 4 MB a sending socket's buffer grows to.
constexpr int PRESSES_BEYOND_THE_BUFFERS = 100;
constexpr std::size_t LONG_BUTTON_NAME_BYTES = 32 * 1024;

// The voice client's side, as small as these cases need: every auth is answered at once with
// the key and no server tab, and the connection of now is dropped when the test says so. One
// that hangs reads nothing after the auth, into a small buffer.
class VoiceClient {
public:
    enum class Reading { ALL, AUTH_ONLY };

    explicit VoiceClient(Reading reading = Reading::ALL) : m_reading(reading)
    {
        m_acceptor.open(tcp::v4());
        if (reading == Reading::AUTH_ONLY) {
            m_acceptor.set_option(net::socket_base::receive_buffer_size(4096));
        }
        m_acceptor.bind(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0));
        m_acceptor.listen();
        m_port = m_acceptor.local_endpoint().port();
        accept();
        m_thread = std::thread([this] { m_io.run(); });
    }

    ~VoiceClient()
    {
        m_io.stop();
        m_thread.join();
    }

    std::uint16_t port() const { return m_port; }

    // When connection number `index` (from 0) was accepted; nothing within the patience.
    std::optional<Clock::time_point> acceptedAt(std::size_t index)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, PATIENCE, [&] { return m_accepted.size() > index; });
        return m_accepted.size() > index ? std::optional<Clock::time_point>(m_accepted[index]) : std::nullopt;
    }

    // Cuts the connection of now off, as a voice client that quits; returns when it did.
    Clock::time_point drop()
    {
        std::promise<Clock::time_point> dropped;
        net::post(m_io, [&] {
            beast::error_code ignored;
            if (m_socket) {
                beast::get_lowest_layer(*m_socket).socket().close(ignored);
            }
            dropped.set_value(Clock::now());
        });
        return dropped.get_future().get();
    }

private:
    using Socket = websocket::stream<beast::tcp_stream>;

    void accept()
    {
        m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (error) {
                return;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_accepted.push_back(Clock::now());
            }
            m_changed.notify_all();
            auto ws = std::make_shared<Socket>(std::move(socket));
            m_socket = ws;
            ws->async_accept([this, ws](beast::error_code e) {
                if (!e) {
                    read(ws, true);
                }
            });
            accept();
        });
    }

    void read(const std::shared_ptr<Socket>& ws, bool first)
    {
        auto buffer = std::make_shared<beast::flat_buffer>();
        ws->async_read(*buffer, [this, ws, buffer, first](beast::error_code error, std::size_t) {
            if (error) {
                return;
            }
            if (first) {
                ws->text(true);
                auto answer = std::make_shared<std::string>(
                    nlohmann::json{{"type", "auth"},
                                   {"status", {{"code", 0}, {"message", "ok"}}},
                                   {"payload", {{"apiKey", KEY}, {"connections", nlohmann::json::array()}}}}
                        .dump());
                ws->async_write(net::buffer(*answer), [answer](beast::error_code, std::size_t) {});
            }
            if (m_reading == Reading::ALL) {
                read(ws, false);
            }
        });
    }

    const Reading m_reading;
    net::io_context m_io;
    tcp::acceptor m_acceptor{m_io};
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::shared_ptr<Socket> m_socket;  // the io thread's only
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Clock::time_point> m_accepted;
};

class SessionTest : public KeyFileTest {
protected:
    void SetUp() override
    {
        KeyFileTest::SetUp();
        std::string error;
        ASSERT_TRUE(bridge::storeKey(keyFile(), KEY, error)) << error;
    }

    std::string keyFile() const { return (folder() / "remote-apps.key").string(); }

    bridge::SessionSettings settings(std::uint16_t port) const
    {
        return {{"127.0.0.1", std::to_string(port), "/"}, keyFile(), "0.0.0-test"};
    }

    // Whether the last line of the log at `path` holds `text` within the patience.
    static bool waitForLastLine(const std::string& path, const std::string& text)
    {
        for (const auto until = Clock::now() + PATIENCE; Clock::now() < until;) {
            std::ifstream file(path, std::ios::binary | std::ios::ate);
            const std::streamoff size = file.tellg();
            std::string tail(static_cast<std::size_t>(std::min<std::streamoff>(size, 200)), '\0');
            file.seekg(size - static_cast<std::streamoff>(tail.size()));
            file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
            if (file && tail.find(text) != std::string::npos &&
                tail.find(text) > tail.rfind('\n', tail.size() - 2)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Whether the session reaches `count` approvals within the patience.
    static bool waitForApprovals(const bridge::Session& session, unsigned count)
    {
        for (const auto until = Clock::now() + PATIENCE; Clock::now() < until;) {
            if (session.approvals() >= count) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
};

TEST_F(SessionTest, EveryApprovalSetsTheWaitBackToTheFirstStep)
{
    // After an approved connection drops, the session waits the first step. Were the wait not
    // set back by each approval, it would grow from drop to drop: the second step is at least
    // twice the first. The limit lies below it, the rest of a step left for a busy machine.
    constexpr auto FIRST_STEP = 1s;
    VoiceClient client;
    bridge::BridgeLog log(stderr);
    bridge::StatusModel status("test", [](const std::string&) {});
    bridge::Session session(settings(client.port()), log, status);
    session.start();
    ASSERT_TRUE(waitForApprovals(session, 1));
    for (unsigned outage = 1; outage <= 3; ++outage) {
        SCOPED_TRACE("outage " + std::to_string(outage));
        const Clock::time_point dropped = client.drop();
        const std::optional<Clock::time_point> back = client.acceptedAt(outage);
        ASSERT_TRUE(back.has_value()) << "the session did not come back";
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(*back - dropped);
        EXPECT_LT(waited.count(), std::chrono::milliseconds(2 * FIRST_STEP).count())
            << "ms until it was back";
        ASSERT_TRUE(waitForApprovals(session, outage + 1));
    }
    session.stop();
}

TEST_F(SessionTest, StopsWithinASecondBesideAClientThatReadsNothing)
{
    VoiceClient client(VoiceClient::Reading::AUTH_ONLY);
    bridge::BridgeLog log(nullptr);
    const std::string logFile = (folder() / "bridge.log").string();
    std::string error;
    ASSERT_TRUE(log.openTrace(logFile, std::uint64_t{1} << 30, error)) << error;
    bridge::StatusModel status("test", [](const std::string&) {});
    bridge::Session session(settings(client.port()), log, status);
    session.start();
    ASSERT_TRUE(waitForApprovals(session, 1));
    // More presses than the buffers of both ends hold: at the stop a write is still pending
    // beside the read, and the goodbye cannot go out. The log shows when the last one, of
    // another button, has been handed to the socket.
    const std::string longName(LONG_BUTTON_NAME_BYTES, 'b');
    for (int i = 0; i < PRESSES_BEYOND_THE_BUFFERS; ++i) {
        session.press(longName.c_str());
    }
    session.press("g19-away");
    ASSERT_TRUE(waitForLastLine(logFile, R"("button":"g19-away","state":false)"));
    const Clock::time_point stopping = Clock::now();
    session.stop();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping);
    EXPECT_LT(took.count(), 1000) << "ms to stop";
}

}  // namespace
