#include "client/answers.h"

#include "protocol/wire.h"

#include <algorithm>
#include <limits>

namespace display {

namespace {

constexpr std::size_t UINT16_SIZE = 2;
constexpr std::size_t INT64_SIZE = 8;

std::string hexByte(std::uint8_t value)
{
    static const char DIGITS[] = "0123456789abcdef";
    return std::string("0x") + DIGITS[value >> 4] + DIGITS[value & 0x0F];
}

// Reads big-endian fields off a span and stops at the first that does not fit. The field
// names only matter on failure, so the record context is kept as parts and formatted then.
class Reader {
public:
    Reader(const std::uint8_t* bytes, std::size_t size) : m_bytes(bytes), m_size(bytes != nullptr ? size : 0)
    {
    }

    bool ok() const { return m_status == DecodeStatus::COMPLETE; }
    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_size - m_offset; }

    // Names the record that the following fields belong to, for the messages.
    void enter(const char* kind, std::uint64_t index, std::uint64_t count)
    {
        m_kind = kind;
        m_index = index;
        m_count = count;
    }

    bool readUInt8(std::uint8_t& value, const char* field)
    {
        std::uint64_t wide = 0;
        if (!readBigEndian(wide, 1, field)) {
            return false;
        }
        value = static_cast<std::uint8_t>(wide);
        return true;
    }

    bool readUInt16(std::uint16_t& value, const char* field)
    {
        std::uint64_t wide = 0;
        if (!readBigEndian(wide, UINT16_SIZE, field)) {
            return false;
        }
        value = static_cast<std::uint16_t>(wide);
        return true;
    }

    bool readUInt64(std::uint64_t& value, const char* field)
    {
        return readBigEndian(value, INT64_SIZE, field);
    }

    bool readInt64(std::int64_t& value, const char* field)
    {
        std::uint64_t bits = 0;
        if (!readBigEndian(bits, INT64_SIZE, field)) {
            return false;
        }
        // Two's complement on the wire; the conversion is exact since C++20 and on every
        // compiler we use before it.
        value = static_cast<std::int64_t>(bits);
        return true;
    }

    // A 64-bit field that carries a 16-bit client ID widened with zeros.
    bool readClientId(std::uint16_t& value, const char* field)
    {
        const std::size_t start = m_offset;
        std::uint64_t wide = 0;
        if (!readUInt64(wide, field)) {
            return false;
        }
        if (wide > std::numeric_limits<std::uint16_t>::max()) {
            fail(DecodeStatus::MALFORMED, start, 0,
                 fieldName(field) + " is " + std::to_string(wide) + ", more than a 16-bit client ID");
            return false;
        }
        value = static_cast<std::uint16_t>(wide);
        return true;
    }

    bool readString(std::string& value, const char* field)
    {
        const std::size_t start = m_offset;
        std::uint16_t length = 0;
        if (!readUInt16(length, field)) {
            return false;
        }
        if (length > remaining()) {
            fail(DecodeStatus::NEED_MORE, start, start + UINT16_SIZE + length,
                 fieldName(field) + " claims " + std::to_string(length) + " bytes, " +
                     std::to_string(remaining()) + " follow");
            return false;
        }
        value.assign(reinterpret_cast<const char*>(m_bytes + m_offset), length);
        m_offset += length;
        return true;
    }

    bool expectTag(std::uint8_t expected)
    {
        std::uint8_t tag = 0;
        if (!readUInt8(tag, "tag")) {
            return false;
        }
        if (tag == expected) {
            return true;
        }
        std::string message = "tag is " + hexByte(tag) + ", expected " + hexByte(expected);
        if (tag == COMMAND_UNKNOWN) {
            message += " (the plug-in did not recognise the command)";
        }
        fail(DecodeStatus::MALFORMED, 0, 0, message);
        return false;
    }

