#include <cstring>
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Enc(const std::string& text, const std::string& key, int* rc = nullptr) {
    CEncryptDecrypt c;
    Bytes out;
    int r = c.Encrypt(text, key, out);
    if (rc) *rc = r;
    return out;
}

TEST(CipherTest, TeaBlockMatchesPublishedVector) {
    // All-zero key and block: the reference result of the algorithm.
    CEncryptDecrypt c;
    const uint32_t zero[4] = {0, 0, 0, 0};
    c.SetKeyWords(zero);
    uint32_t L = 0, R = 0;
    c.EncipherBlock(L, R);
    EXPECT_EQ(0x41EA3A0Au, L);
    EXPECT_EQ(0x94BAA940u, R);
    c.DecipherBlock(L, R);
    EXPECT_EQ(0u, L);
    EXPECT_EQ(0u, R);
}

TEST(CipherTest, LengthsAndRoundTrip) {
    struct Case { std::string text; size_t bytes; } cases[] = {
        {"a", 8}, {"ab", 8}, {"abc", 16}, {"0123456789", 40},
        {"\xC3\xA9\xFF\x80 high bytes", 8 * 8},
        {std::string(1280, 'x'), 5120},
    };
    for (const std::string key : {CEncryptDecrypt::kSettingsFileKey, CEncryptDecrypt::kServiceKey,
                                  CEncryptDecrypt::kTunnelKey, "k"}) {
        for (const auto& c : cases) {
            int rc = 0;
            Bytes b = Enc(c.text, key, &rc);
            EXPECT_EQ(static_cast<int>(c.bytes), rc) << c.text;
            ASSERT_EQ(c.bytes, b.size());
            std::string back;
            CEncryptDecrypt d;
            EXPECT_EQ(0, d.Decrypt(b, key, back));
            EXPECT_EQ(c.text, back);
        }
    }
}

TEST(CipherTest, BlockLayoutIsTwoCharactersPerLittleEndianBlock) {
    // Character 0 goes to L, character 1 to R; each word is stored
    // little-endian, L first. An odd text is padded with a NUL.
    CEncryptDecrypt c;
    Bytes b = Enc("xyz", "key");
    ASSERT_EQ(16u, b.size());
    ASSERT_EQ(0, c.SetKey("key"));
    uint32_t L = 'x', R = 'y';
    c.EncipherBlock(L, R);
    uint32_t L2 = 'z', R2 = 0;
    c.EncipherBlock(L2, R2);
    const uint32_t words[4] = {L, R, L2, R2};
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i) EXPECT_EQ((words[w] >> (8 * i)) & 0xFF, b[4 * w + i]) << w << "/" << i;
}

TEST(CipherTest, KeyRules) {
    // Short keys are blank-padded, so "abc" and "abc" + 13 blanks agree;
    // 16 characters are used as they stand; 17 and 0 are refused.
    EXPECT_EQ(Enc("secret", "abc"), Enc("secret", "abc" + std::string(13, ' ')));
    EXPECT_NE(Enc("secret", "abc"), Enc("secret", "abd"));
    int rc = 0;
    EXPECT_FALSE(Enc("secret", std::string(16, 'q'), &rc).empty());
    EXPECT_EQ(8 * 3, rc);

    CEncryptDecrypt c;
    unsigned char buf[64] = {};
    char text[64] = {};
    EXPECT_EQ(-2, c.Encrypt("secret", "12345678901234567", buf));
    EXPECT_EQ(-2, c.Encrypt("secret", "", buf));
    EXPECT_EQ(-1, c.Encrypt("", "key", buf));
    EXPECT_EQ(-1, c.SetKey(""));
    EXPECT_EQ(-1, c.SetKey("12345678901234567"));
    EXPECT_EQ(0, c.SetKey("1234567890123456"));

    Bytes b = Enc("secret", "key");
    EXPECT_EQ(-2, c.Decrypt(b.data(), static_cast<int>(b.size()), "12345678901234567", text));
    EXPECT_EQ(-1, c.Decrypt(b.data(), 0, "key", text));
    EXPECT_EQ(-3, c.Decrypt(b.data(), 12, "key", text));
    EXPECT_EQ(-3, c.Decrypt(b.data(), -8, "key", text));
}

TEST(CipherTest, WrongKeyGivesGarbageNotAnError) {
    Bytes b = Enc("0123456789", CEncryptDecrypt::kServiceKey);
    CEncryptDecrypt c;
    std::string back;
    EXPECT_EQ(0, c.Decrypt(b, CEncryptDecrypt::kTunnelKey, back));
    EXPECT_NE("0123456789", back);
    EXPECT_LE(back.size(), 10u);
}

TEST(HexTextTest, Examples) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    char out[7] = {};
    EXPECT_EQ(6, CHexText::MakeHexString(bytes, 3, out));
    EXPECT_STREQ("00AB7F", out);

    unsigned char back[3] = {};
    EXPECT_EQ(3, CHexText::HexStringToBytes("00ab7F", back, sizeof back));
    EXPECT_EQ(0, std::memcmp(bytes, back, 3));

    EXPECT_EQ(Bytes({0x00, 0xAB, 0x7F}), CHexText::HexStringToBytes("00AB7F"));
    EXPECT_EQ("00AB7F", CHexText::MakeHexString(Bytes{0x00, 0xAB, 0x7F}));
    EXPECT_EQ("", CHexText::MakeHexString(Bytes{}));
}

TEST(HexTextTest, MalformedInputStaysInBounds) {
    // Odd trailing digit ignored, output capacity respected.
    unsigned char out[2] = {0xEE, 0xEE};
    EXPECT_EQ(1, CHexText::HexStringToBytes("1F3", out, sizeof out));
    EXPECT_EQ(0x1F, out[0]);
    EXPECT_EQ(2, CHexText::HexStringToBytes("0102030405", out, sizeof out));
    EXPECT_EQ(0, CHexText::HexStringToBytes(nullptr, out, sizeof out));
    EXPECT_EQ(Bytes({0x0F}), CHexText::HexStringToBytes("zF"));

    EXPECT_TRUE(CHexText::IsHexString("00ab7F"));
    for (const char* bad : {"", "0", "0G", "00 1", "0x12"}) EXPECT_FALSE(CHexText::IsHexString(bad)) << bad;
}

TEST(HexTextTest, CiphertextSurvivesHexRoundTrip) {
    Bytes b = Enc("<AppPath>/opt/q/</AppPath>", CEncryptDecrypt::kSettingsFileKey);
    std::string hex = CHexText::MakeHexString(b);
    EXPECT_EQ(2 * b.size(), hex.size());
    EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF"));
    EXPECT_EQ(b, CHexText::HexStringToBytes(hex));
}

} // namespace
