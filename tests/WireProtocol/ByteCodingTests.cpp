// test-labels: wire
#include "WireProtocol/ByteReader.hpp"
#include "WireProtocol/ByteWriter.hpp"
#include "WireProtocol/Bytes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>

using namespace quillon::wire;

namespace {

TEST(ByteReader, EveryWidthOnAnEmptyReaderIsAbsent) {
    ByteReader r{ByteView{}};
    EXPECT_FALSE(r.readUInt8());
    EXPECT_FALSE(r.readUInt16());
    EXPECT_FALSE(r.readUInt32());
    EXPECT_FALSE(r.readUInt64());
    EXPECT_FALSE(r.readFloat32());
    EXPECT_FALSE(r.readBytes());
    EXPECT_FALSE(r.readString());
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.cursor(), 0u);
}

// A short read of any width leaves the cursor alone, so the bytes are still there for a
// narrower read.
TEST(ByteReader, ShortReadsLeaveTheCursor) {
    struct Case {
        const char* name;
        std::size_t available;
        std::optional<bool> (*read)(ByteReader&);
    };
    const Case cases[] = {
        {"u16", 1, [](ByteReader& r) -> std::optional<bool> { return r.readUInt16().has_value(); }},
        {"u32", 3, [](ByteReader& r) -> std::optional<bool> { return r.readUInt32().has_value(); }},
        {"u64", 7, [](ByteReader& r) -> std::optional<bool> { return r.readUInt64().has_value(); }},
        {"f32", 3,
         [](ByteReader& r) -> std::optional<bool> { return r.readFloat32().has_value(); }},
    };
    const Bytes data = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader r(ByteView(data).first(c.available));
        EXPECT_EQ(c.read(r), false);
        EXPECT_EQ(r.remaining(), c.available);
        EXPECT_EQ(r.readUInt8(), 0xA1);
    }
}

TEST(ByteReader, IntegersAreLittleEndianAndUnaligned) {
    const Bytes data = {0xFF, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x08, 0x07, 0x06,
                        0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3F};
    ByteReader r(data);
    EXPECT_EQ(r.readUInt8(), 0xFF);
    EXPECT_EQ(r.readUInt16(), 0x1234);
    EXPECT_EQ(r.readUInt32(), 0x12345678u);
    EXPECT_EQ(r.readUInt64(), 0x0102030405060708ull);
    EXPECT_EQ(r.readFloat32(), 1.0f);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, LengthPrefixedReads) {
    struct Case {
        const char* name;
        Bytes data;
        std::optional<std::string> text; // expected readString() result
        std::size_t cursorAfter;
    };
    const Case cases[] = {
        {"one letter", {0x01, 0, 0, 0, 0x41}, "A", 5},
        {"empty", {0, 0, 0, 0, 0x41}, "", 4},
        // Too short after the length: back before the prefix.
        {"length beyond the data", {0x05, 0, 0, 0, 0x41, 0x42}, std::nullopt, 0},
        {"prefix cut short", {0x01, 0, 0}, std::nullopt, 0},
        {"length 2^32-1", {0xFF, 0xFF, 0xFF, 0xFF, 0x41}, std::nullopt, 0},
        // Invalid UTF-8: absent, but the bytes count as consumed.
        {"invalid UTF-8", {0x02, 0, 0, 0, 0xC3, 0x28}, std::nullopt, 6},
        {"embedded NUL kept", {0x03, 0, 0, 0, 0x41, 0x00, 0x42}, std::string("A\0B", 3), 7},
        {"Chinese", {0x06, 0, 0, 0, 0xE9, 0x85, 0x8D, 0xE5, 0xAF, 0xB9}, "配对", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader r(c.data);
        EXPECT_EQ(r.readString(), c.text);
        EXPECT_EQ(r.cursor(), c.cursorAfter);
        ByteReader viewReader(c.data); // the copy-free variant behaves the same
        const auto view = viewReader.readStringView();
        EXPECT_EQ(view ? std::optional<std::string>(*view) : std::nullopt, c.text);
        EXPECT_EQ(viewReader.cursor(), c.cursorAfter);
    }
}

TEST(ByteReader, ReadBytesIsAnIndependentCopy) {
    Bytes data = {0x02, 0, 0, 0, 0xC3, 0x28, 0x99};
    ByteReader r(data);
    const auto bytes = r.readBytes(); // not UTF-8, but bytes do not care
    data[4] = 0;
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (Bytes{0xC3, 0x28}));
    EXPECT_EQ(r.remaining(), 1u);
}

