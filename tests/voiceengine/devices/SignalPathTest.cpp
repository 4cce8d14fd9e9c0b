// Resampling, the voice quality processor, the playout mixer and the
// capture side.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestSignals.h"
#include "voiceengine/Mixer.h"
#include "voiceengine/Resampler.h"
#include "voiceengine/TxDemux.h"
#include "voiceengine/Vqe.h"

using namespace qf::test;

namespace {

// A channel source that plays a fixed signal block after block.
class Source : public MixerParticipant {
public:
    Source(std::vector<int16_t> signal, int blockSamples) : m_signal(std::move(signal)), m_block(blockSamples) {}
    int GetAudio10ms(int16_t* out, int& samples) override {
        ++pulls;
        samples = m_block;
        for (int i = 0; i < m_block; ++i) out[i] = m_signal[(m_pos + static_cast<size_t>(i)) % m_signal.size()];
        m_pos += static_cast<size_t>(m_block);
        return 0;
    }
    int pulls = 0;

private:
    std::vector<int16_t> m_signal;
    int m_block;
    size_t m_pos = 0;
};

std::vector<int16_t> pull(Mixer& m, int rate, int blocks, int channels = 1) {
    std::vector<int16_t> out;
    int16_t buf[960];
    for (int b = 0; b < blocks; ++b) {
        int n = 0;
        EXPECT_EQ(m.Get(rate, channels, buf, n), 0);
        EXPECT_EQ(n, rate / 100);
        out.insert(out.end(), buf, buf + n * channels);
    }
    return out;
}

} // namespace

TEST(ResamplerTest, BlockConversionsKeepPitchAndSize) {
    struct Case {
        int from, to;
    };
    const Case cases[] = {{48000, 16000}, {16000, 48000}, {16000, 8000}, {8000, 16000}, {44000, 16000}, {11025, 16000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + "->" + std::to_string(c.to));
        Resampler r;
        ASSERT_EQ(r.Init(c.from, c.to), 0);
        const auto in = Tone(700, c.from, c.from, 8000);
        std::vector<int16_t> out;
        const int inBlock = c.from / 100, outBlock = c.to / 100;
        std::vector<int16_t> buf(static_cast<size_t>(outBlock));
        for (int b = 0; b < 100; ++b) {
            ASSERT_EQ(r.ProcessBlock(in.data() + b * inBlock, inBlock, buf.data(), outBlock), outBlock);
            out.insert(out.end(), buf.begin(), buf.end());
        }
        const int16_t* steady = out.data() + c.to / 10;
        const int len = c.to / 2;
        EXPECT_NEAR(Rms(steady, len), 8000 / std::sqrt(2.0), 400);
        EXPECT_GT(ToneEnergy(steady, len, 700, c.to), 1000 * ToneEnergy(steady, len, 1100, c.to));
    }
    Resampler bad;
    EXPECT_EQ(bad.Init(500, 16000), -1);
    int16_t x[10] = {};
    EXPECT_EQ(bad.ProcessBlock(x, 10, x, 10), -1);
}

TEST(VqeTest, ConfigurationChecks) {
    struct Case {
        VQEConfig c;
        int error;
    };
    const Case cases[] = {
        {{11025, 100, 500, 0, 256}, 11001}, {{16000, 9, 500, 0, 256}, 11002},   {{16000, 101, 500, 0, 256}, 11003},
        {{16000, 100, 9, 0, 256}, 11004},   {{16000, 100, 601, 0, 256}, 11005}, {{16000, 100, 50, 0, 256}, 11006},
        {{16000, 100, 500, -1, 256}, 11007}, {{16000, 100, 500, 0, -1}, 11008},  {{16000, 100, 500, 300, 256}, 11009},
        {{16000, 100, 500, 0, 256}, 0},      {{8000, 10, 10, 0, 0}, 0},
    };
    for (const auto& k : cases) {
        VQE v;
        const int r = v.Create(k.c, false);
        EXPECT_EQ(r, k.error ? -1 : 0) << k.error;
        EXPECT_EQ(v.GetLastError(), k.error);
    }
    VQE v;
    ASSERT_EQ(v.Create(VQEConfig{}, false), 0);
    EXPECT_EQ(v.Init(32000), -1);
    EXPECT_EQ(v.GetLastError(), VQE::kErrRate);
    ASSERT_EQ(v.Init(8000), 0);
    int16_t block[160] = {};
    int level = 0;
    EXPECT_EQ(v.ProcessNearEnd(block, block, 160, 0, 100, level), VQE::kErrBlockLength);

    char text[200];
    EXPECT_EQ(VQE::Version(text, 170), -1);
    ASSERT_GT(VQE::Version(text, sizeof text), 0);
    EXPECT_EQ(std::string(text),
              "VQE PC\t1.0.16\nAEC PC\t1.4.3\nAES\t1.1.0\nAGC\t1.2.0\nNS \t1.0.1\nVAD\t1.0.5\n");
}

