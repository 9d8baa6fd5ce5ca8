// The bridge's logs: the state log is dated and short, the trace starts with its header, both
// are capped by renaming to FILE.1, and the messages kept in memory are bounded by count and
// by bytes, with keys redacted.

#include "bridge/bridge_log.h"
#include "platform/user_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<std::string> linesOf(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        // The state log ends its lines as the system's text files do.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

class BridgeLogTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::temp_directory_path() /
                   ("bridge-log-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                    testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path m_folder;
};

TEST_F(BridgeLogTest, StateLinesCarryTheLocalDateAndTime)
{
    bridge::BridgeLog log(nullptr);
    std::string error;
    ASSERT_TRUE(log.openStateFile((m_folder / "g19-bridge.log").string(), bridge::LOG_LIMIT_BYTES, error)) << error;
    log.state("connected to Kestrel Raid Hall");
    log.warning("cannot keep the key");
    log.debug("ignored: talkStatusChanged: unknown client 77");
    log.incoming(R"({"type":"talkStatusChanged","payload":{}})", json::parse(R"({"type":"talkStatusChanged"})"));
    const std::vector<std::string> lines = linesOf(m_folder / "g19-bridge.log");
    ASSERT_EQ(lines.size(), 2u) << "the state log holds no trace";
    const std::regex dated(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, dated)) << lines[0];
    EXPECT_EQ(match[1], "connected to Kestrel Raid Hall");
    ASSERT_TRUE(std::regex_match(lines[1], match, dated)) << lines[1];
    EXPECT_EQ(match[1], "warning: cannot keep the key");
    // Its lines end as the system's text files do, so that Notepad shows them as lines.
    const std::string text = platform::readFile((m_folder / "g19-bridge.log").string()).value_or("");
    const std::string end = platform::textLineEnd();
    EXPECT_EQ(text, lines[0] + end + lines[1] + end);
}

TEST_F(BridgeLogTest, BothFilesAreRenamedPastTheirLimit)
{
    constexpr std::uint64_t LIMIT = 1000;
    bridge::BridgeLog log(nullptr, "g19-bridge", "1.2.3");
    std::string error;
    const fs::path state = m_folder / "g19-bridge.log";
    const fs::path trace = m_folder / "trace" / "bridge-trace.log";
    ASSERT_TRUE(log.openStateFile(state.string(), LIMIT, error)) << error;
    ASSERT_TRUE(log.openTrace(trace.string(), LIMIT, error)) << error;
    for (int i = 0; i < 100; ++i) {
        log.state("line " + std::to_string(i));
    }
    for (const fs::path& file : {state, trace}) {
        ASSERT_TRUE(fs::exists(file.string() + ".1")) << file;
        EXPECT_LE(fs::file_size(file), LIMIT) << file;
        EXPECT_LE(fs::file_size(file.string() + ".1"), LIMIT) << file;
        EXPECT_FALSE(fs::exists(file.string() + ".2")) << "nothing else is kept";
    }
    // The newest lines are in the file, the ones before in FILE.1, in order.
    const std::vector<std::string> newest = linesOf(state);
    ASSERT_FALSE(newest.empty());
    EXPECT_NE(newest.back().find("line 99"), std::string::npos);
    const std::vector<std::string> before = linesOf(state.string() + ".1");
    EXPECT_NE(before.back().find("line " + std::to_string(99 - static_cast<int>(newest.size()))), std::string::npos);
    // A trace file, once renamed, is one a replay can read alone: it starts with the header.
    for (const fs::path& file : {trace, fs::path(trace.string() + ".1")}) {
        const json header = json::parse(linesOf(file).at(0));
        EXPECT_EQ(header.value("trace", 0), bridge::TRACE_FORMAT) << file;
        EXPECT_EQ(header.value("version", ""), "1.2.3");
    }
}