TEST(ByteReader, StrictUTF8) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool valid;
    };
    const Case cases[] = {
        {"ASCII", {0x41, 0x7F}, true},
        {"two-byte", {0xC2, 0x80}, true},
        {"three-byte", {0xE2, 0x82, 0xAC}, true},
        {"four-byte max", {0xF4, 0x8F, 0xBF, 0xBF}, true},
        {"byte-order mark is a character", {0xEF, 0xBB, 0xBF}, true},
        {"lone continuation", {0x80}, false},
        {"overlong two-byte C0", {0xC0, 0x80}, false},
        {"overlong two-byte C1", {0xC1, 0xBF}, false},
        {"overlong three-byte", {0xE0, 0x80, 0xAF}, false},
        {"overlong four-byte", {0xF0, 0x8F, 0xBF, 0xBF}, false},
        {"surrogate D800", {0xED, 0xA0, 0x80}, false},
        {"surrogate DFFF", {0xED, 0xBF, 0xBF}, false},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false},
        {"F5 lead", {0xF5, 0x80, 0x80, 0x80}, false},
        {"FF", {0xFF}, false},
        {"truncated three-byte", {0xE2, 0x82}, false},
        {"bad continuation", {0xE2, 0x28, 0xAC}, false},
    };
    // Each case also behind and before runs of ASCII, so no position is skipped unchecked.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t pad : {0, 1, 7, 8, 9, 23}) {
            Bytes padded(pad, 'x');
            padded.insert(padded.end(), c.bytes.begin(), c.bytes.end());
            padded.insert(padded.end(), pad, 'y');
            EXPECT_EQ(isValidUTF8(padded), c.valid) << "padding " << pad;
        }
        ByteWriter w;
        w.writeBytes(c.bytes);
        ByteReader r(w.data());
        EXPECT_EQ(r.readString().has_value(), c.valid);
    }
}

TEST(ByteWriter, Layouts) {
    struct Case {
        const char* name;
        void (*write)(ByteWriter&);
        Bytes expected;
    };
    const Case cases[] = {
        {"u8", [](ByteWriter& w) { w.writeUInt8(0xAB); }, {0xAB}},
        {"u16", [](ByteWriter& w) { w.writeUInt16(0x1234); }, {0x34, 0x12}},
        {"u32", [](ByteWriter& w) { w.writeUInt32(1); }, {0x01, 0, 0, 0}},
        {"u64",
         [](ByteWriter& w) { w.writeUInt64(0x0102030405060708ull); },
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"f32 1.0", [](ByteWriter& w) { w.writeFloat32(1.0f); }, {0x00, 0x00, 0x80, 0x3F}},
        {"f32 -0.0", [](ByteWriter& w) { w.writeFloat32(-0.0f); }, {0x00, 0x00, 0x00, 0x80}},
        {"empty string", [](ByteWriter& w) { w.writeString(""); }, {0, 0, 0, 0}},
        {"string", [](ByteWriter& w) { w.writeString("AB"); }, {2, 0, 0, 0, 0x41, 0x42}},
        {"bytes", [](ByteWriter& w) { w.writeBytes(Bytes{0xC3}); }, {1, 0, 0, 0, 0xC3}},
        {"fields back to back",
         [](ByteWriter& w) {
             w.writeUInt8(1);
             w.writeUInt16(2);
             w.writeString("");
         },
         {1, 2, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteWriter w;
        c.write(w);
        EXPECT_EQ(w.data(), c.expected);
    }
}

TEST(ByteWriter, EveryWriteReadsBackUnchanged) {
    const std::uint32_t floatBits[] = {
        0x00000000, 0x80000000, 0x3F800000, 0x7F800000, 0xFF800000, // 0, -0, 1, +inf, -inf
        0x00000001,                                                 // smallest subnormal
        0x7FC00000, 0x7FC12345, 0xFFC00001,                         // quiet NaNs with payloads
        0x7F800001, 0x7FA00000,                                     // signalling NaNs
    };
    ByteWriter w;
    w.writeUInt8(0);
    w.writeUInt8(0xFF);
    w.writeUInt16(0xFFFF);
    w.writeUInt32(0xFFFFFFFF);
    w.writeUInt64(std::numeric_limits<std::uint64_t>::max());
    for (auto bits : floatBits) {
        w.writeFloat32(std::bit_cast<float>(bits));
    }
    const Bytes blob = {0x00, 0xFF, 0x80};
    w.writeBytes(blob);
    w.writeBytes(Bytes{});
    w.writeString("héllo 配对");

    ByteReader r(w.data());
    EXPECT_EQ(r.readUInt8(), 0);
    EXPECT_EQ(r.readUInt8(), 0xFF);
    EXPECT_EQ(r.readUInt16(), 0xFFFF);
    EXPECT_EQ(r.readUInt32(), 0xFFFFFFFFu);
    EXPECT_EQ(r.readUInt64(), std::numeric_limits<std::uint64_t>::max());
    for (auto bits : floatBits) {
        const auto f = r.readFloat32();
        ASSERT_TRUE(f);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(*f), bits);
    }
    EXPECT_EQ(r.readBytes(), blob);
    EXPECT_EQ(r.readBytes(), Bytes{});
    EXPECT_EQ(r.readString(), "héllo 配对");
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(Base64, StandardAlphabetWithPadding) {
    struct Case {
        Bytes bytes;
        const char* text;
    };
    const Case cases[] = {
        {{}, ""},
        {{'f'}, "Zg=="},
        {{'f', 'o'}, "Zm8="},
        {{'f', 'o', 'o'}, "Zm9v"},
        {{0xFB, 0xFF, 0xBF}, "+/+/"},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, "AAECAwQFBgcICQoLDA0ODw=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(base64Encode(c.bytes), c.text);
        Bytes back;
        EXPECT_TRUE(base64Decode(c.text, back));
        EXPECT_EQ(back, c.bytes);
    }
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zg==Zg==", "Zm9-", "Zm 9", "=Zg=", "Zg=a"}) {
        SCOPED_TRACE(bad);
        Bytes out;
        EXPECT_FALSE(base64Decode(bad, out));
    }
}

} // namespace
