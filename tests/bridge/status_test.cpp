// The bridge's status: what the session and the listener report becomes one state, one line
// for the player and one of the tray's pictures; a notification only where the player must
// act, and a log line only where something changed that the player cares about.

#include "bridge/status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bridge::Icon;
using bridge::State;
using bridge::StatusModel;

constexpr char ADDRESS[] = "ws://127.0.0.1:5899";

struct Row {
    const char* what;
    std::vector<std::function<void(StatusModel&)>> events;
    State state;
    Icon icon;
    const char* line;  // the whole line
    int notifications;
    int logLines;      // lines after the model's first
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.what;
}

const auto unreachable = [](StatusModel& m) { m.unreachable("connection refused"); };
const auto lost = [](StatusModel& m) { m.lost("the voice client closed the connection"); };
const auto waiting = [](StatusModel& m) { m.waitingForApproval(); };
const auto refused = [](StatusModel& m) { m.refused(""); };
const auto approved = [](StatusModel& m) { m.approved(); };
const auto raidHall = [](StatusModel& m) { m.front(std::string("Kestrel Raid Hall")); };
const auto noFront = [](StatusModel& m) { m.front(std::nullopt); };
const auto held = [](StatusModel& m) { m.portHeld(12132); };
const auto served = [](StatusModel& m) { m.portServed("127.0.0.1", 12132); };

const std::string ALLOW = "open Settings \xE2\x86\x92 Remote Apps and allow \"Kestro G19 Display\"";

const Row ROWS[] = {
    {"nothing yet", {}, State::CONNECTING, Icon::UNREACHABLE, "connecting to the voice client (ws://127.0.0.1:5899)", 0,
     0},
    {"the client is not running",
     {unreachable},
     State::UNREACHABLE,
     Icon::UNREACHABLE,
     "cannot reach the voice client: start it, and check that Settings \xE2\x86\x92 Remote Apps is enabled "
     "(ws://127.0.0.1:5899: connection refused)",
     0,
     1},
    {"it stays away: one line, not one per try", {unreachable, unreachable, unreachable}, State::UNREACHABLE,
     Icon::UNREACHABLE, nullptr, 0, 1},
    {"waiting for approval", {unreachable, waiting}, State::WAITING, Icon::WAITING, nullptr, 1, 2},
    {"refused", {waiting, refused}, State::REFUSED, Icon::REFUSED, nullptr, 2, 2},
    {"refused again while refused: no new notification", {refused, refused}, State::REFUSED, Icon::REFUSED, nullptr, 1,
     1},
    {"approved, a server in front", {waiting, approved, raidHall}, State::CONNECTED, Icon::CONNECTED,
     "connected to Kestrel Raid Hall", 1, 3},
    {"approved, no server tab", {approved, noFront}, State::CONNECTED, Icon::CONNECTED,
     "connected to the voice client; no server is connected", 0, 1},
    {"the client went away", {approved, raidHall, lost, unreachable}, State::UNREACHABLE, Icon::UNREACHABLE,
     "lost the voice client: the display shows no server until it is back; start the client again if it was closed "
     "(ws://127.0.0.1:5899: connection refused)",
     0, 3},
    {"the port is held, whatever the client does", {approved, raidHall, held}, State::PORT_HELD, Icon::PORT_HELD,
     "port 12132 is in use by another program, perhaps a 3.x client with the plug-in; the display cannot reach the "
     "bridge until it is free",
     1, 3},
    {"held, then free again", {approved, raidHall, held, served}, State::CONNECTED, Icon::CONNECTED,
     "connected to Kestrel Raid Hall", 1, 5},
    {"the hint comes back each time", {waiting, approved, unreachable, waiting}, State::WAITING, Icon::WAITING, nullptr,
     2, 4},
};

class StatusTable : public testing::TestWithParam<Row> {};

TEST_P(StatusTable, EventsGiveStateLineAndIcon)
{
    const Row& row = GetParam();
    std::vector<std::string> logged;
    StatusModel model(ADDRESS, [&](const std::string& line) { logged.push_back(line); });
    int notifications = 0;
    model.observe([&](const bridge::Status&, bool notify) { notifications += notify ? 1 : 0; });
    for (const auto& event : row.events) {
        event(model);
    }
    const bridge::Status status = model.current();
    EXPECT_EQ(status.state, row.state);
    EXPECT_EQ(status.icon, row.icon);
    if (row.line != nullptr) {
        EXPECT_EQ(status.line, row.line);
    }
    EXPECT_EQ(notifications, row.notifications);
    EXPECT_EQ(static_cast<int>(logged.size()), row.logLines) << testing::PrintToString(logged);
    if (row.state == State::WAITING) {
        EXPECT_EQ(status.line, "waiting for approval: in the voice client, " + ALLOW);
    }
    if (row.state == State::REFUSED) {
        EXPECT_EQ(status.line, "the voice client refused the bridge: to allow it, " + ALLOW);
    }
    EXPECT_EQ(bridge::tooltipOf(status), "Kestro G19 bridge: " + status.line);
}

INSTANTIATE_TEST_SUITE_P(Events, StatusTable, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != '\0'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST(Status, TheDisplaysPortIsSaidOnceAndWhenItIsFreeAgain)
{
    std::vector<std::string> logged;
    StatusModel model(ADDRESS, [&](const std::string& line) { logged.push_back(line); });
    model.portServed("127.0.0.1", 12132);
    model.portHeld(12132);
    model.portHeld(12132);
    model.portServed("127.0.0.1", 12132);
    ASSERT_EQ(logged.size(), 4u) << testing::PrintToString(logged);
    EXPECT_EQ(logged[0], "serving the display on 127.0.0.1:12132");
    EXPECT_EQ(logged[1].rfind("port 12132 is in use by another program", 0), 0u);
    EXPECT_EQ(logged[2], "port 12132 is free again: serving the display on 127.0.0.1:12132");
    EXPECT_EQ(logged[3], "connecting to the voice client (ws://127.0.0.1:5899)");
}

TEST(Status, AChangeReachesTheViewAtOnce)
{
    StatusModel model(ADDRESS, [](const std::string&) {});
    std::chrono::steady_clock::time_point seen;
    std::string tooltip;
    model.observe([&](const bridge::Status& status, bool) {
        seen = std::chrono::steady_clock::now();
        tooltip = bridge::tooltipOf(status);
    });
    const auto reported = std::chrono::steady_clock::now();
    model.approved();
    model.front(std::string("Kestrel Raid Hall"));
    EXPECT_EQ(tooltip, "Kestro G19 bridge: connected to Kestrel Raid Hall");
    EXPECT_LT(seen - reported, std::chrono::milliseconds(100));
}

}  // namespace