    // A 64-bit count of records of at least `minRecord` bytes each.
    bool readCount(std::uint64_t& count, const char* field, std::size_t minRecord)
    {
        const std::size_t start = m_offset;
        std::int64_t value = 0;
        if (!readInt64(value, field)) {
            return false;
        }
        if (value < 0) {
            fail(DecodeStatus::MALFORMED, start, 0, fieldName(field) + " is negative");
            return false;
        }
        count = static_cast<std::uint64_t>(value);
        if (count > (MAX_ANSWER_SIZE - m_offset) / minRecord) {
            fail(DecodeStatus::MALFORMED, start, 0,
                 fieldName(field) + " " + std::to_string(count) + " cannot fit in an answer");
            return false;
        }
        return true;
    }

    // Capacity worth reserving for `count` records: never more than the bytes present can hold.
    std::size_t plausible(std::uint64_t count, std::size_t minRecord) const
    {
        return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining() / minRecord));
    }

    bool expectEnd()
    {
        if (m_offset == m_size) {
            return true;
        }
        fail(DecodeStatus::MALFORMED, m_offset, 0,
             std::to_string(remaining()) + " bytes follow the end of the answer");
        return false;
    }

    bool checkSize()
    {
        if (m_size <= MAX_ANSWER_SIZE) {
            return true;
        }
        fail(DecodeStatus::MALFORMED, MAX_ANSWER_SIZE, 0, "answer is larger than any real one");
        return false;
    }

    template <typename Answer>
    Decoded<Answer> result(Answer&& answer, bool openEnded = false) const
    {
        Decoded<Answer> decoded;
        decoded.status = m_status;
        decoded.error = m_error;
        decoded.needed = m_needed;
        if (ok()) {
            decoded.answer = std::move(answer);
            decoded.openEnded = openEnded;
        }
        return decoded;
    }

    template <typename Answer>
    Decoded<Answer> failure() const
    {
        return result(Answer{});
    }

private:
    bool readBigEndian(std::uint64_t& value, std::size_t width, const char* field)
    {
        if (remaining() < width) {
            fail(DecodeStatus::NEED_MORE, m_offset, m_offset + width,
                 fieldName(field) + " (" + std::to_string(width) + (width == 1 ? " byte" : " bytes") +
                     ") is incomplete");
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | m_bytes[m_offset + i];
        }
        m_offset += width;
        return true;
    }

    std::string fieldName(const char* field) const
    {
        std::string name = std::string("the ") + field;
        if (m_kind != nullptr) {
            name += " of " + std::string(m_kind) + " " + std::to_string(m_index + 1) + " of " +
                    std::to_string(m_count);
        }
        return name;
    }

    void fail(DecodeStatus status, std::size_t offset, std::size_t needed, std::string message)
    {
        m_status = status;
        m_error = DecodeError{std::move(message), offset};
        m_needed = needed;
    }

    const std::uint8_t* m_bytes;
    std::size_t m_size;
    std::size_t m_offset = 0;
    DecodeStatus m_status = DecodeStatus::COMPLETE;
    DecodeError m_error;
    std::size_t m_needed = 0;
    const char* m_kind = nullptr;
    std::uint64_t m_index = 0;
    std::uint64_t m_count = 0;
};

bool readChannel(Reader& reader, Channel& channel)
{
    return reader.readUInt64(channel.id, "channel ID") && reader.readString(channel.name, "name") &&
           reader.readInt64(channel.neededTalkPower, "needed talk power") &&
           reader.readInt64(channel.order, "order") && reader.readUInt64(channel.parent, "parent ID") &&
           reader.readInt64(channel.passwordFlag, "password flag");
}

bool readClient(Reader& reader, ClientEntry& client)
{
    std::uint8_t reserved = 0;
    return reader.readClientId(client.id, "client ID") && reader.readString(client.nickname, "nickname") &&
           reader.readInt64(client.talking, "talking state") &&
           reader.readUInt64(client.channel, "channel ID") &&
           reader.readUInt16(client.talkRequest, "talk request") &&
           reader.readUInt16(client.isTalker, "talker flag") &&
           reader.readUInt8(client.inputMuted, "microphone flag") &&
           reader.readUInt8(client.outputMuted, "speaker flag") &&
           reader.readUInt8(client.recording, "recording flag")
           // Always zero from the plug-in; not checked, so that a later use of them still decodes.
           && reader.readUInt8(reserved, "reserved byte") && reader.readUInt8(reserved, "reserved byte") &&
           reader.readUInt8(client.away, "away flag") &&
           reader.readUInt8(client.channelCommander, "channel commander flag") &&
           reader.readUInt8(client.locallyMuted, "local mute flag");
}

