#pragma once
// One request or answer on the display link: a byte buffer read from the front and
// appended to at the back, with every multi-byte integer most significant byte first.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Packet {
public:
    // Replaces the content with the first `count` bytes; a count of 0 or less empties it.
    void assign(const std::uint8_t* bytes, std::int32_t count);
    void clear();
    void reserve(std::size_t bytes);

    std::size_t size() const { return m_bytes.size() - m_front; }
    const std::uint8_t* data() const { return m_bytes.data() + m_front; }

    // Reads consume from the front. A request can be shorter than its command expects,
    // so a read past the end yields zeros for the missing bytes and consumes only what
    // is there; it never touches memory outside the packet.
    std::uint8_t readUInt8();
    std::uint16_t readUInt16();
    std::uint32_t readUInt32();
    std::string readString();

    void writeUInt8(std::uint8_t value);
    void writeUInt16(std::uint16_t value);
    void writeInt64(std::int64_t value);
    // The length prefix is 16 bits: a longer text is cut to its first 65535 bytes so
    // that the prefix always matches the bytes that follow.
    void writeString(std::string_view text);

    friend bool operator==(const Packet& a, const Packet& b);

private:
    std::uint64_t readBigEndian(std::size_t width);
    void writeBigEndian(std::uint64_t value, std::size_t width);

    std::vector<std::uint8_t> m_bytes;
    // Bytes before this offset have been read. Consuming by moving the offset keeps a
    // read O(1); the bytes are dropped when the packet is cleared or reassigned.
    std::size_t m_front = 0;
};
