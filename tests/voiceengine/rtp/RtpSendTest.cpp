// What the sender puts on the wire, captured through an external transport
// with a hand-driven clock: audio headers, the telephone-event sequence,
// redundancy, RTCP reports, SSRC choice, and the send-side checks.
#include <gtest/gtest.h>

#include <set>

#include "RtpTestSupport.h"
#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VEChannelTransport.h"
#include "voiceengine/rtp/VERtcpHandler.h"
#include "voiceengine/rtp/VESsrcSource.h"

using namespace qf::test;

namespace {

class Observer : public VERtpSenderObserver {
public:
    void OnTelephoneEventStarted(int event, int lengthMs, int level) override {
        started.push_back({event, lengthMs, level});
    }
    std::vector<std::vector<int>> started;
};

class RtpSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, transport.SetSendTransport(&capture));
        transport.SetSendCodec("PCMU", 8000, 0);
        transport.SetSenderObserver(&observer);
    }
    void SendAudio(int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(0, transport.SendRtp(0, frame, sizeof frame, 160, false));
            clock.Advance(20);
        }
    }
    SocketManager manager;
    RecordingReceiver receiver;
    FakeClock clock;
    CaptureTransport capture;
    Observer observer;
    VEChannelTransport transport{0, manager, receiver, nullptr, clock};
    uint8_t frame[160] = {};
};

} // namespace

TEST_F(RtpSendTest, AudioPacketsCarryHeaderSequenceAndTimestamp) {
    ASSERT_EQ(0, transport.StartSend());
    const uint32_t ssrc = transport.GetSendSSRC();
    SendAudio(3);
    ASSERT_EQ(3u, capture.rtp.size());
    for (size_t i = 0; i < 3; ++i) {
        const Bytes& p = capture.rtp[i];
        ASSERT_EQ(172u, p.size());
        EXPECT_EQ(0x80, p[0]);
        EXPECT_EQ(0x00, p[1]);
        EXPECT_EQ(static_cast<uint16_t>(Be16(capture.rtp[0], 2) + i), Be16(p, 2));
        EXPECT_EQ(Be32(capture.rtp[0], 4) + 160 * i, Be32(p, 4));
        EXPECT_EQ(ssrc, Be32(p, 8));
    }
    // Silence that is not sent still moves the timeline.
    transport.AdvanceTimestamp(160);
    SendAudio(1);
    EXPECT_EQ(Be32(capture.rtp[2], 4) + 320, Be32(capture.rtp[3], 4));
    // Contributors and energy levels go into the header.
    const uint32_t csrcs[2] = {11, 12};
    const uint32_t energy[1] = {99};
    ASSERT_EQ(0, transport.SendRtp(0, frame, 10, 80, true, csrcs, 2, energy, 1));
    const Bytes& p = capture.rtp.back();
    EXPECT_EQ(0x80 | 0x10 | 2, p[0]);
    EXPECT_EQ(0x80, p[1]);   // marker
    EXPECT_EQ(11u, Be32(p, 12));
    EXPECT_EQ(0xF0F0, Be16(p, 20));
    EXPECT_EQ(1, Be16(p, 22));
    EXPECT_EQ(99u, Be32(p, 24));
    EXPECT_EQ(28u + 10u, p.size());
}

TEST_F(RtpSendTest, PayloadLengthAndStateChecks) {
    const uint8_t big[1501] = {};
    EXPECT_EQ(-1, transport.SendRtp(0, big, sizeof big, 160, false));   // not sending yet
    ASSERT_EQ(0, transport.StartSend());
    EXPECT_EQ(-1, transport.SendRtp(0, big, sizeof big, 160, false));
    EXPECT_EQ(0, transport.SendRtp(0, big, 1500, 160, false));
    EXPECT_EQ(1u, capture.rtp.size());
    EXPECT_EQ(VERtpCode::Sending, transport.StartSend());
    EXPECT_EQ(VERtpCode::Sending, transport.SetSendTOS(10));
    EXPECT_EQ(VERtpCode::Sending, transport.SetSendSSRC(5));
    EXPECT_EQ(VERtpCode::Sending, transport.SetSendGQOS(true, 1));
    EXPECT_EQ(VERtpCode::Sending, transport.SetSendIP("127.0.0.1"));
    EXPECT_EQ(VERtpCode::Sending, transport.SetSendPort(5000, 0));
    EXPECT_EQ(VERtpCode::ExternalTransport, transport.SetRecPort(5000, nullptr, nullptr, 0));
}

