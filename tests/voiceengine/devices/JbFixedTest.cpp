// The jitter buffer: ordering, duplicates, late packets, delay adaptation,
// concealment, comfort noise, malformed packets and RTCP figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "support/TestSignals.h"
#include "voiceengine/FileConvert.h"
#include "voiceengine/JbFixed.h"

using namespace qf::test;

namespace {

constexpr uint32_t kSsrc = 0x11223344;

struct Arrival {
    int64_t us;
    std::vector<uint8_t> packet;
};

// 20 ms PCMU packets of the given signal (8 kHz), sent every 20 ms from t=0.
std::vector<Arrival> packetize(const std::vector<int16_t>& pcm, uint16_t firstSeq = 1000, uint32_t firstTs = 5000) {
    std::vector<Arrival> out;
    for (size_t i = 0, k = 0; i + 160 <= pcm.size(); i += 160, ++k) {
        std::vector<uint8_t> payload(160);
        for (int j = 0; j < 160; ++j) payload[static_cast<size_t>(j)] = LinearToUlaw(pcm[i + static_cast<size_t>(j)]);
        out.push_back({static_cast<int64_t>(k) * 20000,
                       MakeRtp(0, static_cast<uint16_t>(firstSeq + k), firstTs + static_cast<uint32_t>(i), kSsrc, payload)});
    }
    return out;
}

std::vector<int16_t> decoded(const std::vector<int16_t>& pcm) {
    std::vector<int16_t> out(pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) out[i] = FILEConvert::UlawToLinear(LinearToUlaw(pcm[i]));
    return out;
}

// Plays for durationMs: before each 10 ms pull, everything that has arrived
// by then is inserted.
std::vector<int16_t> run(JbFixed& jb, std::vector<Arrival> arrivals, int durationMs) {
    std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) { return a.us < b.us; });
    std::vector<int16_t> out;
    size_t next = 0;
    int16_t block[160];
    for (int t = 0; t < durationMs; t += 10) {
        while (next < arrivals.size() && arrivals[next].us <= static_cast<int64_t>(t) * 1000) {
            jb.InsertPacket(arrivals[next].packet.data(), static_cast<int>(arrivals[next].packet.size()),
                            arrivals[next].us);
            ++next;
        }
        int n = 0;
        EXPECT_EQ(jb.GetAudio10ms(block, n), 0);
        out.insert(out.end(), block, block + n);
    }
    return out;
}

void addCodecs(JbFixed& jb) {
    jb.AddCodec(0, "PCMU", 8000);
    jb.AddCodec(8, "PCMA", 8000);
    jb.AddCodec(13, "CN", 8000);
    jb.AddCodec(101, "telephone-event", 8000);
}

// Where does reference start inside output (search by exact match of a run).
long findOffset(const std::vector<int16_t>& out, const std::vector<int16_t>& ref, size_t refAt) {
    for (size_t o = refAt; o + 400 < out.size(); ++o) {
        if (std::equal(ref.begin() + static_cast<long>(refAt), ref.begin() + static_cast<long>(refAt) + 400, out.begin() + static_cast<long>(o)))
            return static_cast<long>(o) - static_cast<long>(refAt);
    }
    return -1;
}

int maxStep(const int16_t* x, int n) {
    int m = 0;
    for (int i = 1; i < n; ++i) m = std::max(m, std::abs(x[i] - x[i - 1]));
    return m;
}

} // namespace

