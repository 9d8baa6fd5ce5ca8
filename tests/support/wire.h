#pragma once
// Expected answers for the tests, written field by field with the widths the display reads:
// big-endian integers, strings with a 16-bit length in front.

#include "g19/version.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class Wire {
public:
    Wire& u8(std::uint8_t value)
    {
        m_bytes.push_back(value);
        return *this;
    }
    Wire& u16(std::uint16_t value) { return big(value, 2); }
    Wire& u32(std::uint32_t value) { return big(value, 4); }
    Wire& i64(std::int64_t value) { return big(static_cast<std::uint64_t>(value), 8); }
    Wire& str(const std::string& text)
    {
        u16(static_cast<std::uint16_t>(text.size()));
        m_bytes.insert(m_bytes.end(), text.begin(), text.end());
        return *this;
    }
    Wire& zeros(std::size_t count)
    {
        m_bytes.insert(m_bytes.end(), count, 0);
        return *this;
    }
    Wire& raw(std::initializer_list<std::uint8_t> bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    operator Bytes() const { return m_bytes; }

private:
    Wire& big(std::uint64_t value, std::size_t width)
    {
        for (std::size_t i = width; i-- > 0;) {
            m_bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
        return *this;
    }

    Bytes m_bytes;
};

// The answer to 02 when the host reads the server's name.
inline Bytes serverNameAnswer(const std::string& name)
{
    return Wire().u8(2).str(G19_VERSION).str(name);
}