TEST(VqeTest, EchoCancellerRemovesADelayedRoomEcho) {
    // Far end: speech-like signal. Microphone: the far end 60 ms later
    // through a short decaying room response, 10 dB quieter, plus a little
    // noise. After convergence the echo must be down by at least 20 dB.
    const int rate = 16000, n = 160, seconds = 10, delayMs = 60;
    VQE v;
    ASSERT_EQ(v.Create(VQEConfig{}, false), 0);
    ASSERT_EQ(v.Init(rate), 0);
    ASSERT_EQ(v.SetEchoMode(1, false), 0);
    const auto far = SpeechLike(rate, rate * seconds, 11);
    std::vector<double> room(400);
    uint32_t seed = 5;
    for (size_t i = 0; i < room.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        room[i] = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * std::exp(-static_cast<double>(i) / 60.0) * 0.25;
    }
    room[0] = 0.3;
    const int d = delayMs * rate / 1000;
    double inE = 0, outE = 0;
    std::vector<int16_t> mic(static_cast<size_t>(n)), out(static_cast<size_t>(n)), farBlock(static_cast<size_t>(n));
    for (int b = 0; b < seconds * 100; ++b) {
        for (int i = 0; i < n; ++i) {
            const int t = b * n + i;
            double e = 0;
            for (size_t k = 0; k < room.size(); ++k) {
                const int s = t - d - static_cast<int>(k);
                if (s >= 0) e += room[k] * far[static_cast<size_t>(s)];
            }
            mic[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp(e, -32768.0, 32767.0));
            farBlock[static_cast<size_t>(i)] = far[static_cast<size_t>(t)];
        }
        ASSERT_EQ(v.ProcessFarEnd(farBlock.data(), n), 0);
        int level = 0;
        ASSERT_EQ(v.ProcessNearEnd(mic.data(), out.data(), n, delayMs, 128, level), 0);
        if (b >= 500) {
            for (int i = 0; i < n; ++i) {
                inE += static_cast<double>(mic[static_cast<size_t>(i)]) * mic[static_cast<size_t>(i)];
                outE += static_cast<double>(out[static_cast<size_t>(i)]) * out[static_cast<size_t>(i)];
            }
        }
    }
    const double erle = 10 * std::log10(inE / (outE + 1.0));
    EXPECT_GE(erle, 20.0);
    EXPECT_EQ(v.GetEchoActivity(), v.GetEchoActivity()); // readable at any time
}

TEST(MixerTest, MixesWithSaturationAndDeliversEveryRate) {
    Mixer m;
    m.Init();
    Source loud(std::vector<int16_t>(160, 30000), 160);
    Source narrow(Tone(500, 8000, 8000, 8000), 80); // 8 kHz, doubled to 16 kHz
    ASSERT_EQ(m.Register(0, &loud), 0);
    ASSERT_EQ(m.Register(1, &narrow), 0);
    EXPECT_EQ(m.AddChannel(5), -1); // not registered
    EXPECT_EQ(m.AddChannel(0), 1);
    EXPECT_EQ(m.AddChannel(1), 2);
    auto out = pull(m, 16000, 20);
    // 30000 plus a tone always saturates at the top.
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);

    EXPECT_EQ(m.RemoveChannel(0), 1);
    for (int rate : {8000, 16000, 48000}) {
        SCOPED_TRACE(rate);
        out = pull(m, rate, 50);
        const int16_t* s = out.data() + rate / 10;
        EXPECT_GT(ToneEnergy(s, rate * 3 / 10, 500, rate), 1000 * ToneEnergy(s, rate * 3 / 10, 900, rate));
    }
    int16_t buf[960];
    int n = 0;
    EXPECT_EQ(m.Get(44100, 1, buf, n), -1);
    EXPECT_EQ(m.Get(32000, 1, buf, n), -1);

    // On hold the channel is silent but its buffer is still drained.
    const int before = narrow.pulls;
    m.SetHold(1, true);
    out = pull(m, 16000, 10);
    EXPECT_EQ(Rms(out.data(), static_cast<int>(out.size())), 0.0);
    EXPECT_EQ(narrow.pulls, before + 10);
    m.SetHold(1, false);

    EXPECT_EQ(m.RemoveChannel(1), 0);
    EXPECT_TRUE(m.IsIdle());
    out = pull(m, 48000, 5);
    // Past the resampler's short tail the idle mixer is silent.
    EXPECT_EQ(Rms(out.data() + 960, 480 * 3), 0.0);
}