TEST(JbFixedTest, ReorderedAndDuplicatedPacketsPlayLikeAnOrderedStream) {
    const auto speech = SpeechLike(8000, 8000 * 3, 7);
    const auto ref = decoded(speech);
    auto clean = packetize(speech);

    auto messy = clean;
    // Swap neighbours (each pair arrives the wrong way round, 5 ms apart)
    // and send every fifth packet twice.
    for (size_t i = 0; i + 1 < messy.size(); i += 2) {
        std::swap(messy[i].packet, messy[i + 1].packet);
        messy[i + 1].us = messy[i].us + 5000;
    }
    std::vector<Arrival> dups;
    for (size_t i = 0; i < messy.size(); i += 5) dups.push_back({messy[i].us + 3000, messy[i].packet});
    messy.insert(messy.end(), dups.begin(), dups.end());

    JbFixed a, b;
    addCodecs(a);
    addCodecs(b);
    const auto outClean = run(a, clean, 3300);
    const auto outMessy = run(b, messy, 3300);

    // After the first second the start-up delay has been trimmed; from then
    // on both play the reference unchanged.
    const long offClean = findOffset(outClean, ref, 12000);
    const long offMessy = findOffset(outMessy, ref, 12000);
    ASSERT_GE(offClean, 0);
    ASSERT_GE(offMessy, 0);
    const auto sa = a.GetStats(), sb = b.GetStats();
    EXPECT_EQ(sa.late, 0u);
    // The very first packet to arrive is the second one; the first comes
    // 5 ms later, behind the timeline started by its successor.
    EXPECT_LE(sb.late, 1u);
    EXPECT_EQ(sb.duplicates, static_cast<uint32_t>(dups.size()));
    for (size_t i = 12000; i + 2000 < ref.size(); ++i) {
        ASSERT_EQ(outClean[i + static_cast<size_t>(offClean)], ref[i]) << i;
        ASSERT_EQ(outMessy[i + static_cast<size_t>(offMessy)], ref[i]) << i;
    }
}

TEST(JbFixedTest, LatePacketIsDroppedAndTheDelayGrows) {
    const auto tone = Tone(300, 8000, 8000 * 4, 6000);
    auto arrivals = packetize(tone);
    // Packet 50 (t = 1 s) arrives 120 ms late; everything else is on time.
    arrivals[50].us += 120000;
    JbFixed jb;
    addCodecs(jb);
    run(jb, arrivals, 4000);
    const auto s = jb.GetStats();
    EXPECT_EQ(s.late, 1u);
    EXPECT_GE(s.concealedBlocks, 1u);
    EXPECT_GE(s.expansions, 1u);
    // The same delay again later is absorbed: a second late packet of the
    // same size would now be in time.
    auto again = packetize(tone);
    again[50].us += 120000;
    again[150].us += 60000;
    JbFixed jb2;
    addCodecs(jb2);
    run(jb2, again, 4000);
    EXPECT_EQ(jb2.GetStats().late, 1u);
}

TEST(JbFixedTest, ExcessDelayShrinksWithoutLoss) {
    // The first second arrives 200 ms late in one burst, then the stream
    // runs on time: the buffer starts deep and must come down.
    const auto speech = SpeechLike(8000, 8000 * 8, 3);
    auto arrivals = packetize(speech);
    for (auto& a : arrivals) {
        if (a.us < 200000) a.us = 200000;
    }
    JbFixed jb;
    addCodecs(jb);
    run(jb, arrivals, 8000);
    const auto s = jb.GetStats();
    EXPECT_EQ(s.late, 0u);
    EXPECT_GT(s.compressions, 0u);
    EXPECT_LE(s.currentDelayMs, 60);
}

TEST(JbFixedTest, ConcealmentFillsAGapWithoutAClick) {
    const auto tone = Tone(250, 8000, 8000 * 2, 8000);
    const auto ref = decoded(tone);
    auto arrivals = packetize(tone);
    arrivals.erase(arrivals.begin() + 40); // 20 ms lost at t = 800 ms
    JbFixed jb;
    addCodecs(jb);
    const auto out = run(jb, arrivals, 2000);
    // Playout starts 40 ms (320 samples) before the first packet's time.
    const long off = 320;
    ASSERT_EQ(out[2000 + off], ref[2000]);
    const int natural = maxStep(ref.data() + 1000, 4000);
    const size_t gap = static_cast<size_t>(40 * 160 + off);
    // Around the gap: no jump bigger than the signal's own steepest step
    // (plus a little), and the gap is not silent.
    EXPECT_LE(maxStep(out.data() + gap - 80, 400), natural * 3 / 2);
    EXPECT_GT(Rms(out.data() + gap, 160), 3000);
    EXPECT_EQ(jb.GetStats().late, 0u);

    // Without concealment the gap is silence.
    JbFixed plain;
    addCodecs(plain);
    plain.SetConcealment(false);
    const auto silent = run(plain, arrivals, 2000);
    EXPECT_LT(Rms(silent.data() + gap + 10, 140), 1.0);
}