TEST_F(RtpSendTest, TelephoneEventOf160msAt20msPackets) {
    transport.SetDTMFPayloadType(97);
    ASSERT_EQ(0, transport.StartSend());
    SendAudio(2);
    const uint32_t lastAudioTs = Be32(capture.rtp.back(), 4);
    const uint16_t lastAudioSeq = Be16(capture.rtp.back(), 2);
    ASSERT_EQ(0, transport.SendTelephoneEvent(11, 160, 10));
    capture.rtp.clear();
    SendAudio(9);   // nine packet periods: eight event packets, then the end
    ASSERT_EQ(11u, capture.rtp.size());
    const uint32_t eventTs = lastAudioTs + 160 + 160;   // one period moved on, then one more at the start
    for (size_t i = 0; i < capture.rtp.size(); ++i) {
        const Bytes& p = capture.rtp[i];
        ASSERT_EQ(16u, p.size()) << i;
        EXPECT_EQ(97, p[1] & 0x7F) << i;
        EXPECT_EQ(i == 0, (p[1] & 0x80) != 0) << "marker only on the first, packet " << i;
        EXPECT_EQ(static_cast<uint16_t>(lastAudioSeq + 1 + i), Be16(p, 2)) << i;
        EXPECT_EQ(eventTs, Be32(p, 4)) << i;
        EXPECT_EQ(11, p[12]) << i;
        const bool end = i >= 8;
        EXPECT_EQ(end, (p[13] & 0x80) != 0) << i;
        EXPECT_EQ(10, p[13] & 0x3F) << i;
        EXPECT_EQ(end ? 1280 : 160 * (i + 1), Be16(p, 14)) << i;
    }
    ASSERT_EQ(1u, observer.started.size());
    EXPECT_EQ((std::vector<int>{11, 160, 10}), observer.started[0]);
    // Audio resumes in the next period, after the event's whole span.
    SendAudio(1);
    ASSERT_EQ(12u, capture.rtp.size());
    EXPECT_EQ(172u, capture.rtp.back().size());
    EXPECT_EQ(eventTs + 1280 + 160, Be32(capture.rtp.back(), 4));
    EXPECT_EQ(static_cast<uint16_t>(lastAudioSeq + 12), Be16(capture.rtp.back(), 2));
}

TEST_F(RtpSendTest, SecondEventWaitsForHundredMillisecondsOfAudio) {
    ASSERT_EQ(0, transport.StartSend());
    ASSERT_EQ(0, transport.SendTelephoneEvent(1, 100, 10));
    ASSERT_EQ(0, transport.SendTelephoneEvent(2, 100, 10));
    SendAudio(6);   // 5 event periods + end period
    ASSERT_EQ(5u + 3u, capture.rtp.size());
    capture.rtp.clear();
    SendAudio(5);   // 100 ms of audio must pass first
    ASSERT_EQ(5u, capture.rtp.size());
    for (const Bytes& p : capture.rtp) EXPECT_EQ(172u, p.size());
    SendAudio(1);
    ASSERT_EQ(6u, capture.rtp.size());
    EXPECT_EQ(16u, capture.rtp.back().size());
    EXPECT_EQ(2, capture.rtp.back()[12]);
}

