// Wide-character text to UTF-8, as the plug-in's name is converted for the host.

#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Conversion {
    const wchar_t* wide;
    std::string utf8;
};

void PrintTo(const Conversion& conversion, std::ostream* out)
{
    *out << '"' << conversion.utf8 << '"';
}

class ToUtf8Test : public ::testing::TestWithParam<Conversion> {};

TEST_P(ToUtf8Test, Converts)
{
    EXPECT_EQ(platform::toUtf8(GetParam().wide), GetParam().utf8);
}

// One case per encoded length, with each length's first and last code point.
INSTANTIATE_TEST_SUITE_P(
    Lengths, ToUtf8Test,
    ::testing::Values(Conversion{L"", ""}, Conversion{L"Kestro G19 TS3 Plugin", "Kestro G19 TS3 Plugin"},
                      Conversion{L"\u0080\u07FF", "\xC2\x80\xDF\xBF"},
                      Conversion{L"\u0800\uFFFD", "\xE0\xA0\x80\xEF\xBF\xBD"},
                      Conversion{L"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
                      Conversion{L"G\u00FCnther \u6F22 \U0001F3A7",
                                 "G\xC3\xBCnther \xE6\xBC\xA2 \xF0\x9F\x8E\xA7"}));

TEST(ToUtf8, ReplacesALoneSurrogate)
{
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(platform::toUtf8(text),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace
