// Generic container: known bytes, and rejection of bad lengths, types and parameter counts.
#include <gtest/gtest.h>

#include "ptp/codes.h"
#include "container.h"

using namespace ptp;

using Bytes = std::vector<uint8_t>;

TEST(Container, CommandKnownBytes) {
    Container c;
    c.type = CT_Command;
    c.code = OC_OpenSession;
    c.transactionId = 0;
    c.params = {1};
    Bytes out;
    ASSERT_TRUE(EncodeContainer(c, out));
    EXPECT_EQ(out, (Bytes{0x10, 0, 0, 0, 0x01, 0x00, 0x02, 0x10, 0, 0, 0, 0, 1, 0, 0, 0}));
    Container back;
    ASSERT_TRUE(DecodeContainer(out.data(), out.size(), back));
    EXPECT_EQ(back.type, CT_Command);
    EXPECT_EQ(back.code, OC_OpenSession);
    EXPECT_EQ(back.params, c.params);
}

TEST(Container, DataRoundTrip) {
    Container c;
    c.type = CT_Data;
    c.code = OC_GetObject;
    c.transactionId = 7;
    c.payload = {1, 2, 3};
    Bytes out;
    ASSERT_TRUE(EncodeContainer(c, out));
    ASSERT_EQ(out.size(), 15u);
    Container back;
    ASSERT_TRUE(DecodeContainer(out.data(), out.size(), back));
    EXPECT_EQ(back.payload, c.payload);
    EXPECT_EQ(back.transactionId, 7u);
}

TEST(Container, RejectsMalformed) {
    Container c;
    Bytes ok = {0x0C, 0, 0, 0, 0x03, 0, 0x01, 0x20, 5, 0, 0, 0};
    EXPECT_TRUE(DecodeContainer(ok.data(), ok.size(), c));
    Bytes lengthTooBig = ok;
    lengthTooBig[0] = 0x10;
    EXPECT_FALSE(DecodeContainer(lengthTooBig.data(), lengthTooBig.size(), c));
    Bytes lengthTooSmall = ok;
    lengthTooSmall[0] = 0x08;
    EXPECT_FALSE(DecodeContainer(lengthTooSmall.data(), lengthTooSmall.size(), c));
    Bytes badType = ok;
    badType[4] = 9;
    EXPECT_FALSE(DecodeContainer(badType.data(), badType.size(), c));
    Bytes oddParams = ok;
    oddParams.push_back(1);
    oddParams[0] = 13;
    EXPECT_FALSE(DecodeContainer(oddParams.data(), oddParams.size(), c));
    Bytes fourEventParams(12 + 16, 0);
    fourEventParams[0] = 28;
    fourEventParams[4] = CT_Event;
    EXPECT_FALSE(DecodeContainer(fourEventParams.data(), fourEventParams.size(), c));
    EXPECT_FALSE(DecodeContainer(ok.data(), 11, c));
}

TEST(Container, EncoderRefusesTooManyParams) {
    Container c;
    c.type = CT_Response;
    c.params.assign(6, 0);
    Bytes out;
    EXPECT_FALSE(EncodeContainer(c, out));
}
