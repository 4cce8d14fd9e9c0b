#include "signalling/SdpCodecList.h"
#include "signalling/SdpOffer.h"
#include "signalling/SdpWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Write(const char* list, const char* ip = "10.0.0.5", const char* port = "37644",
                  const char* agent = "U") {
    CodecInfo table[20] = {};
    const int n = CSdpCodecList::Parse(list, table, 20);
    char out[1024];
    const int len = CSdpWriter::Write(out, sizeof(out), table, n, ip, port, agent, 123, 456);
    if (len < 0) return "error " + std::to_string(len);
    EXPECT_EQ(static_cast<size_t>(len), std::string(out).size());
    return out;
}

TEST(SdpWriterTest, OfferOfTheWholeTable) {
    EXPECT_EQ("v=0\r\n"
              "o=- 2123 3456 IN IP4 10.0.0.5\r\n"
              "s=U\r\n"
              "c=IN IP4 10.0.0.5\r\n"
              "t=0 0\r\n"
              "m=audio 37644 RTP/AVP 102 8 0\r\n"
              "a=rtpmap:102 iLBC/8000\r\n"
              "a=fmtp:102 mode=30\r\n"
              "a=rtpmap:8 PCMA/8000\r\n"
              "a=rtpmap:0 PCMU/8000\r\n"
              "a=direction:active\r\n",
              Write("102,8,0,"));
}

TEST(SdpWriterTest, WrittenOfferReadsBack) {
    CodecInfo table[20] = {};
    const int n = CSdpCodecList::Parse("0,8,97,100,101,102,103,", table, 20);
    char out[1024];
    ASSERT_GT(CSdpWriter::Write(out, sizeof(out), table, n, "127.0.0.1", "40000", "quarvoFON Version 2.6.6 RC",
                                4294967295u, 0),
              0);
    CSdpOffer offer;
    ASSERT_EQ(CSdpOffer::READ_OK, offer.Parse(out));
    EXPECT_STREQ("127.0.0.1", offer.RtpIp());
    EXPECT_STREQ("40000", offer.RtpPort());
    ASSERT_EQ(n, offer.CodecCount());
    for (int i = 0; i < n; ++i) {
        EXPECT_STREQ(table[i].name, offer.Codecs()[i].name);
        EXPECT_EQ(table[i].payload, offer.Codecs()[i].payload);
        EXPECT_EQ(table[i].mode, offer.Codecs()[i].mode);
    }
}

TEST(SdpWriterTest, LimitsNeverGiveAPartialLine) {
    // Twenty entries with long names overflow the attribute lines: whole
    // entries are dropped from the end, and payload list and rtpmap lines
    // still agree.
    CodecInfo table[20] = {};
    for (int i = 0; i < 20; ++i) {
        table[i].payload = static_cast<uint8_t>(96 + i);
        std::string name(40, static_cast<char>('A' + i));
        snprintf(table[i].name, sizeof(table[i].name), "%s", name.c_str());
        table[i].clockRate = 8000;
    }
    char out[1024];
    const int len = CSdpWriter::Write(out, sizeof(out), table, 20, "10.0.0.5", "37644", "U", 1, 2);
    ASSERT_GT(len, 0);
    ASSERT_LE(len, CSdpWriter::MAX_SDP_TEXT);
    CSdpOffer offer;
    ASSERT_EQ(CSdpOffer::READ_OK, offer.Parse(out));
    ASSERT_GT(offer.CodecCount(), 0);
    ASSERT_LT(offer.CodecCount(), 20);
    for (int i = 0; i < offer.CodecCount(); ++i) EXPECT_STREQ(table[i].name, offer.Codecs()[i].name);

    // A description that cannot fit is refused rather than cut.
    const std::string agent(254, 'x');
    const std::string ip(254, '1');
    EXPECT_EQ("error -2", Write("0,8,97,100,101,102,103,", ip.c_str(), "37644", agent.c_str()));
    char small[64];
    EXPECT_EQ(-2, CSdpWriter::Write(small, sizeof(small), table, 1, "10.0.0.5", "37644", "U", 1, 2));
    EXPECT_STREQ("", small);
    EXPECT_EQ(-1, CSdpWriter::Write(small, sizeof(small), nullptr, 1, "10.0.0.5", "37644", "U", 1, 2));
}

} // namespace