template <typename Answer>
Progress progressOf(const Decoded<Answer>& decoded)
{
    return Progress{decoded.status, decoded.error, decoded.needed, decoded.openEnded};
}

}  // namespace

Decoded<ServerInfo> decodeServerInfo(const std::uint8_t* bytes, std::size_t size)
{
    Reader reader(bytes, size);
    ServerInfo info;
    if (!reader.checkSize() || !reader.expectTag(COMMAND_SERVER_NAME) ||
        !reader.readString(info.version, "version")) {
        return reader.failure<ServerInfo>();
    }
    if (reader.remaining() == 0) {
        return reader.result(std::move(info), true);
    }
    std::string name;
    if (!reader.readString(name, "server name") || !reader.expectEnd()) {
        return reader.failure<ServerInfo>();
    }
    info.serverName = std::move(name);
    return reader.result(std::move(info));
}

Decoded<ChannelList> decodeChannelList(const std::uint8_t* bytes, std::size_t size)
{
    Reader reader(bytes, size);
    std::uint64_t count = 0;
    if (!reader.checkSize() || !reader.expectTag(COMMAND_CHANNEL_LIST) ||
        !reader.readCount(count, "channel count", CHANNEL_RECORD_MIN_SIZE)) {
        return reader.failure<ChannelList>();
    }
    ChannelList list;
    list.channels.reserve(reader.plausible(count, CHANNEL_RECORD_MIN_SIZE));
    for (std::uint64_t i = 0; i < count; ++i) {
        reader.enter("channel record", i, count);
        Channel channel;
        if (!readChannel(reader, channel)) {
            return reader.failure<ChannelList>();
        }
        list.channels.push_back(std::move(channel));
    }
    reader.enter(nullptr, 0, 0);
    if (!reader.expectEnd()) {
        return reader.failure<ChannelList>();
    }
    return reader.result(std::move(list));
}

Decoded<ClientList> decodeClientList(const std::uint8_t* bytes, std::size_t size)
{
    Reader reader(bytes, size);
    ClientList list;
    std::uint64_t count = 0;
    if (!reader.checkSize() || !reader.expectTag(COMMAND_CLIENT_LIST) ||
        !reader.readClientId(list.ownId, "own client ID") ||
        !reader.readUInt64(list.ownChannel, "own channel ID") ||
        !reader.readCount(count, "client count", CLIENT_ENTRY_MIN_SIZE)) {
        return reader.failure<ClientList>();
    }
    list.clients.reserve(reader.plausible(count, CLIENT_ENTRY_MIN_SIZE));
    for (std::uint64_t i = 0; i < count; ++i) {
        reader.enter("client entry", i, count);
        ClientEntry client;
        if (!readClient(reader, client)) {
            return reader.failure<ClientList>();
        }
        list.clients.push_back(std::move(client));
    }
    reader.enter(nullptr, 0, 0);
    if (!reader.expectEnd()) {
        return reader.failure<ClientList>();
    }
    return reader.result(std::move(list));
}

Progress answerProgress(std::uint8_t command, const std::uint8_t* bytes, std::size_t size)
{
    switch (command) {
        case COMMAND_SERVER_NAME:
            return progressOf(decodeServerInfo(bytes, size));
        case COMMAND_CHANNEL_LIST:
            return progressOf(decodeChannelList(bytes, size));
        case COMMAND_CLIENT_LIST:
            return progressOf(decodeClientList(bytes, size));
        default:
            return Progress{DecodeStatus::MALFORMED,
                            DecodeError{"command " + hexByte(command) + " has no answer layout", 0}, 0,
                            false};
    }
}

std::string describe(DecodeStatus status, const DecodeError& error)
{
    switch (status) {
        case DecodeStatus::COMPLETE:
            return "answer complete";
        case DecodeStatus::NEED_MORE:
            return "answer cut short at byte " + std::to_string(error.offset) + ": " + error.message;
        case DecodeStatus::MALFORMED:
            break;
    }
    return "malformed answer at byte " + std::to_string(error.offset) + ": " + error.message;
}

}  // namespace display
