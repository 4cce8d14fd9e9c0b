#include "voiceengine/G711.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(G711Test, KnownCodesAndRoundTripError) {
    // Reference points of the companding laws.
    EXPECT_EQ(0xFF, g711::LinearToUlaw(0));
    EXPECT_EQ(0x80, g711::LinearToUlaw(32767));
    EXPECT_EQ(0x00, g711::LinearToUlaw(-32768));
    EXPECT_EQ(0, g711::UlawToLinear(0xFF));
    EXPECT_EQ(32124, g711::UlawToLinear(0x80));
    EXPECT_EQ(0xD5, g711::LinearToAlaw(0));
    EXPECT_EQ(0xAA, g711::LinearToAlaw(32767));
    EXPECT_EQ(0x2A, g711::LinearToAlaw(-32768));
    EXPECT_EQ(8, g711::AlawToLinear(0xD5));
    EXPECT_EQ(32256, g711::AlawToLinear(0xAA));

    for (int v = -32768; v <= 32767; v += 7) {
        const int16_t s = static_cast<int16_t>(v);
        const int du = std::abs(g711::UlawToLinear(g711::LinearToUlaw(s)) - v);
        const int da = std::abs(g711::AlawToLinear(g711::LinearToAlaw(s)) - v);
        // Quantisation step grows with the segment: about 1/16 of the value.
        const int bound = std::abs(v) / 16 + 40;
        ASSERT_LE(du, bound) << v;
        ASSERT_LE(da, bound) << v;
    }
    // Every code decodes to a value that encodes back to the same code
    // (except the two zero codes of mu-law).
    for (int c = 0; c < 256; ++c) {
        if (c != 0x7F) {
            EXPECT_EQ(c, g711::LinearToUlaw(g711::UlawToLinear(static_cast<uint8_t>(c)))) << c;
        }
        EXPECT_EQ(c, g711::LinearToAlaw(g711::AlawToLinear(static_cast<uint8_t>(c)))) << c;
    }
}

} // namespace