// A voiced sound: harmonics of a pitch that glides from 120 to 140 Hz.
std::vector<int16_t> glidingVowel(int samples) {
    std::vector<int16_t> x(static_cast<size_t>(samples));
    double phase = 0;
    for (int i = 0; i < samples; ++i) {
        const double f0 = 120.0 + 20.0 * i / samples;
        phase += 2 * M_PI * f0 / 8000;
        double v = 0;
        for (int h = 1; h <= 12; ++h) v += std::sin(h * phase + 0.3 * h) / h;
        x[static_cast<size_t>(i)] = static_cast<int16_t>(6000 * v);
    }
    return x;
}

double snrDb(const int16_t* ref, const int16_t* x, int n) {
    double es = 0, ee = 0;
    for (int i = 0; i < n; ++i) {
        es += static_cast<double>(ref[i]) * ref[i];
        ee += (static_cast<double>(ref[i]) - x[i]) * (static_cast<double>(ref[i]) - x[i]);
    }
    return 10 * std::log10((es + 1e-9) / (ee + 1e-9));
}

TEST(JbFixedTest, ConcealedGapInAVoicedSoundStaysCloseToTheOriginal) {
    const auto vowel = glidingVowel(8000);
    const auto ref = decoded(vowel);
    struct Case {
        const char* what;
        std::vector<int> lost;     // packets dropped
        int nextDelayMs;           // extra delay of the packet after the gap
        double minSnrDb;           // over the gap, against what was sent
    };
    const Case cases[] = {
        {"one packet, the next one already there", {30}, 0, 13.0},
        {"one packet, the next one arrives half way through", {30}, 30, 15.0},
        {"two packets in a row", {30, 31}, 0, 15.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto arrivals = packetize(vowel);
        const int after = c.lost.back() + 1;
        arrivals[static_cast<size_t>(after)].us += c.nextDelayMs * 1000;
        for (auto k = c.lost.rbegin(); k != c.lost.rend(); ++k) arrivals.erase(arrivals.begin() + *k);
        JbFixed jb;
        addCodecs(jb);
        const auto out = run(jb, arrivals, 1000);
        // Playout starts 40 ms (320 samples) before the first packet's time
        // and has not been stretched yet.
        const long off = 320;
        ASSERT_EQ(out[2000 + off], ref[2000]);
        const int gap = c.lost.front() * 160;
        const int len = static_cast<int>(c.lost.size()) * 160;
        EXPECT_GE(snrDb(ref.data() + gap, out.data() + gap + off, len), c.minSnrDb);
        // And the audio after the gap is the real one again.
        EXPECT_EQ(out[static_cast<size_t>(gap + len + 200 + off)], ref[static_cast<size_t>(gap + len + 200)]);
        EXPECT_EQ(jb.GetStats().late, 0u);
    }
}

TEST(JbFixedTest, ComfortNoiseAtTheSignalledLevel) {
    const auto tone = Tone(400, 8000, 8000, 5000);
    auto arrivals = packetize(tone);
    // After the speech a CN packet at -40 dBov, then nothing for a second.
    arrivals.push_back({1000000, MakeRtp(13, 1050, 5000 + 8000, kSsrc, {40})});
    JbFixed jb;
    addCodecs(jb);
    const auto out = run(jb, arrivals, 2200);
    const double rms = Rms(out.data() + 8000 * 3 / 2, 4000);
    EXPECT_NEAR(rms, 32768.0 * std::pow(10.0, -40.0 / 20.0), 150.0);
}

TEST(JbFixedTest, MalformedPacketsAreRejected) {
    JbFixed jb;
    addCodecs(jb);
    const std::vector<uint8_t> ok = MakeRtp(0, 1, 0, kSsrc, std::vector<uint8_t>(160, 0xFF));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int error;
    };
    auto mutate = [&](auto f) {
        auto b = ok;
        f(b);
        return b;
    };
    const std::vector<Case> cases = {
        {"empty", {}, JbFixed::kErrTooShort},
        {"11 bytes", std::vector<uint8_t>(ok.begin(), ok.begin() + 11), JbFixed::kErrTooShort},
        {"version 1", mutate([](auto& b) { b[0] = 0x40; }), JbFixed::kErrVersion},
        {"CSRCs past the end", mutate([](auto& b) { b[0] = 0x8F; b.resize(40); }), JbFixed::kErrHeader},
        {"extension past the end", mutate([](auto& b) { b[0] = 0x90; b[14] = 0xFF; b[15] = 0xFF; }), JbFixed::kErrHeader},
        {"padding too long", mutate([](auto& b) { b[0] = 0xA0; b.back() = 200; }), JbFixed::kErrHeader},
        {"padding zero", mutate([](auto& b) { b[0] = 0xA0; b.back() = 0; }), JbFixed::kErrHeader},
        {"unknown payload type", mutate([](auto& b) { b[1] = 99; }), JbFixed::kErrUnknownPayload},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(jb.InsertPacket(c.bytes.data(), static_cast<int>(c.bytes.size()), 0), -1);
        EXPECT_EQ(jb.LastError(), c.error);
    }
    JbFixed other;
    addCodecs(other);
    other.AddCodec(18, "G729", 8000);
    const auto g729 = MakeRtp(18, 1, 0, kSsrc, std::vector<uint8_t>(20, 1));
    EXPECT_EQ(other.InsertPacket(g729.data(), static_cast<int>(g729.size()), 0), -1);
    EXPECT_EQ(other.LastError(), JbFixed::kErrNoDecoder);
    EXPECT_EQ(other.InsertPacket(ok.data(), static_cast<int>(ok.size()), 0), 0);
}

