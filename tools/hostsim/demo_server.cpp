#include "demo_server.h"

#include "host/properties.h"

#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

constexpr uint64 DEMO_SCHID = 1;
constexpr anyID OWN_CLIENT = 1;
constexpr std::chrono::milliseconds TALK_STEP{1000};

// One character per step: '#' talking, '.' quiet. Different lengths keep the room from
// falling into one visible rhythm.
struct TalkPattern {
    anyID client;
    const char* steps;
};

constexpr TalkPattern TALK_PATTERNS[] = {
    {2, "##..###....#.."},      {4, "....##.#....###.."}, {5, "#.....##...."},
    {8, "###.####..#####...."}, {9, ".#......##...#"},
};

// `after` is what the voice client keeps as the channel's order: the ID of the sibling that it
// is sorted after, 0 for the first among its siblings.
sim::Channel channel(uint64 id, const char* name, uint64 parent, int after, int neededTalkPower = 0,
                     bool password = false)
{
    sim::Channel result;
    result.id = id;
    result.name = name;
    result.parent = parent;
    result.ints[CHANNEL_ORDER] = after;
    result.ints[CHANNEL_NEEDED_TALK_POWER] = neededTalkPower;
    result.ints[CHANNEL_FLAG_PASSWORD] = password ? 1 : 0;
    return result;
}

sim::Client client(anyID id, const char* nickname, uint64 channel, sim::IntProperties flags = {})
{
    sim::Client result;
    result.id = id;
    result.nickname = nickname;
    result.channel = channel;
    for (const std::size_t property :
         {CLIENT_FLAG_TALKING, CLIENT_INPUT_MUTED, CLIENT_OUTPUT_MUTED, CLIENT_IS_MUTED, CLIENT_IS_RECORDING,
          CLIENT_AWAY, CLIENT_TALK_REQUEST, CLIENT_IS_TALKER, CLIENT_IS_CHANNEL_COMMANDER}) {
        result.ints[property] = 0;
    }
    for (const auto& [property, value] : flags) {
        result.ints[property] = value;
    }
    return result;
}

}  // namespace

sim::Model demoModel()
{
    sim::Connection server;
    server.schid = DEMO_SCHID;
    server.serverName = DEMO_SERVER_NAME;
    server.self = OWN_CLIENT;
    // A display's talk request shows, as on a real server, once the server has answered it.
    server.roundTripMs = 150;
    // Listed by ID, not in the tree's order: a display sorts them by parent and order. The
    // tree: Lobby, Gaming (Raid Team (Inner Circle), Strategy), Music Stage, Away From Keyboard.
    server.channels = {
        channel(1, "Lobby", 0, 0),
        channel(2, "Gaming", 0, 1),
        channel(3, "Raid Team", 2, 0, 0, true),
        channel(4, "Strategy", 2, 3),
        channel(5, "Music Stage", 0, 2, 25),
        channel(6, "Away From Keyboard", 0, 5),
        channel(7, "Inner Circle", 3, 0),
    };
    server.clients = {
        client(OWN_CLIENT, "G19 User", 1),
        client(2, "Alice", 1),
        client(3, "Bob", 1, {{CLIENT_INPUT_MUTED, 1}}),
        client(4, "Carol", 3, {{CLIENT_IS_CHANNEL_COMMANDER, 1}}),
        client(5, "Dave", 3, {{CLIENT_IS_RECORDING, 1}}),
        client(6, "Erin", 6, {{CLIENT_AWAY, 1}, {CLIENT_INPUT_MUTED, 1}, {CLIENT_OUTPUT_MUTED, 1}}),
        client(7, "Frank", 5, {{CLIENT_TALK_REQUEST, 1}}),
        client(8, "Grace", 5, {{CLIENT_IS_TALKER, 1}}),
        client(9, "Heidi", 7, {{CLIENT_IS_MUTED, 1}}),
    };
    sim::Model model;
    model.current = DEMO_SCHID;
    model.connections.push_back(std::move(server));
    // The buttons a display's bridge presses, bound as its user would bind them.
    model.bindings = {
        {"g19-disconnect", sim::UserAction::DISCONNECT},
        {"g19-microphone", sim::UserAction::TOGGLE_MICROPHONE},
        {"g19-away", sim::UserAction::TOGGLE_AWAY},
        {"g19-speakers", sim::UserAction::TOGGLE_SPEAKERS},
        {"g19-talk-power", sim::UserAction::REQUEST_TALK_POWER},
    };
    return model;
}

void DemoAnimation::start()
{
    std::lock_guard<std::mutex> control(m_control);
    stopLocked();
    m_stopping = false;
    m_leftAlone.clear();
    m_thread = std::thread(&DemoAnimation::run, this);
}

void DemoAnimation::stop()
{
    std::lock_guard<std::mutex> control(m_control);
    stopLocked();
}

void DemoAnimation::stopLocked()
{
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void DemoAnimation::leaveAlone(uint64 schid, anyID client)
{
    // Taken while the animation changes nothing, so no step overwrites the hand's value.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (schid == DEMO_SCHID) {
        m_leftAlone.insert(client);
    }
}

void DemoAnimation::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (std::size_t step = 0;; ++step) {
        // Changed in place: a mute or a move the plug-in made meanwhile must stay.
        sim::updateModel([this, step](sim::Model& model) {
            for (sim::Connection& connection : model.connections) {
                if (connection.schid != DEMO_SCHID) {
                    continue;
                }
                for (sim::Client& member : connection.clients) {
                    for (const TalkPattern& pattern : TALK_PATTERNS) {
                        if (pattern.client == member.id && m_leftAlone.count(member.id) == 0) {
                            const char* steps = pattern.steps;
                            member.ints[CLIENT_FLAG_TALKING] =
                                steps[step % std::strlen(steps)] == '#' ? 1 : 0;
                        }
                    }
                }
            }
        });
        if (m_wake.wait_for(lock, TALK_STEP, [this] { return m_stopping; })) {
            return;
        }
    }
}
