#include "signalling/SdpCodecList.h"
#include "signalling/SdpOffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

const char kHead[] = "v=0\r\no=peer 1 1 IN IP4 192.0.2.7\r\ns=-\r\n";

// A description with a session-level connection line and the given media
// section (lines separated by \n, written with CR LF).
std::string Sdp(const std::string& media, const char* connection = "c=IN IP4 192.0.2.7\n") {
    std::string text = kHead;
    std::string rest = std::string(connection) + "t=0 0\n" + media;
    for (char c : rest) {
        if (c == '\n') text += "\r\n";
        else text += c;
    }
    return text;
}

struct Local {
    CodecInfo table[20] = {};
    int count = 0;
    explicit Local(const char* list) { count = CSdpCodecList::Parse(list, table, 20); }
};

TEST(SdpOfferTest, CodecChoiceFollowsThePeersOrder) {
    struct Case {
        const char* what;
        std::string media;
        const char* localList;
        int localIndex;   // -1: no codec in common
        int payload;      // remote entry chosen
        const char* name;
        int mode;
    } cases[] = {
        {"PCMU first in the offer beats our preferred iLBC",
         "m=audio 4000 RTP/AVP 0 8 97\na=rtpmap:97 iLBC/8000\na=fmtp:97 mode=30\n", "102,8,0,", 2, 0, "PCMU", 0},
        {"iLBC without fmtp is mode 30",
         "m=audio 4000 RTP/AVP 97 0\na=rtpmap:97 iLBC/8000\n", "102,8,0,", 0, 97, "iLBC", 30},
        {"iLBC mode 20 only does not match our mode 30",
         "m=audio 4000 RTP/AVP 97\na=rtpmap:97 iLBC/8000\na=fmtp:97 mode=20\n", "102,8,0,", -1, 0, "", 0},
        {"iLBC mode 20 passed over for PCMA",
         "m=audio 4000 RTP/AVP 97 8\na=rtpmap:97 iLBC/8000\na=fmtp:97 mode=20\n", "102,8,0,", 1, 8, "PCMA", 0},
        {"names compare ignoring case",
         "m=audio 4000 RTP/AVP 96\na=rtpmap:96 pcma/8000\n", "0,8,", 1, 96, "pcma", 0},
        {"static GSM is named but we do not carry it",
         "m=audio 4000 RTP/AVP 3 18\n", "0,8,", -1, 0, "", 0},
        {"an rtpmap renames a static number",
         "m=audio 4000 RTP/AVP 0\na=rtpmap:0 PCMA/8000\n", "0,8,", 1, 0, "PCMA", 0},
        {"unnamed dynamic payloads never match our unnamed entries",
         "m=audio 4000 RTP/AVP 99\n", "99,", -1, 0, "", 0},
        {"junk payload tokens are not PCMU",
         "m=audio 4000 RTP/AVP abc 300 8\n", "0,8,", 1, 8, "PCMA", 0},
        {"invalid rtpmap lines are skipped, the rest is used",
         "m=audio 4000 RTP/AVP 96 97 98 99 8\na=rtpmap:96PCMU/8000\na=rtpmap:97 PCMU\na=rtpmap:x9 PCMU/8000\n"
         "a=rtpmap:98 /8000\na=rtpmap:99/1 PCMU/8000\na=rtpmap\na=rtpmap:55 PCMU/8000\n",
         "0,8,", 1, 8, "PCMA", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Local local(c.localList);
        CSdpOffer offer;
        ASSERT_EQ(CSdpOffer::READ_OK, offer.Parse(Sdp(c.media).c_str()));
        int remoteIndex = -1;
        const int index = CSdpOffer::MatchCodec(offer.Codecs(), offer.CodecCount(), local.table, local.count,
                                                &remoteIndex);
        EXPECT_EQ(c.localIndex, index);
        if (index < 0) continue;
        ASSERT_GE(remoteIndex, 0);
        const CodecInfo& chosen = offer.Codecs()[remoteIndex];
        EXPECT_EQ(c.payload, chosen.payload);
        EXPECT_STREQ(c.name, chosen.name);
        EXPECT_EQ(c.mode, chosen.mode);
    }
}

TEST(SdpOfferTest, MediaAddressPortAndAttributes) {
    CSdpOffer offer;
    ASSERT_EQ(CSdpOffer::READ_OK,
              offer.Parse(Sdp("m=video 5000 RTP/AVP 31\nm=audio 4000 RTP/AVP 97 101\na=rtpmap:97 iLBC/8000/1\n"
                              "a=fmtp:97 mode=20\na=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\n"
                              "a=ptime:20\na=sendrecv\n")
                              .c_str()));
    EXPECT_STREQ("192.0.2.7", offer.RtpIp());
    EXPECT_STREQ("4000", offer.RtpPort());
    EXPECT_EQ(20, offer.Ptime());
    ASSERT_EQ(2, offer.CodecCount());
    EXPECT_STREQ("iLBC", offer.Codecs()[0].name);
    EXPECT_EQ(8000, offer.Codecs()[0].clockRate);
    EXPECT_EQ(20, offer.Codecs()[0].mode);
    EXPECT_STREQ("telephone-event", offer.Codecs()[1].name);
    EXPECT_STREQ("0-15", offer.Codecs()[1].params);

    // A connection line of the audio media wins over the session's, and
    // one of its own is enough.
    ASSERT_EQ(CSdpOffer::READ_OK,
              offer.Parse(Sdp("m=audio 4000 RTP/AVP 0\nc=IN IP4 198.51.100.1\n").c_str()));
    EXPECT_STREQ("198.51.100.1", offer.RtpIp());
    ASSERT_EQ(CSdpOffer::READ_OK,
              offer.Parse(Sdp("m=audio 4000 RTP/AVP 0\nc=IN IP4 198.51.100.2\n", "").c_str()));
    EXPECT_STREQ("198.51.100.2", offer.RtpIp());
}

TEST(SdpOfferTest, TelephoneEventNeedsAnEntryInOurTable) {
    CSdpOffer offer;
    ASSERT_EQ(CSdpOffer::READ_OK,
              offer.Parse(Sdp("m=audio 4000 RTP/AVP 0 96 101\na=rtpmap:96 telephone-event/16000\n"
                              "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-16\n")
                              .c_str()));
    Local plain("0,8,");
    int remoteIndex = -1;
    EXPECT_EQ(-1, CSdpOffer::MatchTelephoneEvent(offer.Codecs(), offer.CodecCount(), plain.table, plain.count,
                                                 &remoteIndex));
    Local withEvents("0,8,");
    snprintf(withEvents.table[withEvents.count].name, 256, "%s", "TELEPHONE-EVENT");
    withEvents.table[withEvents.count].payload = 101;
    ++withEvents.count;
    EXPECT_EQ(2, CSdpOffer::MatchTelephoneEvent(offer.Codecs(), offer.CodecCount(), withEvents.table,
                                                withEvents.count, &remoteIndex));
    EXPECT_EQ(1, remoteIndex); // the peer's first telephone-event entry
    EXPECT_EQ(96, offer.Codecs()[remoteIndex].payload);
}

TEST(SdpOfferTest, ListsAreBounded) {
    // 25 payload numbers: the first 20 are read.
    std::string payloads;
    for (int i = 0; i < 25; ++i) payloads += " " + std::to_string(96 + i);
    CSdpOffer offer;
    ASSERT_EQ(CSdpOffer::READ_OK, offer.Parse(Sdp("m=audio 4000 RTP/AVP" + payloads + "\n").c_str()));
    ASSERT_EQ(20, offer.CodecCount());
    EXPECT_EQ(115, offer.Codecs()[19].payload);

    // 1000 attributes: only the first 20 are examined, so an rtpmap after
    // them is never seen.
    std::string media = "m=audio 4000 RTP/AVP 96 8\na=rtpmap:96 PCMU/8000\n";
    for (int i = 0; i < 999; ++i) media += "a=x-filler:" + std::to_string(i) + "\n";
    media += "a=rtpmap:8 G722/8000\n";
    ASSERT_EQ(CSdpOffer::READ_OK, offer.Parse(Sdp(media).c_str()));
    EXPECT_STREQ("PCMU", offer.Codecs()[0].name);
    EXPECT_STREQ("PCMA", offer.Codecs()[1].name);
}

TEST(SdpOfferTest, UnusableDescriptionsAreRefused) {
    struct Case {
        const char* what;
        std::string text;
        int result;
    } cases[] = {
        {"no body", "", CSdpOffer::READ_NO_SDP},
        {"not SDP", "hello world", CSdpOffer::READ_NO_SDP},
        {"no audio", Sdp("m=video 4000 RTP/AVP 31\n"), CSdpOffer::READ_NO_AUDIO},
        {"no media", Sdp(""), CSdpOffer::READ_NO_AUDIO},
        {"no connection line", Sdp("m=audio 4000 RTP/AVP 0\n", ""), CSdpOffer::READ_NO_ADDRESS},
        {"port 0", Sdp("m=audio 0 RTP/AVP 0\n"), CSdpOffer::READ_NO_AUDIO},
        {"port too large", Sdp("m=audio 99999 RTP/AVP 0\n"), CSdpOffer::READ_NO_AUDIO},
        {"port not a number", Sdp("m=audio 4x00 RTP/AVP 0\n"), CSdpOffer::READ_NO_AUDIO},
        {"port far too large", Sdp("m=audio 999999999999999999999 RTP/AVP 0\n"), CSdpOffer::READ_NO_AUDIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSdpOffer offer;
        EXPECT_EQ(c.result, offer.Parse(c.text.c_str()));
        EXPECT_EQ(0, offer.CodecCount());
        EXPECT_STREQ("", offer.RtpIp());
    }
    CSdpOffer offer;
    EXPECT_EQ(CSdpOffer::READ_NO_SDP, offer.Parse(nullptr));

    // An m= line without payloads ending the text with a single line end
    // once made the SDP parser read past the text (found by fuzzing); the
    // text here is allocated to its exact size so that a sanitizer sees it.
    for (const char* end : {"\r", "\n"}) {
        const std::string text = Sdp("") + "m=audio 4000 RTP/AVP" + end;
        std::unique_ptr<char[]> exact(new char[text.size() + 1]);
        std::memcpy(exact.get(), text.c_str(), text.size() + 1);
        EXPECT_EQ(CSdpOffer::READ_OK, offer.Parse(exact.get()));
        EXPECT_EQ(0, offer.CodecCount());
    }
    EXPECT_EQ(CSdpOffer::READ_NO_SDP, offer.Read(nullptr));
}

} // namespace