TEST(JbFixedTest, RtcpFiguresFollowTheReceiveHistory) {
    struct Case {
        const char* name;
        uint16_t firstSeq;
        int packets;
        std::vector<int> lost;     // indexes not sent
        int jitterUs;              // arrivals alternate 0 / +jitterUs
        uint32_t extHighest;
        uint32_t cumulativeLost;
        uint8_t fraction;
        uint32_t jitterAbout;      // timestamp units
    };
    const std::vector<Case> cases = {
        {"clean", 100, 50, {}, 0, 149, 0, 0, 0},
        {"ten of a hundred lost", 0, 100, {3, 7, 11, 20, 21, 22, 50, 60, 70, 80}, 0, 99, 10, 25, 0},
        {"sequence wraps", 65530, 20, {}, 0, 65536 + 13, 0, 0, 0},
        {"alternating 10 ms", 1, 200, {}, 10000, 200, 0, 0, 80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JbFixed jb;
    addCodecs(jb);
        for (int i = 0; i < c.packets; ++i) {
            if (std::find(c.lost.begin(), c.lost.end(), i) != c.lost.end()) continue;
            const auto p = MakeRtp(0, static_cast<uint16_t>(c.firstSeq + i), static_cast<uint32_t>(160 * i), kSsrc,
                                   std::vector<uint8_t>(160, 0xFF));
            const int64_t at = static_cast<int64_t>(i) * 20000 + ((i % 2) ? c.jitterUs : 0);
            jb.InsertPacket(p.data(), static_cast<int>(p.size()), at);
        }
        uint8_t fraction = 0;
        uint32_t cumulative = 0, ext = 0, jitter = 0;
        ASSERT_EQ(jb.GetRtcpStatistics(fraction, cumulative, ext, jitter), 0);
        EXPECT_EQ(ext, c.extHighest);
        EXPECT_EQ(cumulative, c.cumulativeLost);
        EXPECT_EQ(fraction, c.fraction);
        EXPECT_NEAR(static_cast<double>(jitter), c.jitterAbout, 2.0);
        // A new interval without packets reports no fraction lost.
        jb.GetRtcpStatistics(fraction, cumulative, ext, jitter);
        EXPECT_EQ(fraction, 0);
        EXPECT_EQ(cumulative, c.cumulativeLost);
    }
}

TEST(JbFixedTest, OutputScaleSaturates) {
    const auto tone = Tone(500, 8000, 8000, 20000);
    JbFixed jb;
    addCodecs(jb);
    ASSERT_EQ(jb.SetOutputScale(2.0f), 0);
    EXPECT_EQ(jb.SetOutputScale(2.5f), -1);
    const auto out = run(jb, packetize(tone), 1000);
    int16_t peak = 0;
    for (int16_t v : out) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
    EXPECT_EQ(peak, 32767);
}
