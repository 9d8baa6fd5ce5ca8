#pragma once
// Decoding the plug-in's answers on the display side of the link.
//
// The link has no framing: an answer's end follows only from its own fields. Every decoder
// here therefore tells three outcomes apart, so that a reader can feed it the bytes received
// so far and stop as soon as the answer is whole: COMPLETE, NEED_MORE (a prefix of a valid
// answer) and MALFORMED (no continuation can make it valid). NEED_MORE on bytes that are
// known to be all there is means the answer was cut short.
//
// The decoders take any bytes: they never read outside the span given, never throw on bad
// input, and never reserve memory for a claimed count beyond what the bytes present can hold.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace display {

// Larger answers are taken as malformed rather than waited for. A real answer carries well
// under a hundred bytes per channel or client; this leaves room for very large servers.
inline constexpr std::size_t MAX_ANSWER_SIZE = 64u * 1024u * 1024u;

enum class DecodeStatus { COMPLETE, NEED_MORE, MALFORMED };

struct DecodeError {
    std::string message;     // one line, without the offset
    std::size_t offset = 0;  // the first byte of the field that is wrong or cut short
};

template <typename Answer>
struct Decoded {
    DecodeStatus status = DecodeStatus::NEED_MORE;
    Answer answer{};    // valid only when COMPLETE
    DecodeError error;  // set for NEED_MORE and MALFORMED
    // NEED_MORE: the status cannot change before the buffer holds at least this many bytes.
    std::size_t needed = 0;
    // COMPLETE, but the same bytes followed by more could also be a valid answer (an answer
    // to command 2 whose server name was unavailable is a prefix of one that carries it).
    bool openEnded = false;

    bool complete() const { return status == DecodeStatus::COMPLETE; }
};

// Answer to command 2.
struct ServerInfo {
    std::string version;
    std::optional<std::string> serverName;  // absent when the plug-in could not read it
};

// One record of the answer to command 3.
struct Channel {
    std::uint64_t id = 0;  // 0 when the plug-in could not read the channel's name
    std::string name;
    std::int64_t neededTalkPower = 0;
    std::int64_t order = 0;
    std::uint64_t parent = 0;  // 0 for a channel at the top level
    std::int64_t passwordFlag = 0;
};

struct ChannelList {
    std::vector<Channel> channels;  // in the plug-in's order
};

// One entry of the answer to command 5. Values the plug-in could not read arrive as 0 (and
// the nickname as "ERROR"); the answer does not say which.
struct ClientEntry {
    std::uint16_t id = 0;
    std::string nickname;
    std::int64_t talking = 0;
    std::uint64_t channel = 0;
    std::uint16_t talkRequest = 0;
    std::uint16_t isTalker = 0;
    std::uint8_t inputMuted = 0;
    std::uint8_t outputMuted = 0;
    std::uint8_t recording = 0;
    std::uint8_t away = 0;
    std::uint8_t channelCommander = 0;
    std::uint8_t locallyMuted = 0;  // muted by the user of the plug-in
};

struct ClientList {
    std::uint16_t ownId = 0;
    std::uint64_t ownChannel = 0;      // 0 when the plug-in could not read it
    std::vector<ClientEntry> clients;  // in the plug-in's order, the own client among them
};

// Smallest encodings: a record or entry with an empty name.
inline constexpr std::size_t SERVER_INFO_MIN_SIZE = 3;
inline constexpr std::size_t CHANNEL_LIST_HEADER_SIZE = 9;
inline constexpr std::size_t CHANNEL_RECORD_MIN_SIZE = 42;
inline constexpr std::size_t CLIENT_LIST_HEADER_SIZE = 25;
inline constexpr std::size_t CLIENT_ENTRY_MIN_SIZE = 38;

Decoded<ServerInfo> decodeServerInfo(const std::uint8_t* bytes, std::size_t size);
Decoded<ChannelList> decodeChannelList(const std::uint8_t* bytes, std::size_t size);
Decoded<ClientList> decodeClientList(const std::uint8_t* bytes, std::size_t size);

// For a reader that does not need the decoded value: the state of the answer to `command`
// (2, 3 or 5) given the bytes received so far. Any other command is MALFORMED at offset 0.
struct Progress {
    DecodeStatus status = DecodeStatus::NEED_MORE;
    DecodeError error;
    std::size_t needed = 0;
    bool openEnded = false;
};
Progress answerProgress(std::uint8_t command, const std::uint8_t* bytes, std::size_t size);

// "at byte 17: channel count is negative" (or "answer cut short at byte 17: ..." for
// NEED_MORE), for one-line error reports.
std::string describe(DecodeStatus status, const DecodeError& error);

}  // namespace display
