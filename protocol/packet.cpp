#include "protocol/packet.h"

#include <algorithm>
#include <cstring>
#include <utility>

inline constexpr std::size_t MAX_STRING_BYTES = 0xFFFF;
// A first block of this size holds every short request and short answer (commands 0, 2
// and 4), so that those requests allocate once.
inline constexpr std::size_t MIN_CAPACITY = 128;

Packet::Packet(const Packet& other)
{
    if (other.size() > 0) {
        m_storage.reset(new std::uint8_t[other.size()]);
        std::copy_n(other.data(), other.size(), m_storage.get());
        m_capacity = other.size();
        m_end = other.size();
    }
}

Packet::Packet(Packet&& other) noexcept
    : m_storage(std::move(other.m_storage)),
      m_capacity(other.m_capacity),
      m_front(other.m_front),
      m_end(other.m_end)
{
    other.m_capacity = 0;
    other.m_front = 0;
    other.m_end = 0;
}

Packet& Packet::operator=(const Packet& other)
{
    if (this != &other) {
        Packet copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Packet& Packet::operator=(Packet&& other) noexcept
{
    if (this != &other) {
        m_storage = std::move(other.m_storage);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_front = std::exchange(other.m_front, 0);
        m_end = std::exchange(other.m_end, 0);
    }
    return *this;
}

void Packet::assign(const std::uint8_t* bytes, std::int32_t count)
{
    if (count <= 0 || bytes == nullptr) {
        clear();
        return;
    }
    const auto length = static_cast<std::size_t>(count);
    if (length <= m_capacity) {
        // The bytes may lie inside this packet's own block.
        std::memmove(m_storage.get(), bytes, length);
    } else {
        std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[std::max(length, MIN_CAPACITY)]);
        std::copy_n(bytes, length, storage.get());
        m_storage = std::move(storage);
        m_capacity = std::max(length, MIN_CAPACITY);
    }
    m_front = 0;
    m_end = length;
}

void Packet::clear()
{
    m_front = 0;
    m_end = 0;
}

void Packet::reserve(std::size_t bytes)
{
    if (m_capacity - m_end < bytes) {
        reallocate(size() + bytes);
    }
}

void Packet::grow(std::size_t bytes)
{
    // Doubling keeps the number of allocations logarithmic when no reserve was made.
    reallocate(std::max({size() + bytes, 2 * m_capacity, MIN_CAPACITY}));
}

void Packet::reallocate(std::size_t capacity)
{
    std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[capacity]);
    std::copy_n(data(), size(), storage.get());
    m_end = size();
    m_front = 0;
    m_storage = std::move(storage);
    m_capacity = capacity;
}

std::uint64_t Packet::readBigEndian(std::size_t width)
{
    const std::size_t present = std::min(width, size());
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint8_t byte = i < present ? m_storage[m_front + i] : 0;
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

void Packet::writeString(std::string_view text)
{
    const std::size_t length = std::min(text.size(), MAX_STRING_BYTES);
    std::uint8_t* out = extend(2 + length);
    storeBigEndian(out, length, 2);
    if (length > 0) {
        std::memcpy(out + 2, text.data(), length);
    }
}

bool operator==(const Packet& a, const Packet& b)
{
    return a.size() == b.size() && std::equal(a.data(), a.data() + a.size(), b.data());
}
