// Parsing received RTCP and the round trip worked out from it, between two
// report handlers on one hand-driven clock.
#include <gtest/gtest.h>

#include "RtpTestSupport.h"
#include "voiceengine/rtp/VERtcpHandler.h"

using namespace qf::test;

namespace {

Bytes Build(VERtcpHandler& h, uint32_t ssrc, const VERtpReceiveReport& block, bool bye = false) {
    uint8_t out[VERtcpHandler::kMaxReport];
    const size_t n = h.BuildReport(out, sizeof out, ssrc, 8000, bye, block);
    return Bytes(out, out + n);
}

} // namespace

TEST(Rtcp, RoundTripFromLsrAndDlsr) {
    FakeClock clock;
    VERtcpHandler a(clock), b(clock);
    a.Enable(true);
    b.Enable(true);
    const Bytes sr = Build(a, 0xA, VERtpReceiveReport{});
    clock.Advance(30);   // one way
    ASSERT_EQ(0, b.Parse(sr.data(), sr.size(), 0xB));
    EXPECT_EQ(0xAu, b.RemoteSSRC());
    EXPECT_EQ(Be32(sr, 16), b.LastSrRtpTimestamp());
    EXPECT_EQ(((Be32(sr, 8) << 16) | (Be32(sr, 12) >> 16)), b.LastSrMiddle());

    clock.Advance(200);  // b holds the report for 200 ms
    VERtpReceiveReport block;
    block.valid = true;
    block.ssrc = 0xA;
    block.fractionLost = 12;
    block.jitter = 34;
    const Bytes answer = Build(b, 0xB, block);
    EXPECT_EQ(b.LastSrMiddle(), Be32(answer, 44));            // LSR
    EXPECT_EQ(200u * 65536u / 1000u, Be32(answer, 48));      // DLSR
    clock.Advance(30);   // way back
    ASSERT_EQ(0, a.Parse(answer.data(), answer.size(), 0xA));
    EXPECT_NEAR(60, a.RoundTripMs(), 1);
    EXPECT_EQ(12, a.RemoteFractionLost());
    EXPECT_EQ(34u, a.RemoteJitter());
    EXPECT_EQ("user1@undefined", a.RemoteCNAME());
}

TEST(Rtcp, ReportWithoutOurSrGivesNoRoundTrip) {
    FakeClock clock;
    VERtcpHandler a(clock), b(clock);
    // b never saw an SR of a: its block carries LSR 0.
    const Bytes rr = Build(b, 0xB, VERtpReceiveReport{});
    ASSERT_EQ(0u, Be32(rr, 44));
    ASSERT_EQ(0, a.Parse(rr.data(), rr.size(), 0xA));
    EXPECT_EQ(0, a.RoundTripMs());
}

TEST(Rtcp, MalformedAndUnwantedPacketsAreDropped) {
    FakeClock clock;
    VERtcpHandler peer(clock);
    peer.SetCNAME("bob");
    const Bytes good = Build(peer, 0xB, VERtpReceiveReport{}, true);
    struct Case {
        const char* what;
        Bytes packet;
        int result;
    };
    Bytes sdesFirst(good.begin() + 52, good.end());
    Bytes lengthPastEnd = good;
    lengthPastEnd[3] = 40;
    Bytes secondPartPastEnd = good;
    secondPartPastEnd[55] = 60;
    Bytes cnamePastEnd = good;
    cnamePastEnd[61] = 200;
    Bytes wrongVersion = good;
    wrongVersion[0] = 0x41;
    Bytes shortSr = {0x80, 200, 0, 1, 0, 0, 0, 1};
    Bytes cut(good.begin(), good.begin() + 30);
    const Case cases[] = {
        {"well formed with BYE", good, 0},
        {"SDES first", sdesFirst, -1},
        {"first length past end", lengthPastEnd, -1},
        {"second part past end", secondPartPastEnd, -1},
        {"CNAME item past end", cnamePastEnd, -1},
        {"wrong version", wrongVersion, -1},
        {"SR body too short", shortSr, -1},
        {"cut in the middle", cut, -1},
        {"empty", Bytes{}, -1},
    };
    for (const Case& c : cases) {
        VERtcpHandler h(clock);
        EXPECT_EQ(c.result, h.Parse(c.packet.data(), c.packet.size(), 0xA)) << c.what;
    }
    VERtcpHandler h(clock);
    ASSERT_EQ(0, h.Parse(good.data(), good.size(), 0xA));
    EXPECT_EQ("bob", h.RemoteCNAME());
}

TEST(Rtcp, VoipMetricsAboutUsAndAppPackets) {
    FakeClock clock;
    VERtcpHandler h(clock);
    struct App {
        int calls = 0;
        int subtype = -1;
        uint32_t name = 0;
        Bytes data;
    } app;
    h.SetAppHandler(
        [](void* user, int, int subtype, uint32_t name, const uint8_t* data, size_t length) {
            auto* a = static_cast<App*>(user);
            ++a->calls;
            a->subtype = subtype;
            a->name = name;
            a->data.assign(data, data + length);
        },
        &app, 0);
    // RR (no blocks), XR with a VoIP metrics block about 0xA, APP.
    Bytes p = {0x80, 201, 0, 1, 0, 0, 0, 0xB};
    Bytes xr = {0x80, 207, 0, 10, 0, 0, 0, 0xB, 7, 0, 0, 8, 0, 0, 0, 0xA};
    for (int i = 0; i < 28; ++i) xr.push_back(static_cast<uint8_t>(i + 1));
    p.insert(p.end(), xr.begin(), xr.end());
    Bytes appPart = {0x83, 204, 0, 3, 0, 0, 0, 0xB, 'q', 'f', 'o', 'n', 9, 8, 7, 6};
    p.insert(p.end(), appPart.begin(), appPart.end());
    ASSERT_EQ(0, h.Parse(p.data(), p.size(), 0xA));
    uint8_t metrics[28];
    ASSERT_TRUE(h.HaveVoipMetrics(metrics));
    EXPECT_EQ(1, metrics[0]);
    EXPECT_EQ(28, metrics[27]);
    EXPECT_EQ(1, app.calls);
    EXPECT_EQ(3, app.subtype);
    EXPECT_EQ(0x71666F6Eu, app.name);
    EXPECT_EQ(Bytes({9, 8, 7, 6}), app.data);
    // Metrics about another source are not ours to keep.
    VERtcpHandler other(clock);
    ASSERT_EQ(0, other.Parse(p.data(), p.size(), 0xC));
    EXPECT_FALSE(other.HaveVoipMetrics(metrics));
}