TEST(MixerTest, PanningGivesSeparateSidesAndAnAveragedMono) {
    Mixer m;
    m.Init();
    Source src(std::vector<int16_t>(160, 10000), 160);
    m.Register(0, &src);
    m.AddChannel(0);
    ASSERT_EQ(m.SetChannelPan(0, 1.0f, 0.0f), 0);
    EXPECT_EQ(m.SetChannelPan(0, 2.5f, 0.0f), -1);
    auto stereo = pull(m, 16000, 3, 2);
    EXPECT_EQ(stereo[200], 10000); // left
    EXPECT_EQ(stereo[201], 0);     // right
    auto mono = pull(m, 16000, 3, 1);
    EXPECT_EQ(mono[100], 5000);
    ASSERT_EQ(m.SetMasterGain(0.5f, 1.0f), 0);
    ASSERT_EQ(m.SetChannelPan(0, 1.0f, 1.0f), 0);
    stereo = pull(m, 16000, 3, 2);
    EXPECT_EQ(stereo[200], 5000);
    EXPECT_EQ(stereo[201], 10000);
}

TEST(MixerTest, LocalDtmfToneHasBothFrequenciesAndItsLength) {
    struct Case {
        int event;
        double low, high;
    };
    const Case cases[] = {{1, 697, 1209}, {0, 941, 1336}, {11, 941, 1477}, {15, 941, 1633}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        Mixer m;
        m.Init(); // idle: tones sound all the same
        ASSERT_EQ(m.PlayDtmfTone(c.event, 100, 10), 0);
        auto out = pull(m, 16000, 12);
        const int16_t* tone = out.data() + 160;
        const double lo = ToneEnergy(tone, 1280, c.low, 16000);
        const double hi = ToneEnergy(tone, 1280, c.high, 16000);
        const double other = ToneEnergy(tone, 1280, 1000, 16000);
        EXPECT_GT(lo, 100 * other);
        EXPECT_GT(hi, 100 * other);
        EXPECT_GT(Rms(out.data() + 1580, 10), 0.0);    // still sounding at 99 ms
        EXPECT_EQ(Rms(out.data() + 1600, 320), 0.0);   // over after 100 ms
        EXPECT_FALSE(m.IsTonePlaying());
    }
    Mixer m;
    EXPECT_EQ(m.PlayDtmfTone(16, 100, 10), -1);
    EXPECT_EQ(m.PlayDtmfTone(1, 100, 37), -1);
}

TEST(MixerTest, FeedsTheFarEndToEchoControl) {
    Mixer m;
    m.Init();
    Source src(Tone(300, 16000, 16000, 6000), 160);
    m.Register(0, &src);
    m.AddChannel(0);
    VQE v;
    ASSERT_EQ(v.Create(VQEConfig{}, false), 0);
    ASSERT_EQ(v.Init(8000), 0);
    v.SetEchoMode(1, false);
    m.SetVqe(&v);
    std::vector<std::string> traces;
    m.SetTrace([&](int, const std::string& t) { traces.push_back(t); });
    m.SetEchoControl(true, false);
    pull(m, 48000, 10);
    EXPECT_TRUE(std::none_of(traces.begin(), traces.end(), [](const std::string& t) { return t.find("VQE_speaker") != std::string::npos; }));
    // The processor now holds the far end: a microphone block equal to the
    // (downsampled) far end is recognised as echo activity.
    int16_t mic[80] = {};
    int level = 0;
    ASSERT_EQ(v.ProcessNearEnd(mic, mic, 80, 0, 100, level), 0);
    EXPECT_EQ(v.GetEchoActivity(), 1);

    // A processor at the wrong block size reports, and playout goes on.
    VQE broken;
    m.SetVqe(&broken);
    auto out = pull(m, 16000, 2);
    EXPECT_GT(Rms(out.data(), 320), 1000);
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [](const std::string& t) {
        return t == "\tVQE_speaker call error (warning code = 11010)";
    }));
}