TEST_F(RtpSendTest, RedundancyRepeatsThePreviousPayloadAndReadsBack) {
    ASSERT_EQ(0, transport.EnableRedundancy(true, 117));
    ASSERT_EQ(0, transport.StartSend());
    uint8_t a[3] = {1, 2, 3};
    uint8_t b[2] = {4, 5};
    ASSERT_EQ(0, transport.SendRtp(0, a, 3, 160, false));
    ASSERT_EQ(0, transport.SendRtp(0, b, 2, 160, false));
    ASSERT_EQ(2u, capture.rtp.size());
    EXPECT_EQ(117, capture.rtp[0][1] & 0x7F);
    EXPECT_EQ(Bytes({0x00, 1, 2, 3}), Bytes(capture.rtp[0].begin() + 12, capture.rtp[0].end()));
    EXPECT_EQ(Bytes({0x80, 0x02, 0x80, 0x03, 0x00, 1, 2, 3, 4, 5}), Bytes(capture.rtp[1].begin() + 12, capture.rtp[1].end()));

    CollectingSink sink;
    transport.SetReceiveRedPayloadType(117);
    ASSERT_EQ(2, transport.ProcessRtp(capture.rtp[1].data(), capture.rtp[1].size(), sink));
    EXPECT_EQ(Bytes({1, 2, 3}), sink.items[0].data);
    EXPECT_EQ(Be32(capture.rtp[0], 4), sink.items[0].info.timestamp);
    EXPECT_EQ(Bytes({4, 5}), sink.items[1].data);
}

TEST_F(RtpSendTest, RtcpReportsEveryFiveSecondsWithSrAndSdesAndByeAtStop) {
    ASSERT_EQ(0, transport.StartSend());
    ASSERT_EQ(0, transport.EnableRTCP(true));
    const uint32_t ssrc = transport.GetSendSSRC();
    SendAudio(100);   // 2 s
    EXPECT_TRUE(capture.rtcp.empty());
    SendAudio(5);     // a little over 2 s since enabling
    ASSERT_EQ(1u, capture.rtcp.size());
    SendAudio(250);   // 5 s more
    ASSERT_EQ(2u, capture.rtcp.size());

    const Bytes& r = capture.rtcp[1];
    // SR: 0x81, 200, length 12, SSRC, NTP, RTP time, counts, one block.
    ASSERT_EQ(52u + 28u, r.size());
    EXPECT_EQ(0x81, r[0]);
    EXPECT_EQ(200, r[1]);
    EXPECT_EQ(12, Be16(r, 2));
    EXPECT_EQ(ssrc, Be32(r, 4));
    const VENtpTime now = clock.NowNtp();
    EXPECT_NEAR(static_cast<double>(now.seconds), static_cast<double>(Be32(r, 8)), 6.0);
    const uint32_t ntpSec = Be32(r, 8);
    const uint32_t ntpFrac = Be32(r, 12);
    const uint64_t rtp = static_cast<uint64_t>(ntpSec) * 8000 + ((static_cast<uint64_t>(ntpFrac) * 8000) >> 32);
    EXPECT_EQ(static_cast<uint32_t>(rtp), Be32(r, 16));
    EXPECT_EQ(353u, Be32(r, 20));               // packets since RTCP was switched on
    EXPECT_EQ(353u * 160u, Be32(r, 24));        // payload octets
    EXPECT_EQ(0u, Be32(r, 28));                 // nothing received: no remote source
    EXPECT_EQ(0u, Be32(r, 44));                 // LSR
    EXPECT_EQ(0u, Be32(r, 48));                 // DLSR
    // SDES: 0x81, 202, SSRC, CNAME item, zero-terminated and padded.
    EXPECT_EQ(0x81, r[52]);
    EXPECT_EQ(202, r[53]);
    EXPECT_EQ(6, Be16(r, 54));   // 28 bytes: SSRC, item, terminator, padding
    EXPECT_EQ(ssrc, Be32(r, 56));
    EXPECT_EQ(1, r[60]);
    EXPECT_EQ(15, r[61]);
    EXPECT_EQ("user1@undefined", std::string(r.begin() + 62, r.begin() + 77));
    EXPECT_EQ(0, r[77]);
    EXPECT_EQ(0, r[78]);
    EXPECT_EQ(0, r[79]);

    ASSERT_EQ(0, transport.StopSend());
    ASSERT_EQ(3u, capture.rtcp.size());
    const Bytes& last = capture.rtcp[2];
    ASSERT_EQ(52u + 28u + 8u, last.size());
    EXPECT_EQ(Bytes({0x81, 203, 0, 1}), Bytes(last.begin() + 80, last.begin() + 84));
    EXPECT_EQ(ssrc, Be32(last, 84));
}

