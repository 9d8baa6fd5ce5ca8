#pragma once
// What the bridge knows of the voice client: every server tab it is connected on, with the
// server's name, the channel tree, the clients in view with the fields the display reads,
// and the own client. It is built from the Remote Apps interface's messages: the snapshot
// in each `auth` answer replaces it whole, and the events after it change it.
//
// The client's messages are taken as they come: IDs as numbers or as decimal strings, flags
// as booleans or numbers, missing or null fields. Whatever cannot be understood is left
// out and reported to the caller, never applied halfway in a way that breaks the mirror.
//
// Not thread-safe by itself: the bridge's host (bridge/bridge_host.h) guards one mirror with
// its lock, which the WebSocket side takes to apply messages.

#include "host/ts3_functions.h"

#include <nlohmann/json.hpp>

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace bridge {

// The client fields the display reads as int properties, and the own client's state that the
// controls toggle. The names are the interface's property names.
enum class Field : std::size_t {
    TALKING,            // flagTalking; live as talkStatusChanged
    INPUT_MUTED,        // inputMuted
    OUTPUT_MUTED,       // outputMuted
    LOCAL_MUTED,        // isMuted: muted by this user
    RECORDING,          // isRecording
    AWAY,               // away
    TALK_REQUEST,       // talkRequest: the time of a pending request, 0 when none
    IS_TALKER,          // isTalker
    CHANNEL_COMMANDER,  // isChannelCommander
    INPUT_HARDWARE,     // inputHardware: the capture device is open, only in the tab in front
    COUNT
};
inline constexpr std::size_t FIELD_COUNT = static_cast<std::size_t>(Field::COUNT);

// The field behind a host property number, if the display reads one there.
std::optional<Field> fieldOfProperty(std::size_t property);

struct Client {
    anyID id = 0;
    uint64 channel = 0;
    std::string nickname;
    std::array<int, FIELD_COUNT> values{};
    // Which values the client has reported; the others read as 0.
    std::bitset<FIELD_COUNT> known;

    int value(Field field) const { return values[static_cast<std::size_t>(field)]; }
    bool isKnown(Field field) const { return known[static_cast<std::size_t>(field)]; }
};

struct Channel {
    uint64 id = 0;
    uint64 parent = 0;
    uint64 order = 0;  // the ID of the sibling it is shown after
    std::string name;
    int neededTalkPower = 0;
    int password = 0;
};

struct Connection {
    uint64 id = 0;
    anyID self = 0;  // the own client's ID; 0 while it is not known
    int status = 0;  // 1 connecting, 2 connected, 3 establishing, 4 established
    std::optional<std::string> serverName;
    // In the order they arrived: the snapshot's top level, then each parent's children.
    std::vector<Channel> channels;
    std::unordered_map<uint64, std::size_t> channelPositions;
    std::vector<Client> clients;  // in the order they came into view
    std::unordered_map<anyID, std::size_t> clientPositions;
    // When the connection reached status 4, as a count of such moments; 0: it has not.
    std::uint64_t establishedAt = 0;

    const Client* findClient(anyID client) const;
    Client* findClient(anyID client);
    const Channel* findChannel(uint64 channel) const;
    const Client* ownClient() const { return self == 0 ? nullptr : findClient(self); }

    // The channel IDs as the display gets them: parents before their children, siblings in
    // the order they arrived; a channel whose parent is unknown goes at the top level.
    const std::vector<uint64>& listOrder() const;

private:
    friend class Mirror;
    void reindexClients();
    void reindexChannels();
    mutable std::vector<uint64> m_listOrder;
    mutable bool m_listOrderStale = true;
    // When the own capture device was seen opening here, as a count of such moments; 0 while
    // it is closed.
    std::uint64_t m_captureSince = 0;
};

// The fields of a talkStatusChanged's payload that the mirror reads, each null when it is
// missing or null, as the voice client sent them.
struct TalkStatus {
    nlohmann::json connectionId;
    nlohmann::json clientId;
    nlohmann::json status;
};

class Mirror {
public:
    // Replaces everything with the `connections` of an `auth` answer. An entry that is not a
    // connection is left out; false when `connections` is not an array (nothing changes then).
    bool replace(const nlohmann::json& connections);

    // Applies one event. Returns "" when it changed the mirror, else why it did not: an
    // unknown type, a connection or client it does not know, fields it cannot read.
    std::string apply(const nlohmann::json& message);
    // Applies one talkStatusChanged, read without its message (bridge/talk_frame.h), exactly
    // as apply() takes the whole message.
    std::string applyTalkStatus(const TalkStatus& talk);

    // Forgets everything: the socket closed, or the bridge is not approved.
    void clear();

    // The server tab in front: the one where the own client's capture device opened last.
    // It stays in front while no tab has the device open, until another tab opens it: the
    // client closes it in the old tab before it opens it in the new one. Without such a tab
    // (none has had it, or it disconnected), the tab established last; 0 when there is none.
    uint64 front() const;

    const Connection* find(uint64 connection) const;
    const std::vector<Connection>& connections() const { return m_connections; }

private:
    Connection* findConnection(uint64 connection);
    std::string applyMessage(const nlohmann::json& message);
    // Notes which tab opened the own capture device last; after every change.
    void followCapture();
    std::string applyTo(Connection& connection, const std::string& type, const nlohmann::json& payload);
    // The connection an event of `type` names by `id`; "" when it is known, else why not.
    std::string connectionOf(const std::string& type, std::optional<uint64> id, Connection*& connection);
    void removeConnection(uint64 connection);
    void markEstablished(Connection& connection) { connection.establishedAt = ++m_establishedCount; }

    std::vector<Connection> m_connections;
    std::uint64_t m_establishedCount = 0;
    std::uint64_t m_captureCount = 0;
    uint64 m_captureHolder = 0;  // the tab that opened the capture device last; 0: none known
};

// Reading the interface's loosely typed values. Each returns nothing for a value it cannot
// take: the wrong type, a negative or fractional number, a string that is not all digits, or
// a value out of range.
std::optional<uint64> readId(const nlohmann::json& value);
std::optional<anyID> readClientId(const nlohmann::json& value);
// A boolean, or a number where non-zero is true.
std::optional<bool> readFlag(const nlohmann::json& value);
// An integer cut to the host's 32-bit int, as the host's getters hand it; a boolean as 1 or 0.
std::optional<int> readInt(const nlohmann::json& value);

}  // namespace bridge
