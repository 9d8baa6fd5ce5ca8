#include "tools/probe/events.h"

#include <map>

namespace probe {

namespace {

// The first entry of an ID stands for it, should the plug-in list one twice.
std::map<std::uint16_t, const display::ClientEntry*> byId(const display::ClientList& list)
{
    std::map<std::uint16_t, const display::ClientEntry*> index;
    for (const display::ClientEntry& client : list.clients) {
        index.emplace(client.id, &client);
    }
    return index;
}

ClientEvent event(EventKind kind, const display::ClientEntry& client)
{
    return ClientEvent{kind, client.id, client.nickname, client.channel, 0};
}

}  // namespace

std::vector<ClientEvent> clientEvents(const display::ClientList& before, const display::ClientList& after)
{
    const auto old = byId(before);
    const auto now = byId(after);
    std::vector<ClientEvent> events;
    for (const display::ClientEntry& client : before.clients) {
        if (now.count(client.id) == 0 && old.at(client.id) == &client) {
            events.push_back(event(EventKind::LEFT, client));
        }
    }

    for (const display::ClientEntry& client : after.clients) {
        if (now.at(client.id) != &client) {
            continue;
        }
        const auto found = old.find(client.id);
        if (found == old.end()) {
            events.push_back(event(EventKind::JOINED, client));
            continue;
        }
        const display::ClientEntry& was = *found->second;
        if (was.channel != client.channel) {
            ClientEvent moved = event(EventKind::MOVED, client);
            moved.fromChannel = was.channel;
            events.push_back(moved);
        }
        const auto changed = [&](bool a, bool b, EventKind on, EventKind off) {
            if (a != b) {
                events.push_back(event(b ? on : off, client));
            }
        };
        changed(was.talking != 0, client.talking != 0, EventKind::STARTED_TALKING,
                EventKind::STOPPED_TALKING);
        changed(was.inputMuted != 0, client.inputMuted != 0, EventKind::MUTED, EventKind::UNMUTED);
        changed(was.outputMuted != 0, client.outputMuted != 0, EventKind::SPEAKERS_MUTED,
                EventKind::SPEAKERS_UNMUTED);
        changed(was.away != 0, client.away != 0, EventKind::AWAY, EventKind::BACK);
    }
    return events;
}

const char* eventName(EventKind kind)
{
    switch (kind) {
        case EventKind::JOINED:
            return "joined";
        case EventKind::LEFT:
            return "left";
        case EventKind::MOVED:
            return "moved";
        case EventKind::STARTED_TALKING:
            return "started-talking";
        case EventKind::STOPPED_TALKING:
            return "stopped-talking";
        case EventKind::MUTED:
            return "muted";
        case EventKind::UNMUTED:
            return "unmuted";
        case EventKind::SPEAKERS_MUTED:
            return "speakers-muted";
        case EventKind::SPEAKERS_UNMUTED:
            return "speakers-unmuted";
        case EventKind::AWAY:
            return "away";
        case EventKind::BACK:
            return "back";
    }
    return "unknown";
}

std::string describeEvent(const ClientEvent& e, const ChannelNames& names)
{
    const std::string who = printable(e.nickname) + " (" + std::to_string(e.client) + ")";
    switch (e.kind) {
        case EventKind::JOINED:
            return who + " joined " + channelLabel(e.channel, names);
        case EventKind::LEFT:
            return who + " left";
        case EventKind::MOVED:
            return who + " moved from " + channelLabel(e.fromChannel, names) + " to " +
                   channelLabel(e.channel, names);
        case EventKind::STARTED_TALKING:
            return who + " started talking";
        case EventKind::STOPPED_TALKING:
            return who + " stopped talking";
        case EventKind::MUTED:
            return who + " muted the microphone";
        case EventKind::UNMUTED:
            return who + " unmuted the microphone";
        case EventKind::SPEAKERS_MUTED:
            return who + " muted the speakers";
        case EventKind::SPEAKERS_UNMUTED:
            return who + " unmuted the speakers";
        case EventKind::AWAY:
            return who + " went away";
        case EventKind::BACK:
            return who + " came back";
    }
    return who;
}

Colour eventColour(EventKind kind)
{
    switch (kind) {
        case EventKind::STARTED_TALKING:
        case EventKind::JOINED:
            return Colour::GREEN;
        case EventKind::MUTED:
        case EventKind::SPEAKERS_MUTED:
        case EventKind::LEFT:
            return Colour::RED;
        case EventKind::AWAY:
        case EventKind::MOVED:
            return Colour::YELLOW;
        default:
            return Colour::NONE;
    }
}

}  // namespace probe
