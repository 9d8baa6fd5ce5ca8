// Web pages on the display port: what counts as the start of an HTTP request, and what the
// listener does with a connection that begins with one.

#include "server/http_guard.h"
#include "abuse_fixture.h"

#include <string>
#include <thread>

namespace {

bool looksLikeHttp(const std::string& text)
{
    return looksLikeHttpRequest(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool looksLikeHttp(const Bytes& bytes)
{
    return looksLikeHttpRequest(bytes.data(), bytes.size());
}

TEST(HttpGuard, RecognisesEveryMethodFollowedByASpace)
{
    for (const char* method :
         {"GET", "POST", "PUT", "HEAD", "OPTIONS", "DELETE", "PATCH", "CONNECT", "TRACE"}) {
        SCOPED_TRACE(method);
        EXPECT_TRUE(looksLikeHttp(std::string(method) + " "));
        EXPECT_TRUE(looksLikeHttp(std::string(method) + " / HTTP/1.1\r\nHost: 127.0.0.1:12132\r\n\r\n"));
        EXPECT_FALSE(looksLikeHttp(std::string(method))) << "no space yet";
        EXPECT_FALSE(looksLikeHttp(std::string(method) + "X ")) << "a longer token";
    }
}

TEST(HttpGuard, LeavesDisplayRequestsAndNearMissesAlone)
{
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"server name", {0x02}},
        {"channel list with trailing bytes", {0x03, 'G', 'E', 'T', ' '}},
        {"kick", {0x04, 0x09, 0x00, 0x07}},
        {"client list", {0x05}},
        {"lower case", {'g', 'e', 't', ' ', '/'}},
        {"leading blank", {' ', 'G', 'E', 'T', ' '}},
        {"tab instead of space", {'P', 'O', 'S', 'T', '\t', '/'}},
        {"zero byte instead of space", {'G', 'E', 'T', 0x00}},
        {"a response, not a request", {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' '}},
        {"cut inside the method", {'O', 'P', 'T', 'I'}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(looksLikeHttp(c.bytes)) << c.name;
    }
    EXPECT_FALSE(looksLikeHttpRequest(nullptr, 0));
}

TEST(HttpGuard, LooksOnlyAtTheBytesCounted)
{
    const std::string request = "GET / HTTP/1.1\r\n";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request.data());
    EXPECT_FALSE(looksLikeHttpRequest(bytes, 3));
    EXPECT_TRUE(looksLikeHttpRequest(bytes, 4));
}

// A web page's request to the display port: headers first, then a body that holds commands.
struct PageRequest {
    const char* name;
    std::string head;
    Bytes body;  // sent on its own, after the head has been received
};

void PrintTo(const PageRequest& request, std::ostream* out)
{
    *out << request.name;
}

constexpr anyID VICTIM = 7;

sim::Model serverWithVictim(const std::string& name)
{
    return oneServer({{1, "Lobby", 0, {}}}, {{1, "me", 1, {}, true}, {VICTIM, "victim", 1, {}, true}}, 1,
                     name);
}

class HttpOnDisplayPortTest : public AbuseTest, public ::testing::WithParamInterface<PageRequest> {};

TEST_P(HttpOnDisplayPortTest, ClosesTheConnectionAndActsOnNothing)
{
    sim::setModel(serverWithVictim(SERVER_NAME));
    const std::uint16_t port = start();
    {
        Peer page(port);
        ASSERT_TRUE(page.connected());
        ASSERT_TRUE(page.send(Bytes(GetParam().head.begin(), GetParam().head.end())));
        // The body must come in a receive of its own, as it would from a browser that sends
        // the head first.
        std::this_thread::sleep_for(100ms);
        page.send(GetParam().body);
        const Peer::ToEnd received = page.readToEnd(3s);
        EXPECT_TRUE(received.bytes.empty()) << "the page got an answer";
        EXPECT_TRUE(received.closed) << "the connection stayed open";
    }
    EXPECT_TRUE(sim::calls().empty())
        << "the request reached the host, first call: " << sim::calls().front().fn;
    const sim::Model after = sim::model();
    ASSERT_EQ(after.connections.size(), 1u);
    EXPECT_EQ(after.connections.front().clients.size(), 2u) << "the victim was kicked or banned";

    expectServes(port);
    expectPromptStop();
    expectNothingLeft();
}

const Bytes KICK_AND_BAN = {0x04, 0x09, 0x00, VICTIM, 0x04, 0x0A, 0x00, VICTIM, 0x00, 0x00, 0x0E, 0x10};

INSTANTIATE_TEST_SUITE_P(
    Pages, HttpOnDisplayPortTest,
    ::testing::Values(
        PageRequest{"PostWithCommandsInTheBody",
                    "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n"
                    "Origin: http://example.com\r\n\r\n",
                    KICK_AND_BAN},
        PageRequest{"PreflightThenCommands",
                    "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccess-Control-Request-Method: PUT\r\n\r\n",
                    KICK_AND_BAN}),
    [](const ::testing::TestParamInfo<PageRequest>& info) { return std::string(info.param.name); });

}  // namespace