TEST(TxDemuxTest, RateChoiceConversionMuteAndFallback) {
    Tx_Demux tx;
    struct Got {
        int channel, count, rate;
        double rms;
        size_t csrcs;
    };
    std::vector<Got> got;
    tx.SetSink([&](int ch, const int16_t* s, int count, int rate, const std::vector<uint32_t>& csrcs) {
        got.push_back({ch, count, rate, Rms(s, count), csrcs.size()});
    });
    std::vector<std::string> traces;
    tx.SetTrace([&](int, const std::string& t) { traces.push_back(t); });
    const auto mic48 = Tone(440, 48000, 48000, 8000);

    ASSERT_EQ(tx.EnableChannel(0, 8000), 0);
    ASSERT_EQ(tx.EnableChannel(1, 8000), 0);
    tx.SetMute(1, true);
    for (int b = 0; b < 20; ++b) EXPECT_EQ(tx.send(mic48.data() + b * 480, 480, 48000, 40, 100), 100);
    EXPECT_EQ(tx.ProcessingRate(), 8000);
    ASSERT_EQ(got.size(), 40u);
    EXPECT_EQ(got.back().rate, 8000);
    EXPECT_EQ(got.back().count, 80);
    EXPECT_GT(got[38].rms, 4000); // channel 0
    EXPECT_EQ(got[39].rms, 0.0);  // channel 1, muted

    // A 16 kHz codec on channel 0 lifts processing to 16 kHz; channel 1
    // still gets 8 kHz.
    got.clear();
    tx.SetMute(1, false);
    tx.SetCodecRate(0, 16000);
    for (int b = 0; b < 20; ++b) tx.send(mic48.data() + b * 480, 480, 48000, 40, 100);
    EXPECT_EQ(tx.ProcessingRate(), 16000);
    EXPECT_EQ(got[38].rate, 16000);
    EXPECT_EQ(got[38].count, 160);
    EXPECT_EQ(got[39].rate, 8000);
    EXPECT_GT(got[39].rms, 4000);

    // The processor follows the rate even after someone else reset it.
    VQE v;
    ASSERT_EQ(v.Create(VQEConfig{}, false), 0);
    tx.SetVqe(&v);
    tx.send(mic48.data(), 480, 48000, 40, 100);
    EXPECT_EQ(v.SamplingRate(), 16000);
    tx.SetCodecRate(0, 8000);
    ASSERT_EQ(v.Reset(16000), 0);
    traces.clear();
    tx.send(mic48.data(), 480, 48000, 40, 100);
    EXPECT_EQ(v.SamplingRate(), 8000);
    EXPECT_TRUE(std::none_of(traces.begin(), traces.end(), [](const std::string& t) { return t.find("VQE error") != std::string::npos; }));
    tx.SetCodecRate(0, 16000);
    tx.SetVqe(nullptr);

    // Unsupported input.
    EXPECT_EQ(tx.send(mic48.data(), 220, 22050, 40, 100), -1);
    EXPECT_EQ(tx.send(mic48.data(), 100, 48000, 40, 100), -1);

    // A processor that fails: the raw block is sent and the failure traced.
    VQE broken;
    tx.SetVqe(&broken);
    got.clear();
    tx.send(mic48.data(), 480, 48000, 70, 100);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_GT(got[0].rms, 1000);
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [](const std::string& t) {
        return t == "\tVQE error (returnVal = 11010 msecInSndCardOutBuf = 70)";
    }));
}

TEST(TxDemuxTest, SettingsMapToTheProcessor) {
    Tx_Demux tx;
    VQE v;
    ASSERT_EQ(v.Create(VQEConfig{}, false), 0);
    tx.SetVqe(&v);
    struct Case {
        int ec, ecType, nr, policy, agc, agcType;
        int echoMode;
        bool option;
        int noise, gain;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 1, 2, 0, false, 0, 3}, {1, 0, 1, 0, 1, 0, 1, false, 1, 1}, {2, 0, 1, 2, 0, 2, 1, true, 3, 0},
        {1, 1, 0, 1, 1, 1, 2, false, 0, 2}, {2, 1, 1, 1, 1, 2, 2, true, 2, 3},
    };
    for (const auto& c : cases) {
        tx.SetECStatus(c.ec);
        tx.SetECType(c.ecType);
        tx.SetNRStatus(c.nr);
        tx.SetNRpolicy(c.policy);
        tx.SetAGCStatus(c.agc);
        tx.SetAGCType(c.agcType);
        EXPECT_EQ(v.GetEchoStatus(), c.echoMode);
        EXPECT_EQ(v.GetEchoOption(), c.option);
        EXPECT_EQ(v.GetNoiseLevel(), c.noise);
        EXPECT_EQ(v.GetGainMode(), c.gain);
    }
    EXPECT_EQ(tx.SetECType(2), -1);
    EXPECT_EQ(tx.SetNRpolicy(3), -1);
    EXPECT_EQ(tx.SetAGCType(3), -1);
}