TEST_F(BridgeLogTest, ALogThatCannotBeRenamedLosesNoLineAndSaysSoOnce)
{
    bridge::BridgeLog log(nullptr);
    std::string error;
    const fs::path state = m_folder / "g19-bridge.log";
    ASSERT_TRUE(log.openStateFile(state.string(), 300, error)) << error;
    // FILE.1 a folder that is not empty: no system renames a file over it.
    fs::create_directories(m_folder / "g19-bridge.log.1" / "in the way");
    for (int i = 0; i < 20; ++i) {
        log.state("a line long enough to reach the limit soon " + std::to_string(i));
    }
    const std::vector<std::string> lines = linesOf(state);
    int warnings = 0;
    int kept = 0;
    for (const std::string& line : lines) {
        warnings += line.find("warning: cannot rename") != std::string::npos ? 1 : 0;
        kept += line.find("limit soon") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(kept, 20);
    EXPECT_EQ(warnings, 1) << testing::PrintToString(lines);
}

TEST(RecentLines, AreBoundedByCountAndByBytes)
{
    bridge::RecentLines byCount(3, 1000);
    for (const char* line : {"a", "b", "c", "d", "e"}) {
        byCount.add(line);
    }
    EXPECT_EQ(byCount.lines(), (std::vector<std::string>{"c", "d", "e"}));

    bridge::RecentLines byBytes(100, 10);
    for (const char* line : {"1234", "5678", "90ab", "cdef"}) {
        byBytes.add(line);
    }
    EXPECT_EQ(byBytes.lines(), (std::vector<std::string>{"90ab", "cdef"}));
    EXPECT_EQ(byBytes.bytes(), 8u);
    // One line over the bound is not kept at all.
    byBytes.add(std::string(11, 'x'));
    EXPECT_TRUE(byBytes.lines().empty());
}

TEST(BridgeLogMemory, KeepsTheLastMessagesInTraceLinesWithKeysRedacted)
{
    bridge::BridgeLog log(nullptr);
    const std::string key = "3f9a0c1e-7d2b-4c55-9e61-0a7b8c9d0e1f";
    log.outgoing({{"type", "auth"}, {"payload", {{"content", {{"apiKey", key}}}}}});
    const std::string answer = R"({"type":"auth","status":{"code":0},"payload":{"apiKey":")" + key + R"(",
        "connections":[]}})";
    log.incoming(answer, json::parse(answer));
    for (std::size_t i = 0; i < bridge::RECENT_MESSAGES + 10; ++i) {
        const std::string event = R"({"type":"talkStatusChanged","payload":{"connectionId":1,"clientId":)" +
                                  std::to_string(i) + R"(,"status":1}})";
        log.incoming(event, json::parse(event));
    }
    std::vector<std::string> kept = log.recentMessages();
    ASSERT_EQ(kept.size(), bridge::RECENT_MESSAGES);
    EXPECT_NE(kept.back().find("\"clientId\":" + std::to_string(bridge::RECENT_MESSAGES + 9)), std::string::npos);

    bridge::BridgeLog fresh(nullptr);
    fresh.outgoing({{"type", "auth"}, {"payload", {{"content", {{"apiKey", key}}}}}});
    fresh.incoming(answer, json::parse(answer));
    kept = fresh.recentMessages();
    ASSERT_EQ(kept.size(), 2u);
    for (const std::string& line : kept) {
        EXPECT_EQ(line.find(key.substr(4)), std::string::npos) << line;
        const json parsed = json::parse(line);
        EXPECT_TRUE(parsed.contains("t_ms")) << line;
        EXPECT_TRUE(parsed.contains("in") || parsed.contains("out")) << line;
    }
    // A frame that came in over several lines is kept on one.
    EXPECT_EQ(kept[1].find('\n'), std::string::npos);
}

}  // namespace

namespace {

std::string talkEvent(std::size_t client)
{
    return R"({"type":"talkStatusChanged","payload":{"connectionId":1,"clientId":)" + std::to_string(client) +
           R"(,"status":1}})";
}

// A report made after a long session still starts from the snapshot its events build on,
// and says how many events between the two it lost.
TEST(BridgeLogMemory, AReportKeepsTheSnapshotTheKeptMessagesBuildOn)
{
    const std::string answer = R"({"type":"auth","status":{"code":0},"payload":{"connections":[]}})";
    const auto session = [&](bridge::BridgeLog& log, std::size_t events) {
        log.outgoing({{"type", "auth"}, {"payload", {{"content", {{"apiKey", ""}}}}}});
        log.incoming(answer, json::parse(answer));
        for (std::size_t i = 0; i < events; ++i) {
            log.incoming(talkEvent(i), json::parse(talkEvent(i)));
        }
        log.closed("the voice client closed the connection");
    };

    bridge::BridgeLog shortSession(nullptr);
    session(shortSession, 3);
    const bridge::KeptMessages all = shortSession.reportMessages();
    EXPECT_EQ(all.lines, shortSession.recentMessages()) << "nothing twice while the snapshot is kept anyway";
    EXPECT_EQ(all.droppedAfterSnapshot, 0u);
    EXPECT_EQ(json::parse(all.lines.back()).value("closed", ""), "the voice client closed the connection");

    bridge::BridgeLog longSession(nullptr);
    session(longSession, bridge::RECENT_MESSAGES + 5);
    const bridge::KeptMessages kept = longSession.reportMessages();
    ASSERT_EQ(kept.lines.size(), bridge::RECENT_MESSAGES + 2);
    EXPECT_EQ(json::parse(kept.lines[0])["out"].value("type", ""), "auth");
    EXPECT_EQ(json::parse(kept.lines[1])["in"].value("type", ""), "auth");
    // The ring holds the last RECENT_MESSAGES - 1 events and the close.
    EXPECT_EQ(kept.droppedAfterSnapshot, 6u);
    EXPECT_EQ(std::vector<std::string>(kept.lines.begin() + 2, kept.lines.end()), longSession.recentMessages());
}

TEST(BridgeLogMemory, AnEventOverSeveralLinesIsKeptOnOne)
{
    bridge::BridgeLog log(nullptr);
    const std::string frame = "{\"type\":\"talkStatusChanged\",\r\n\"payload\":\n{\"clientId\":7}}";
    log.incoming(frame, json::parse(frame));
    const std::vector<std::string> kept = log.recentMessages();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].find_first_of("\r\n"), std::string::npos) << kept[0];
    EXPECT_EQ(json::parse(kept[0])["in"], json::parse(frame));
}

TEST(BridgeLogMemory, AFrameThatIsNotJsonKeepsNoKey)
{
    const std::string key = "3f9a0c1e-7d2b-4c55-9e61-0a7b8c9d0e1f";
    bridge::BridgeLog log(nullptr);
    for (const std::string& frame : {R"({"type":"auth","payload":{"apiKey":")" + key + R"(","connections":[)",
                                     R"({"payload":{"apiKey" : ")" + key.substr(0, 20), R"(apiKey)" + key}) {
        log.unreadable("in", frame);
    }
    for (const std::string& line : log.recentMessages()) {
        EXPECT_EQ(line.find(key.substr(4, 5)), std::string::npos) << line;
        EXPECT_NE(line.find("(redacted)"), std::string::npos) << line;
    }
}

}  // namespace
