// Reading received RTP: header checks, RED splitting, telephone events,
// contributing sources and energy levels, and the receive statistics that
// feed our reports.
#include <gtest/gtest.h>

#include "RtpTestSupport.h"
#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VEChannelTransport.h"
#include "voiceengine/rtp/VERtpPacket.h"
#include "voiceengine/rtp/VERtpReceiveStatistics.h"

using namespace qf::test;

namespace {

Bytes Rtp(uint8_t first, uint8_t pt, uint16_t seq, uint32_t ts, uint32_t ssrc, const Bytes& rest) {
    Bytes b = {first, pt, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
               static_cast<uint8_t>(ts >> 24), static_cast<uint8_t>(ts >> 16), static_cast<uint8_t>(ts >> 8),
               static_cast<uint8_t>(ts), static_cast<uint8_t>(ssrc >> 24), static_cast<uint8_t>(ssrc >> 16),
               static_cast<uint8_t>(ssrc >> 8), static_cast<uint8_t>(ssrc)};
    for (uint8_t x : rest) b.push_back(x);
    return b;
}

} // namespace

TEST(RtpPacket, ParseAcceptsOnlyWellFormedVersion2) {
    struct Case {
        const char* what;
        Bytes packet;
        int result;
        size_t payloadLength;
    };
    const Case cases[] = {
        {"plain", Rtp(0x80, 0, 1, 2, 3, {1, 2, 3}), 0, 3},
        {"empty payload", Rtp(0x80, 0, 1, 2, 3, {}), 0, 0},
        {"short header", Bytes{0x80, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, -1, 0},
        {"version 3", Rtp(0xC0, 0, 1, 2, 3, {1}), -1, 0},
        {"version 0", Rtp(0x00, 0, 1, 2, 3, {1}), -1, 0},
        {"two CSRCs present", Rtp(0x82, 0, 1, 2, 3, {0, 0, 0, 1, 0, 0, 0, 2, 9}), 0, 1},
        {"CSRC count past end", Rtp(0x83, 0, 1, 2, 3, {0, 0, 0, 1, 0, 0, 0, 2}), -1, 0},
        {"extension", Rtp(0x90, 0, 1, 2, 3, {0xF0, 0xF0, 0, 1, 1, 2, 3, 4, 7}), 0, 1},
        {"extension header cut", Rtp(0x90, 0, 1, 2, 3, {0xF0, 0xF0}), -1, 0},
        {"extension past end", Rtp(0x90, 0, 1, 2, 3, {0xF0, 0xF0, 0, 2, 1, 2, 3, 4}), -1, 0},
        {"padding", Rtp(0xA0, 0, 1, 2, 3, {5, 6, 0, 2}), 0, 2},
        {"padding zero", Rtp(0xA0, 0, 1, 2, 3, {5, 6, 0}), -1, 0},
        {"padding past payload", Rtp(0xA0, 0, 1, 2, 3, {5, 9}), -1, 0},
    };
    for (const Case& c : cases) {
        VERtpHeaderView h;
        EXPECT_EQ(c.result, VERtpPacket::Parse(c.packet.data(), c.packet.size(), h)) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(c.payloadLength, h.payloadLength) << c.what;
        }
    }
}

TEST(RtpPacket, RedSplitsBlocksOldestFirstAndRejectsBadLengths) {
    // One redundant PCMU block of 3 bytes, 160 samples older, then primary PCMU.
    const Bytes red = {0x80, 0x02, 0x80, 0x03, 0x00, 0xA, 0xB, 0xC, 0x1, 0x2};
    VERedBlock blocks[4];
    ASSERT_EQ(2, VERtpPacket::SplitRed(red.data(), red.size(), 1000, blocks, 4));
    EXPECT_FALSE(blocks[0].primary);
    EXPECT_EQ(0, blocks[0].payloadType);
    EXPECT_EQ(1000u - 160u, blocks[0].timestamp);
    EXPECT_EQ(Bytes({0xA, 0xB, 0xC}), Bytes(blocks[0].data, blocks[0].data + blocks[0].length));
    EXPECT_TRUE(blocks[1].primary);
    EXPECT_EQ(Bytes({0x1, 0x2}), Bytes(blocks[1].data, blocks[1].data + blocks[1].length));

    const Bytes tooLong = {0x80, 0x02, 0x80, 0x09, 0x00, 0xA};      // block says 9 bytes
    const Bytes noPrimary = {0x80, 0x02, 0x80, 0x01};               // headers never end
    const Bytes empty = {};
    EXPECT_EQ(-1, VERtpPacket::SplitRed(tooLong.data(), tooLong.size(), 0, blocks, 4));
    EXPECT_EQ(-1, VERtpPacket::SplitRed(noPrimary.data(), noPrimary.size(), 0, blocks, 4));
    EXPECT_EQ(-1, VERtpPacket::SplitRed(empty.data(), 0, 0, blocks, 4));
    // More blocks than room.
    const Bytes many = {0x80, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0, 0x00};
    EXPECT_EQ(-1, VERtpPacket::SplitRed(many.data(), many.size(), 0, blocks, 2));
}

class ProcessRtpTest : public ::testing::Test {
protected:
    SocketManager manager;
    RecordingReceiver receiver;
    FakeClock clock;
    VEChannelTransport transport{3, manager, receiver, nullptr, clock};
    CollectingSink sink;
};

