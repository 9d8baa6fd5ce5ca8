// The archives a report travels in: what one build writes, every build reads back whole, and
// a damaged or cut-short archive is refused rather than read as something else. That other
// programs open them, and that this one opens theirs, the report and replay tests check with
// Python's own modules.

#include "archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using archive::Entry;
using archive::Format;

const archive::Stamp STAMP{1765250000, 2026, 12, 9, 3, 4, 6};

std::vector<Entry> sample()
{
    std::string binary;
    for (int i = 0; i < 256; ++i) {
        binary += static_cast<char>(i);
    }
    // Past one chunk of the unpacking, and not all alike.
    std::string large;
    for (int i = 0; large.size() < 200 * 1024; ++i) {
        large += "{\"t_ms\":" + std::to_string(i * 7) + ",\"in\":{\"type\":\"talkStatusChanged\"}}\n";
    }
    return {{"report/README.txt", "what this is\n"},
            {"report/empty", ""},
            {"report/bytes", binary},
            {"report/messages.trace", large},
            // A report named at length: tar holds the folder apart from the name.
            {std::string(120, 'r') + "/state.log", "a line\n"}};
}

class ArchiveFormats : public testing::TestWithParam<Format> {};

TEST_P(ArchiveFormats, ReadBackWhole)
{
    const std::vector<Entry> entries = sample();
    std::string error;
    const auto read = archive::read(archive::write(GetParam(), entries, STAMP), error);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(read->size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ((*read)[i].name, entries[i].name);
        EXPECT_EQ((*read)[i].contents, entries[i].contents) << entries[i].name;
    }
}

TEST_P(ArchiveFormats, RefuseWhatIsCutShort)
{
    const std::string bytes = archive::write(GetParam(), sample(), STAMP);
    for (const std::size_t length : {std::size_t{0}, std::size_t{3}, bytes.size() / 3, bytes.size() / 2,
                                     bytes.size() - 30, bytes.size() - 1}) {
        std::string error;
        EXPECT_FALSE(archive::read(bytes.substr(0, length), error)) << length << " of " << bytes.size();
        EXPECT_FALSE(error.empty());
    }
}

TEST_P(ArchiveFormats, RefuseMoreThanTheLimit)
{
    std::string error;
    EXPECT_FALSE(archive::read(archive::write(GetParam(), sample(), STAMP), error, 64 * 1024));
    EXPECT_NE(error.find("more than"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Both, ArchiveFormats, testing::Values(Format::TAR_GZ, Format::ZIP),
                         [](const testing::TestParamInfo<Format>& info) {
                             return info.param == Format::ZIP ? std::string("Zip") : std::string("TarGz");
                         });

// A checksum that no longer matches the contents: the stored one changed, so the data
// unpacks cleanly and only the check can tell.
TEST(Archive, RefusesAChecksumThatDoesNotMatch)
{
    const std::vector<Entry> entries = {{"r/a.txt", "contents"}};
    std::string gzip = archive::write(Format::TAR_GZ, entries, STAMP);
    gzip[gzip.size() - 8] = static_cast<char>(gzip[gzip.size() - 8] ^ 1);  // the CRC-32 before the size
    std::string zip = archive::write(Format::ZIP, entries, STAMP);
    // The central directory's copy of the CRC-32, which the reader goes by.
    const std::size_t central = zip.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    zip[central + 16] = static_cast<char>(zip[central + 16] ^ 1);
    for (const std::string& damaged : {gzip, zip}) {
        std::string error;
        EXPECT_FALSE(archive::read(damaged, error));
        EXPECT_NE(error.find("checksum"), std::string::npos) << error;
    }
}

TEST(Archive, TellsTheFormatsByTheirFirstBytes)
{
    for (const Format format : {Format::TAR_GZ, Format::ZIP}) {
        EXPECT_TRUE(archive::looksLikeArchive(archive::write(format, sample(), STAMP)));
    }
    EXPECT_FALSE(archive::looksLikeArchive(R"({"trace":1,"program":"g19-bridge"})"));
    std::string error;
    EXPECT_FALSE(archive::read("PK but nothing more", error));
}

}  // namespace
