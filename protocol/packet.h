#pragma once
// One request or answer on the display link: a byte buffer read from the front and
// appended to at the back, with every multi-byte integer most significant byte first.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Stores the low `width` bytes of `value` at `out`, most significant first: the layout of
// every multi-byte integer on the link.
inline void storeBigEndian(std::uint8_t* out, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

class Packet {
public:
    Packet() = default;
    Packet(const Packet& other);
    Packet(Packet&& other) noexcept;
    Packet& operator=(const Packet& other);
    Packet& operator=(Packet&& other) noexcept;
    ~Packet() = default;

    // Replaces the content with the first `count` bytes; a count of 0 or less empties it.
    void assign(const std::uint8_t* bytes, std::int32_t count);
    void clear();
    // Makes room for `bytes` more bytes to be appended without another allocation.
    void reserve(std::size_t bytes);

    std::size_t size() const { return m_end - m_front; }
    const std::uint8_t* data() const { return m_storage.get() + m_front; }

    // Reads consume from the front. A request can be shorter than its command expects,
    // so a read past the end yields zeros for the missing bytes and consumes only what
    // is there; it never touches memory outside the packet.
    std::uint8_t readUInt8();
    std::uint16_t readUInt16();
    std::uint32_t readUInt32();
    std::string readString();

    // The writes are inline: a client list answer is tens of thousands of small fields,
    // and a call and a capacity check per byte would cost as much as the host calls.
    void writeUInt8(std::uint8_t value) { *extend(1) = value; }
    void writeUInt16(std::uint16_t value) { storeBigEndian(extend(2), value, 2); }
    void writeInt64(std::int64_t value) { storeBigEndian(extend(8), static_cast<std::uint64_t>(value), 8); }
    // The length prefix is 16 bits: a longer text is cut to its first 65535 bytes so
    // that the prefix always matches the bytes that follow.
    void writeString(std::string_view text);
    // Grows the packet by `bytes` and returns where they start, for a run of fixed fields
    // written at once: one check of the room left for all of them. The caller writes every
    // one of the bytes before the packet is read or written again (a write may move the
    // block).
    std::uint8_t* extend(std::size_t bytes)
    {
        if (m_capacity - m_end < bytes) {
            grow(bytes);
        }
        std::uint8_t* out = m_storage.get() + m_end;
        m_end += bytes;
        return out;
    }

    friend bool operator==(const Packet& a, const Packet& b);

private:
    std::uint64_t readBigEndian(std::size_t width);

    void grow(std::size_t bytes);
    // Moves the unread bytes to the start of a new block of `capacity` bytes.
    void reallocate(std::size_t capacity);

    // Bytes [m_front, m_end) of the block are the packet. Bytes before m_front have been
    // read: consuming by moving the offset keeps a read O(1), and the bytes are dropped
    // when the packet is cleared, reassigned or grown. The block is not zeroed; only
    // written bytes are ever read.
    std::unique_ptr<std::uint8_t[]> m_storage;
    std::size_t m_capacity = 0;
    std::size_t m_front = 0;
    std::size_t m_end = 0;
};