TEST(TxDemuxTest, ConferenceAddsParticipantsAndLimitsCsrcs) {
    Tx_Demux tx;
    std::vector<Source> sources;
    sources.reserve(18);
    for (int i = 0; i < 18; ++i) sources.emplace_back(std::vector<int16_t>(160, 100), 80);
    for (int ch = 0; ch < 18; ++ch) {
        tx.SetConferenceSource(ch, &sources[static_cast<size_t>(ch)], 1000u + static_cast<uint32_t>(ch));
        tx.AddToConference(ch, true);
    }
    tx.EnableChannel(0, 8000);
    std::vector<uint32_t> seen;
    double level = 0;
    tx.SetSink([&](int, const int16_t* s, int count, int, const std::vector<uint32_t>& csrcs) {
        seen = csrcs;
        level = s[count / 2];
    });
    std::vector<std::string> traces;
    tx.SetTrace([&](int, const std::string& t) { traces.push_back(t); });
    std::vector<int16_t> silence(480, 0);
    tx.send(silence.data(), 480, 48000, 0, 0);
    EXPECT_EQ(seen.size(), 15u);
    EXPECT_EQ(seen.front(), 1001u);
    // The other 17 participants, 100 each (mixed at 16 kHz, sent at 8 kHz).
    EXPECT_NEAR(level, 1700, 20);
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(),
                            [](const std::string& t) { return t == "Limiting the numbers of CSRCs to 15 from 17"; }));
}

TEST(TxDemuxTest, FileAsMicrophoneAndMicrophoneRecording) {
    TempDir dir;
    WriteFile(dir.file("mic.pcm"), Pcm16Bytes(Tone(600, 16000, 1600, 6000))); // 100 ms
    Tx_Demux tx;
    std::vector<int16_t> sent;
    tx.SetSink([&](int, const int16_t* s, int count, int, const std::vector<uint32_t>&) { sent.insert(sent.end(), s, s + count); });
    tx.EnableChannel(0, 8000);
    ASSERT_EQ(tx.PlayFileAsMic(std::fopen(dir.file("mic.pcm").c_str(), "rb"), FILEConvert::kFormatPcm16k, 1.0f, false), 0);
    EXPECT_EQ(tx.PlayFileAsMic(std::fopen(dir.file("mic.pcm").c_str(), "rb"), FILEConvert::kFormatPcm16k, 1.0f, false), -1);
    ASSERT_EQ(tx.StartRecordingMicrophone(std::fopen(dir.file("rec.pcm").c_str(), "wb")), 0);
    const auto mic = Tone(1000, 48000, 480 * 15, 4000);
    for (int b = 0; b < 15; ++b) tx.send(mic.data() + b * 480, 480, 48000, 0, 0);
    EXPECT_EQ(tx.ProcessingRate(), 16000);
    EXPECT_FALSE(tx.IsPlayingFileAsMic()); // 100 ms played, then released
    tx.StopRecordingMicrophone();
    // The channel (8 kHz codec) carries the microphone and the file; the
    // recording (16 kHz) holds the microphone alone.
    ASSERT_EQ(sent.size(), 15u * 80u);
    EXPECT_GT(ToneEnergy(sent.data() + 160, 480, 600, 8000), 100 * ToneEnergy(sent.data() + 160, 480, 1500, 8000));
    EXPECT_GT(ToneEnergy(sent.data() + 160, 480, 1000, 8000), 100 * ToneEnergy(sent.data() + 160, 480, 1500, 8000));
    EXPECT_LT(ToneEnergy(sent.data() + 880, 240, 600, 8000), ToneEnergy(sent.data() + 880, 240, 1000, 8000) / 100);
    const std::string rec = ReadFile(dir.file("rec.pcm"));
    ASSERT_EQ(rec.size(), 15u * 320u);
    std::vector<int16_t> recorded(rec.size() / 2);
    std::memcpy(recorded.data(), rec.data(), rec.size());
    EXPECT_GT(ToneEnergy(recorded.data() + 320, 960, 1000, 16000), 100 * ToneEnergy(recorded.data() + 320, 960, 600, 16000));
}
