// The reader of the document's examples: what it takes, and what it refuses rather than
// skip, since a skipped example would go unchecked.

#include "wire_examples.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using docs::Bytes;
using docs::parseDocument;

std::string errorsOf(const std::string& markdown)
{
    std::string all;
    for (const std::string& error : parseDocument(markdown).errors) {
        all += error + "\n";
    }
    return all;
}

TEST(WireExamples, ReadsRequestsAnswersCommentsAndFailures)
{
    const docs::Document document = parseDocument(
        "Text\n"
        "```wire\n"
        "# Server name, when it fails\n"
        "! failures [{\"fn\": \"getServerVariableAsString\"}]\n"
        "> 02 aa   # the command\n"
        ">          # nothing more\n"
        "< 02 00 05 # tag, length\n"
        "< 30 2E    # two bytes of five\n"
        "\n"
        "> 04 02\n"
        "<          # nothing comes back\n"
        "```\n");
    ASSERT_TRUE(document.errors.empty()) << document.errors.front();
    ASSERT_EQ(document.examples.size(), 1u);
    const docs::Example& example = document.examples[0];
    EXPECT_EQ(example.line, 2);
    EXPECT_EQ(example.name, "server_name_when_it_fails");
    EXPECT_EQ(example.failuresJson, "[{\"fn\": \"getServerVariableAsString\"}]");
    ASSERT_EQ(example.exchanges.size(), 2u);
    EXPECT_EQ(example.exchanges[0].line, 5);
    EXPECT_EQ(example.exchanges[0].request, (Bytes{0x02, 0xAA}));
    EXPECT_EQ(example.exchanges[0].answer, (Bytes{0x02, 0x00, 0x05, 0x30, 0x2E}));
    EXPECT_EQ(example.exchanges[1].request, (Bytes{0x04, 0x02}));
    EXPECT_TRUE(example.exchanges[1].answered);
    EXPECT_TRUE(example.exchanges[1].answer.empty());
}

TEST(WireExamples, NamesRepeatedOrMissingTitlesByLine)
{
    const docs::Document document = parseDocument(
        "```wire\n# Same\n> 02\n<\n```\n"
        "```wire\n# Same\n> 03\n<\n```\n"
        "```wire\n> 05\n<\n```\n");
    ASSERT_EQ(document.examples.size(), 3u);
    EXPECT_EQ(document.examples[0].name, "same");
    EXPECT_EQ(document.examples[1].name, "same_at_line_6");
    EXPECT_EQ(document.examples[2].name, "at_line_11");
}

TEST(WireExamples, ReadsEncodings)
{
    const docs::Document document = parseDocument(
        "```encoding\n"
        "u16 300 = 01 2C        # comment\n"
        "i64 -1 = FF FF FF FF FF FF FF FF\n"
        "string \"a b\" = 00 03 61 20 62\n"
        "```\n");
    ASSERT_TRUE(document.errors.empty()) << document.errors.front();
    ASSERT_EQ(document.encodings.size(), 3u);
    EXPECT_EQ(document.encodings[0].type, "u16");
    EXPECT_EQ(document.encodings[0].value, "300");
    EXPECT_EQ(document.encodings[0].bytes, (Bytes{0x01, 0x2C}));
    EXPECT_EQ(document.encodings[1].value, "-1");
    EXPECT_EQ(document.encodings[2].value, "a b");
    EXPECT_EQ(document.encodings[2].line, 4);
}

TEST(WireExamples, RefusesMalformedBlocks)
{
    EXPECT_NE(errorsOf("```wire\n> 02\n```\n").find("line 3: the last request has no answer"),
              std::string::npos);
    EXPECT_NE(errorsOf("```wire\n< 02\n```\n").find("line 2: an answer before any request"),
              std::string::npos);
    EXPECT_NE(errorsOf("```wire\n# only a title\n```\n").find("line 1: a wire block without a request"),
              std::string::npos);
    EXPECT_NE(errorsOf("```wire\n> 2\n<\n```\n").find("line 2: bytes are two hex"), std::string::npos);
    EXPECT_NE(errorsOf("```wire\n> 0x02\n<\n```\n").find("line 2: bytes are two hex"), std::string::npos);
    EXPECT_NE(errorsOf("```wire\n02\n```\n").find("line 2: expected"), std::string::npos);
    EXPECT_NE(errorsOf("```wire\n> 02\n! failures []\n<\n```\n").find("line 3: failures come once"),
              std::string::npos);
    EXPECT_NE(errorsOf("```wire\n> 02\n<\n").find("line 1: the block is never closed"), std::string::npos);
    EXPECT_NE(errorsOf("```encoding\nu16 = 01 2C\n```\n").find("line 2: expected TYPE VALUE"),
              std::string::npos);
    EXPECT_NE(errorsOf("```encoding\nu16 x = 01 2C\n```\n").find("line 2: expected TYPE VALUE"),
              std::string::npos);
    EXPECT_NE(errorsOf("```encoding\nu16 -1 = FF FF\n```\n").find("line 2: expected TYPE VALUE"),
              std::string::npos);
    EXPECT_NE(errorsOf("```encoding\nint 1 = 01\n```\n").find("line 2: unknown type int"), std::string::npos);
    EXPECT_NE(errorsOf("```encoding\nstring abc = 00 03 61 62 63\n```\n").find("double quotes"),
              std::string::npos);
}

// Examples the test would never replay must not hide in the document.
TEST(WireExamples, RefusesHexOutsideTheCheckedBlocks)
{
    EXPECT_NE(errorsOf("The answer is `02 00 05`.\n").find("line 1: hex bytes in inline code"),
              std::string::npos);
    EXPECT_NE(errorsOf("```\n< 02 00 05 30\n```\n").find("line 2: hex bytes outside"), std::string::npos);
    EXPECT_NE(errorsOf("```text\n02 00 05 30 # x\n```\n").find("line 2: hex bytes outside"),
              std::string::npos);
    // Single values and commands are not examples.
    EXPECT_EQ(errorsOf("The byte `01`, the request `04 02`, `g19-probe raw 04 02 00`.\n"), "");
    EXPECT_EQ(errorsOf("```sh\ng19-probe raw 04 0b 00 07 00 00 00 2a\n```\n"), "");
}

}  // namespace