TEST_F(ProcessRtpTest, KeepsContributorsAndEnergyAndDropsMalformed) {
    Bytes p = Rtp(0x92, 0, 10, 160, 0x1234, {0, 0, 0, 7, 0, 0, 0, 8, 0xF0, 0xF0, 0, 2, 0, 0, 0, 40, 0, 0, 0, 50, 0xFF});
    EXPECT_EQ(1, transport.ProcessRtp(p.data(), p.size(), sink));
    ASSERT_EQ(1u, sink.items.size());
    EXPECT_EQ(Bytes({0xFF}), sink.items[0].data);
    uint32_t csrc[15];
    ASSERT_EQ(2, transport.GetCSRCs(csrc, 15));
    EXPECT_EQ(7u, csrc[0]);
    EXPECT_EQ(8u, csrc[1]);
    uint32_t energy[8];
    ASSERT_EQ(2, transport.GetEnergyLevels(energy, 8));
    EXPECT_EQ(40u, energy[0]);
    EXPECT_EQ(50u, energy[1]);

    Bytes wrongVersion = Rtp(0xC0, 0, 11, 320, 0x1234, {1});
    Bytes cut = Rtp(0x8F, 0, 11, 320, 0x1234, {1, 2, 3});
    EXPECT_EQ(-1, transport.ProcessRtp(wrongVersion.data(), wrongVersion.size(), sink));
    EXPECT_EQ(-1, transport.ProcessRtp(cut.data(), cut.size(), sink));
    EXPECT_EQ(1u, sink.items.size());
}

TEST_F(ProcessRtpTest, RedPacketGivesRedundantThenPrimaryBlocks) {
    transport.SetReceiveRedPayloadType(117);
    Bytes p = Rtp(0x80, 117, 20, 3200, 0x55, {0x80, 0x02, 0x80, 0x02, 0x00, 0xA, 0xB, 0xC, 0xD});
    EXPECT_EQ(2, transport.ProcessRtp(p.data(), p.size(), sink));
    ASSERT_EQ(2u, sink.items.size());
    EXPECT_TRUE(sink.items[0].info.redundant);
    EXPECT_EQ(3200u - 160u, sink.items[0].info.timestamp);
    EXPECT_EQ(Bytes({0xA, 0xB}), sink.items[0].data);
    EXPECT_FALSE(sink.items[1].info.redundant);
    EXPECT_EQ(0, sink.items[1].info.payloadType);
    EXPECT_EQ(3200u, sink.items[1].info.timestamp);
    EXPECT_EQ(Bytes({0xC, 0xD}), sink.items[1].data);

    Bytes bad = Rtp(0x80, 117, 21, 3360, 0x55, {0x80, 0x02, 0x83, 0xFF, 0x00, 0xA});
    EXPECT_EQ(-1, transport.ProcessRtp(bad.data(), bad.size(), sink));
}

TEST_F(ProcessRtpTest, TelephoneEventsReportStartAndEndOnce) {
    transport.SetReceiveTelephoneEventPayloadType(97);
    auto event = [&](uint16_t seq, uint32_t ts, bool end, uint16_t duration) {
        Bytes p = Rtp(0x80, 97, seq, ts, 0x77, {5, static_cast<uint8_t>((end ? 0x80 : 0) | 10),
                                                 static_cast<uint8_t>(duration >> 8), static_cast<uint8_t>(duration)});
        transport.ProcessRtp(p.data(), p.size(), sink);
    };
    event(1, 8000, false, 160);
    event(2, 8000, false, 320);
    event(3, 8000, true, 480);
    event(4, 8000, true, 480);
    event(5, 9000, false, 160);   // the next event
    ASSERT_EQ(5u, sink.items.size());
    EXPECT_TRUE(sink.items[0].info.telephoneEvent);
    EXPECT_EQ(5, sink.items[0].info.event);
    EXPECT_EQ(10, sink.items[0].info.eventVolume);
    EXPECT_TRUE(sink.items[0].info.eventStarted);
    EXPECT_FALSE(sink.items[1].info.eventStarted);
    EXPECT_EQ(320, sink.items[1].info.eventDuration);
    EXPECT_TRUE(sink.items[2].info.eventFinished);
    EXPECT_FALSE(sink.items[3].info.eventFinished);
    EXPECT_TRUE(sink.items[4].info.eventStarted);
}

TEST(RtpReceiveStatistics, LossWrapAndJitter) {
    VERtpReceiveStatistics stats;
    EXPECT_FALSE(stats.Peek().valid);
    // 65530..65535 then 0..9 with 3 lost (65533, 2, 3); steady 20 ms spacing.
    int64_t t = 0;
    uint32_t ts = 0;
    for (uint32_t s = 65530; s < 65536 + 10; ++s, t += 20, ts += 160) {
        const uint16_t seq = static_cast<uint16_t>(s);
        if (seq == 65533 || seq == 2 || seq == 3) continue;
        stats.Update(0xABC, seq, ts, 8000, t);
    }
    VERtpReceiveReport r = stats.MakeReport();
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(0xABCu, r.ssrc);
    EXPECT_EQ(65536u + 9u, r.extendedHighestSequence);
    EXPECT_EQ(3, r.cumulativeLost);
    EXPECT_EQ(3 * 256 / 16, r.fractionLost);
    EXPECT_EQ(0u, r.jitter);
    // Next interval: no loss, but one packet 40 ms late then on time.
    stats.Update(0xABC, 10, ts, 8000, t + 40);
    stats.Update(0xABC, 11, ts + 160, 8000, t + 20);
    r = stats.MakeReport();
    EXPECT_EQ(0, r.fractionLost);
    EXPECT_GT(r.jitter, 0u);
    // A new source starts afresh.
    stats.Update(0xDEF, 500, 0, 8000, t + 100);
    r = stats.Peek();
    EXPECT_EQ(0xDEFu, r.ssrc);
    EXPECT_EQ(0, r.cumulativeLost);
    EXPECT_EQ(500u, r.extendedHighestSequence);
}