TEST_F(RtpSendTest, CnameIsPaddedWithAtLeastOneZero) {
    // 16 characters: item is 2 + 16 bytes, chunk 4 + 18 = 22 -> 24.
    // 18 characters: chunk 24 exactly, so a whole zero word follows.
    for (const std::string& name : {std::string("abcdefghijklmnop"), std::string("abcdefghijklmnopqr")}) {
        ASSERT_EQ(0, transport.SetRTCPCNAME(name.c_str()));
        VERtcpHandler handler(clock);
        handler.SetCNAME(name);
        uint8_t out[VERtcpHandler::kMaxReport];
        const size_t n = handler.BuildReport(out, sizeof out, 1, 8000, false, VERtpReceiveReport{});
        const Bytes r(out, out + n);
        const size_t sdesBytes = (Be16(r, 54) + 1u) * 4u;
        EXPECT_EQ(n, 52u + sdesBytes);
        EXPECT_EQ(0u, sdesBytes % 4);
        EXPECT_GE(sdesBytes, 4u + 4u + 2u + name.size() + 1u) << name;
        EXPECT_EQ(0, r[52 + 10 + name.size()]) << name;
    }
}

TEST(RtpSsrc, ChannelsNeverShareAnSsrc) {
    SocketManager manager;
    RecordingReceiver receiver;
    std::set<uint32_t> seen;
    std::vector<std::unique_ptr<VEChannelTransport>> channels;
    for (int i = 0; i < 32; ++i) {
        channels.push_back(std::make_unique<VEChannelTransport>(i, manager, receiver));
        EXPECT_TRUE(seen.insert(channels.back()->GetSendSSRC()).second);
    }
    // A chosen SSRC takes effect at the next start and is then taken.
    CaptureTransport capture;
    ASSERT_EQ(0, channels[0]->SetSendSSRC(0xCAFEF00D));
    channels[0]->SetSendTransport(&capture);
    ASSERT_EQ(0, channels[0]->StartSend());
    EXPECT_EQ(0xCAFEF00Du, channels[0]->GetSendSSRC());
    EXPECT_TRUE(VESsrcSource::Acquire()->Used(0xCAFEF00D));
    channels[0]->StopSend();
}

TEST_F(RtpSendTest, ExternallyReceivedPacketsAreCheckedThenDelivered) {
    Bytes ok(20, 0);
    ok[0] = 0x80;
    Bytes tooLong(808, 0);
    tooLong[0] = 0x80;
    Bytes v1 = ok;
    v1[0] = 0x40;
    EXPECT_EQ(VERtpCode::PacketLength, transport.ReceivedRTPPacket(ok.data(), 0));
    EXPECT_EQ(VERtpCode::PacketLength, transport.ReceivedRTPPacket(tooLong.data(), tooLong.size()));
    EXPECT_EQ(VERtpCode::Failed, transport.ReceivedRTPPacket(v1.data(), v1.size()));
    EXPECT_TRUE(receiver.rtp.empty());
    EXPECT_EQ(0, transport.ReceivedRTPPacket(tooLong.data(), 807));
    EXPECT_EQ(0, transport.ReceivedRTPPacket(ok.data(), ok.size()));
    ASSERT_EQ(2u, receiver.rtp.size());
    EXPECT_EQ(807u, receiver.rtp[0].size());
    EXPECT_EQ(0, receiver.lastChannel);
    const Bytes rr = {0x80, 201, 0, 1, 0, 0, 0, 9};
    EXPECT_EQ(0, transport.ReceivedRTCPPacket(rr.data(), rr.size()));
    ASSERT_EQ(1u, receiver.rtcp.size());
}
