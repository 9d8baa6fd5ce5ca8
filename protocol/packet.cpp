#include "protocol/packet.h"

#include <algorithm>

inline constexpr std::size_t MAX_STRING_BYTES = 0xFFFF;

void Packet::assign(const std::uint8_t* bytes, std::int32_t count)
{
    m_front = 0;
    if (count <= 0 || bytes == nullptr) {
        m_bytes.clear();
        return;
    }
    m_bytes.assign(bytes, bytes + count);
}

void Packet::clear()
{
    m_bytes.clear();
    m_front = 0;
}

void Packet::reserve(std::size_t bytes)
{
    m_bytes.reserve(m_front + bytes);
}

std::uint64_t Packet::readBigEndian(std::size_t width)
{
    const std::size_t present = std::min(width, size());
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint8_t byte = i < present ? m_bytes[m_front + i] : 0;
        value = (value << 8) | byte;
    }
    m_front += present;
    return value;
}

std::uint8_t Packet::readUInt8()
{
    return static_cast<std::uint8_t>(readBigEndian(1));
}

std::uint16_t Packet::readUInt16()
{
    return static_cast<std::uint16_t>(readBigEndian(2));
}

std::uint32_t Packet::readUInt32()
{
    return static_cast<std::uint32_t>(readBigEndian(4));
}

std::string Packet::readString()
{
    // The prefix must be consumed before what is left is measured; as two arguments of one
    // call their order would be unspecified.
    const std::uint16_t prefix = readUInt16();
    const std::size_t length = std::min<std::size_t>(prefix, size());
    std::string text(length, '\0');
    std::copy_n(data(), length, text.begin());
    m_front += length;
    return text;
}

void Packet::writeBigEndian(std::uint64_t value, std::size_t width)
{
    for (std::size_t i = width; i-- > 0;) {
        m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void Packet::writeUInt8(std::uint8_t value)
{
    m_bytes.push_back(value);
}

void Packet::writeUInt16(std::uint16_t value)
{
    writeBigEndian(value, 2);
}

void Packet::writeInt64(std::int64_t value)
{
    writeBigEndian(static_cast<std::uint64_t>(value), 8);
}

void Packet::writeString(std::string_view text)
{
    const std::size_t length = std::min(text.size(), MAX_STRING_BYTES);
    writeUInt16(static_cast<std::uint16_t>(length));
    m_bytes.insert(m_bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

bool operator==(const Packet& a, const Packet& b)
{
    return a.size() == b.size() && std::equal(a.data(), a.data() + a.size(), b.data());
}
