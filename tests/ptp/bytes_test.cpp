// ByteReader/ByteWriter: little-endian fields, bounds, PTP strings and arrays.
#include <gtest/gtest.h>

#include "ptp/bytes.h"
#include "ptp/text.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;

TEST(Bytes, WritesLittleEndian) {
    Bytes out;
    ByteWriter w(out);
    w.U8(0x01);
    w.U16(0x0302);
    w.U32(0x07060504);
    w.U64(0x0F0E0D0C0B0A0908ull);
    EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
}

TEST(Bytes, ReadsAtOddOffsetsAndStopsAtTheEnd) {
    Bytes in = {0xAA, 0x01, 0x00, 0x00, 0x80, 0x02};
    ByteReader r(in);
    uint8_t b;
    uint32_t v;
    uint16_t w;
    ASSERT_TRUE(r.U8(b) && r.U32(v));
    EXPECT_EQ(v, 0x80000001u);
    EXPECT_FALSE(r.U16(w)) << "only one byte is left";
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.U8(b)) << "a failed reader stays failed";
}

TEST(Bytes, StringKnownBytes) {
    Bytes out;
    ByteWriter w(out);
    ASSERT_TRUE(w.String("AB"));
    EXPECT_EQ(out, (Bytes{0x03, 0x41, 0x00, 0x42, 0x00, 0x00, 0x00}));
    out.clear();
    ASSERT_TRUE(w.String(""));
    EXPECT_EQ(out, (Bytes{0x00})) << "the empty string is a lone zero count";
}

TEST(Bytes, StringRoundTripsNonAscii) {
    Bytes out;
    ByteWriter w(out);
    std::string text = "Kam\xC3\xA9ra \xE2\x82\xAC";
    ASSERT_TRUE(w.String(text));
    std::string back;
    ByteReader r(out);
    ASSERT_TRUE(r.String(back));
    EXPECT_EQ(back, text);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(Bytes, StringLimits) {
    Bytes out;
    ByteWriter w(out);
    EXPECT_TRUE(w.String(std::string(254, 'x')));
    EXPECT_EQ(out[0], 255);
    EXPECT_FALSE(w.String(std::string(255, 'x'))) << "255 characters + NUL exceed the count byte";
    EXPECT_FALSE(ByteWriter(out).String("\xF0\x9F\x98\x80")) << "outside the BMP";
    EXPECT_FALSE(ByteWriter(out).String("\xC0\xAF")) << "overlong UTF-8";
    EXPECT_FALSE(ByteWriter(out).String("\xE2\x82")) << "truncated UTF-8";
}

TEST(Bytes, StringDecodingIsBounded) {
    std::string s;
    Bytes shortString = {0x03, 0x41, 0x00, 0x42};
    EXPECT_FALSE(ByteReader(shortString).String(s)) << "count says 3 units, 1.5 arrive";
    Bytes noTerminator = {0x02, 0x41, 0x00, 0x42, 0x00};
    ASSERT_TRUE(ByteReader(noTerminator).String(s));
    EXPECT_EQ(s, "AB") << "a missing terminator is tolerated";
    Bytes earlyNul = {0x03, 0x41, 0x00, 0x00, 0x00, 0x42, 0x00};
    ASSERT_TRUE(ByteReader(earlyNul).String(s));
    EXPECT_EQ(s, "A");
    Bytes loneSurrogate = {0x02, 0x00, 0xD8, 0x00, 0x00};
    ASSERT_TRUE(ByteReader(loneSurrogate).String(s));
    EXPECT_EQ(s, "\xEF\xBF\xBD") << "replacement character";
}

TEST(Bytes, ArrayCountsAreCheckedBeforeAllocating) {
    Bytes huge = {0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00};
    std::vector<uint16_t> values16;
    std::vector<uint32_t> values32;
    EXPECT_FALSE(ByteReader(huge).U16Array(values16));
    EXPECT_FALSE(ByteReader(huge).U32Array(values32));
    EXPECT_TRUE(values16.empty());
    Bytes two = {0x02, 0x00, 0x00, 0x00, 0x01, 0x10, 0x02, 0x10};
    ASSERT_TRUE(ByteReader(two).U16Array(values16));
    EXPECT_EQ(values16, (std::vector<uint16_t>{0x1001, 0x1002}));
    EXPECT_FALSE(ByteReader(two).U32Array(values32)) << "two u32 need 8 bytes, 4 are left";
}

TEST(Text, VersionsTrimAndLower) {
    uint32_t v = 0;
    EXPECT_TRUE(ParseVersion("1.0.1.2", v));
    EXPECT_EQ(v, 0x01000102u);
    EXPECT_TRUE(ParseVersion("3", v));
    EXPECT_EQ(v, 0x03000000u);
    EXPECT_TRUE(ParseVersion("010.255", v));
    EXPECT_EQ(v, 0x0AFF0000u) << "decimal parts";
    for (const char* bad : {"1.2.3.4.5", "1..2", "", "1.256", "1.", "V1.2", "1.2 "})
        EXPECT_FALSE(ParseVersion(bad, v)) << bad;
    const struct {
        const char* shown;
        uint32_t value;
    } displayed[] = {
        {"3-1.2.0", 0x01020000},
        {"V1.10", 0x010A0000},
        {"", 0},
        {"1.300.2", 0x01FF0200},
        {"1.2.3.4.5", 0x01020304},
        {"build 7", 0x07000000},
        {"v. 2.", 0x02000000},
        {"beta", 0},
    };
    for (const auto& row : displayed)
        EXPECT_EQ(ReadDisplayedVersion(row.shown), row.value) << row.shown;
    EXPECT_EQ(Trim(" \t key = v \r\n"), "key = v");
    EXPECT_EQ(Lower("Tarvo X1 \xC4"), "tarvo x1 \xC4");
}
