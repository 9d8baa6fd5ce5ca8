#include "platform/text.h"

#include <cstdint>
#include <iostream>

namespace platform {

namespace {

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

bool isCodePoint(char32_t c)
{
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    return c <= 0x10FFFF && !surrogate;
}

void appendUtf8(std::string& out, char32_t c)
{
    auto byte = [&out](char32_t value) {
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(value)));
    };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

}  // namespace

// wchar_t holds one UTF-32 code unit on the POSIX systems this library is built for.
static_assert(sizeof(wchar_t) == 4, "a wide character is expected to hold a whole code point");

std::string toUtf8(const wchar_t* text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        const auto c = static_cast<char32_t>(static_cast<std::uint32_t>(*text));
        appendUtf8(out, isCodePoint(c) ? c : REPLACEMENT_CHARACTER);
    }
    return out;
}

std::ostream& standardOutput()
{
    return std::cout;
}

}  // namespace platform
