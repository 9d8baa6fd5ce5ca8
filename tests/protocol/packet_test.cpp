// The packet codec: big-endian layouts, bounded reads of short requests, and value semantics.

#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Packet packetOf(const Bytes& bytes)
{
    Packet packet;
    packet.assign(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    return packet;
}

Bytes bytesOf(const Packet& packet)
{
    return Bytes(packet.data(), packet.data() + packet.size());
}

// One read, widened so that every read fits one table.
enum class Read { U8, U16, U32 };

std::uint64_t readOne(Packet& packet, Read read)
{
    switch (read) {
        case Read::U8:
            return packet.readUInt8();
        case Read::U16:
            return packet.readUInt16();
        case Read::U32:
            return packet.readUInt32();
    }
    return 0;
}

TEST(PacketTest, IntegerReadsAreBigEndianAndConsumeTheirWidth)
{
    struct Case {
        Read read;
        Bytes input;
        std::uint64_t value;
        Bytes rest;
    };
    const Case cases[] = {
        {Read::U8, {}, 0, {}},
        {Read::U8, {0x02, 0xAB}, 0x02, {0xAB}},
        {Read::U8, {0xFF}, 0xFF, {}},
        {Read::U16, {0x12, 0x34, 0x56}, 0x1234, {0x56}},
        {Read::U16, {0xFF, 0xFE}, 0xFFFE, {}},
        {Read::U32, {0x00, 0x00, 0x01, 0x00, 0xEE}, 256, {0xEE}},
        {Read::U32, {0x80, 0x00, 0x00, 0x2A}, 0x8000002Au, {}},
        {Read::U32, {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        Packet packet = packetOf(c.input);
        EXPECT_EQ(readOne(packet, c.read), c.value);
        EXPECT_EQ(bytesOf(packet), c.rest);
    }
}

TEST(PacketTest, ShortIntegerReadsYieldZerosForMissingBytesAndConsumeWhatIsThere)
{
    // Every truncation of a full field: the bytes present keep their places, the missing
    // low-order bytes read as zero, and the packet ends up empty.
    struct Case {
        Read read;
        std::vector<std::uint64_t> valueByLength;  // index = bytes present
    };
    const Bytes full = {0x12, 0x34, 0x56, 0x78};
    const Case cases[] = {
        {Read::U16, {0x0000, 0x1200}},
        {Read::U32, {0x00000000, 0x12000000, 0x12340000, 0x12345600}},
    };
    for (const Case& c : cases) {
        for (std::size_t length = 0; length < c.valueByLength.size(); ++length) {
            SCOPED_TRACE("bytes present: " + std::to_string(length));
            // Assigned from a longer buffer: the bytes beyond the count must not be read.
            Packet packet;
            packet.assign(full.data(), static_cast<std::int32_t>(length));
            EXPECT_EQ(readOne(packet, c.read), c.valueByLength[length]);
            EXPECT_EQ(packet.size(), 0u);
            EXPECT_EQ(packet.readUInt8(), 0u) << "an exhausted packet keeps yielding zero";
        }
    }
}

TEST(PacketTest, ReadStringTakesTheLengthPrefixAndAtMostTheBytesThatFollow)
{
    struct Case {
        const char* label;
        Bytes input;
        std::string text;
        Bytes rest;
    };
    const Case cases[] = {
        {"empty string", {0x00, 0x00, 0x41}, "", {0x41}},
        {"zero bytes kept", {0x00, 0x03, 0x61, 0x00, 0x62}, std::string("a\0b", 3), {}},
        {"rest left behind", {0x00, 0x01, 0x61, 0x62, 0x63}, "a", {0x62, 0x63}},
        {"prefix longer than the rest", {0x00, 0x05, 0x61, 0x62}, "ab", {}},
        {"large prefix, nothing behind", {0xFF, 0xFF}, "", {}},
        {"one prefix byte only", {0x01}, "", {}},
        {"empty packet", {}, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Packet packet = packetOf(c.input);
        EXPECT_EQ(packet.readString(), c.text);
        EXPECT_EQ(bytesOf(packet), c.rest);
    }
}

TEST(PacketTest, WritesAppendBigEndianFields)
{
    struct Case {
        const char* label;
        std::function<void(Packet&)> write;
        Bytes expected;
    };
    const Case cases[] = {
        {"uint8", [](Packet& p) { p.writeUInt8(0xAB); }, {0xAB}},
        {"uint16", [](Packet& p) { p.writeUInt16(300); }, {0x01, 0x2C}},
        {"int64 one", [](Packet& p) { p.writeInt64(1); }, {0, 0, 0, 0, 0, 0, 0, 1}},
        {"int64 minus one", [](Packet& p) { p.writeInt64(-1); }, Bytes(8, 0xFF)},
        {"int64 2^31", [](Packet& p) { p.writeInt64(std::int64_t{1} << 31); }, {0, 0, 0, 0, 0x80, 0, 0, 0}},
        {"int64 2^32", [](Packet& p) { p.writeInt64(std::int64_t{1} << 32); }, {0, 0, 0, 1, 0, 0, 0, 0}},
        {"int64 minimum",
         [](Packet& p) { p.writeInt64(std::numeric_limits<std::int64_t>::min()); },
         {0x80, 0, 0, 0, 0, 0, 0, 0}},
        {"empty string", [](Packet& p) { p.writeString(""); }, {0x00, 0x00}},
        {"string", [](Packet& p) { p.writeString("abc"); }, {0x00, 0x03, 0x61, 0x62, 0x63}},
        {"string with a zero byte",
         [](Packet& p) { p.writeString(std::string_view("a\0b", 3)); },
         {0x00, 0x03, 0x61, 0x00, 0x62}},
        {"fields in order",
         [](Packet& p) {
             p.writeUInt8(2);
             p.writeString("0.9.9");
             p.writeUInt16(1);
         },
         {0x02, 0x00, 0x05, 0x30, 0x2E, 0x39, 0x2E, 0x39, 0x00, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Packet packet;
        c.write(packet);
        EXPECT_EQ(bytesOf(packet), c.expected);
    }
}

TEST(PacketTest, WriteStringCutsTextsBeyond65535BytesSoThePrefixMatches)
{
    for (const std::size_t length : {std::size_t{65535}, std::size_t{65536}, std::size_t{70000}}) {
        SCOPED_TRACE(length);
        std::string text(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            text[i] = static_cast<char>(i % 251);
        }
        Packet packet;
        packet.writeString(text);
        packet.writeUInt8(0xEE);
        ASSERT_EQ(packet.size(), 2u + 65535u + 1u);
        EXPECT_EQ(packet.readString(), text.substr(0, 65535));
        EXPECT_EQ(bytesOf(packet), Bytes{0xEE});
    }
}

TEST(PacketTest, ExtendHandsOutRoomAfterTheUnreadBytesAndKeepsThemWhenTheBlockGrows)
{
    // A run of fixed fields is laid out through extend(): it follows what is there, after
    // reads moved the front, and everything survives the block growing on the way.
    for (const std::size_t run : {std::size_t{1}, std::size_t{28}, std::size_t{300}, std::size_t{5000}}) {
        SCOPED_TRACE(run);
        Packet packet = packetOf({0x01, 0x02, 0x03});
        packet.readUInt8();
        std::uint8_t* out = packet.extend(run);
        for (std::size_t i = 0; i < run; ++i) {
            out[i] = static_cast<std::uint8_t>(i % 251);
        }
        storeBigEndian(packet.extend(8), 0x0102030405060708u, 8);
        packet.writeUInt8(0xEE);

        Bytes expected = {0x02, 0x03};
        for (std::size_t i = 0; i < run; ++i) {
            expected.push_back(static_cast<std::uint8_t>(i % 251));
        }
        expected.insert(expected.end(), {1, 2, 3, 4, 5, 6, 7, 8, 0xEE});
        EXPECT_EQ(bytesOf(packet), expected);
    }
}

TEST(PacketTest, AssignReplacesTheContent)
{
    const Bytes source = {0x01, 0x02, 0x03, 0x04, 0x05};
    for (const std::int32_t count : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE(count);
        Packet packet = packetOf({0xAA, 0xBB});
        packet.assign(source.data(), count);
        EXPECT_EQ(packet.size(), 0u);
        EXPECT_EQ(packet.readUInt8(), 0u);
    }

    Packet packet = packetOf({0xAA, 0xBB, 0xCC});
    packet.readUInt16();
    packet.assign(source.data(), 3);
    EXPECT_EQ(bytesOf(packet), (Bytes{0x01, 0x02, 0x03})) << "earlier reads do not carry over";
}

TEST(PacketTest, WritesAfterReadsFollowTheUnreadBytesAndClearEmpties)
{
    Packet packet = packetOf({0x04, 0xAA, 0xBB});
    packet.readUInt8();
    packet.writeUInt8(0xCC);
    EXPECT_EQ(bytesOf(packet), (Bytes{0xAA, 0xBB, 0xCC}));

    packet.clear();
    EXPECT_EQ(packet.size(), 0u);
    packet.writeUInt16(0x0102);
    EXPECT_EQ(bytesOf(packet), (Bytes{0x01, 0x02}));
}

TEST(PacketTest, CopiesAreIndependentValues)
{
    Packet original = packetOf({0x01, 0x02, 0x03});
    original.readUInt8();

    Packet copy = original;
    EXPECT_EQ(copy, original);
    copy.writeUInt8(0x04);
    EXPECT_EQ(copy.readUInt16(), 0x0203u);
    EXPECT_EQ(bytesOf(copy), Bytes{0x04});
    EXPECT_EQ(bytesOf(original), (Bytes{0x02, 0x03})) << "writing to and reading the copy left it alone";
    EXPECT_FALSE(copy == original);

    // Equality looks at the unread bytes only, not at how they came to be there.
    EXPECT_EQ(original, packetOf({0x02, 0x03}));
}

}  // namespace
