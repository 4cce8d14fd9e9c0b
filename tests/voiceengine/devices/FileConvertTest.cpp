// File reading and playback into a channel: the WAV walk, the decoders,
// resampling to 16 kHz, loop and window handling and the play-file checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestSignals.h"
#include "voiceengine/FileConvert.h"
#include "voiceengine/Mixer.h"
#include "voiceengine/PlayPcm.h"

using namespace qf::test;

namespace {

struct Traces {
    std::vector<std::string> lines;
    FILEConvert::TraceFn fn() {
        return [this](int, const std::string& t) { lines.push_back(t); };
    }
    bool has(const std::string& t) const {
        for (const auto& l : lines)
            if (l == t) return true;
        return false;
    }
};

// Silent source standing in for a channel's jitter buffer.
class Silence : public MixerParticipant {
public:
    int GetAudio10ms(int16_t* out, int& samples) override {
        samples = 160;
        std::fill(out, out + 160, int16_t{0});
        return 0;
    }
};

std::vector<int16_t> readAll(FILEConvert& f, int maxBlocks = 100000) {
    std::vector<int16_t> out;
    int16_t block[160];
    for (int i = 0; i < maxBlocks; ++i) {
        const int r = f.Read10ms(block);
        if (r <= 0) break;
        out.insert(out.end(), block, block + 160);
    }
    return out;
}

} // namespace

struct HeaderCase {
    const char* name;
    std::string bytes;
    bool accepted;
    const char* trace;
};

TEST(FileConvertTest, WavWalkAcceptsAndRejectsHeaders) {
    const std::string tone = Pcm16Bytes(Tone(440, 16000, 1600));
    WavSpec pcm;
    auto with = [&](auto change) {
        WavSpec w = pcm;
        change(w);
        return MakeWav(w, tone);
    };
    std::string noData = MakeWav(pcm, tone);
    noData = noData.substr(0, 36); // RIFF + fmt only: the walk runs off the end
    std::string shortFmt = MakeWav(pcm, tone).substr(0, 28);
    std::string listChunk = "LIST";
    PutLe32(listChunk, 5);
    listChunk += "abcde";
    listChunk += '\0'; // chunks are padded to an even size
    const std::vector<HeaderCase> cases = {
        {"too short", "RIFF1234", false, "Not a wave file (too short)"},
        {"no RIFF", "RIFX" + MakeWav(pcm, tone).substr(4), false, "Not a wave file (does not have RIFF)"},
        {"no WAVE", MakeWav(pcm, tone).replace(8, 4, "AVI "), false, "Not a wave file (does not have WAVE)"},
        {"float", with([](WavSpec& w) { w.formatTag = 3; w.bits = 32; }), false,
         "setFormat: Coding format not supported 3"},
        {"extensible", with([](WavSpec& w) { w.formatTag = 0xFFFE; }), false,
         "setFormat: Coding format not supported 65534"},
        {"three channels", with([](WavSpec& w) { w.channels = 3; }), false, "setFormat: nChannels value invalid 3"},
        {"24 bit", with([](WavSpec& w) { w.bits = 24; }), false, "setFormat: nBitsPerSample value invalid 24"},
        {"96 kHz", with([](WavSpec& w) { w.rate = 96000; }), false,
         "setFormat: VE_ResamplerTo16_init(?,mode) failed mode=96"},
        {"6 kHz", with([](WavSpec& w) { w.rate = 6000; }), false,
         "setFormat: VE_ResamplerTo16_init(?,mode) failed mode=6"},
        {"fmt cut short", shortFmt, false, "FILEConvert::setFormat() File corrupted, reached EOF (reading fmt )"},
        {"no data chunk", noData, false, "FILEConvert::setFormat() File corrupted, reached EOF (reading other)"},
        {"odd LIST chunk before data", with([&](WavSpec& w) { w.extraChunkBeforeData = listChunk; }), true, ""},
        {"long fmt chunk", with([](WavSpec& w) { w.fmtExtra = 4; }), true, ""},
        {"44.1 kHz", with([](WavSpec& w) { w.rate = 44100; }), true, ""},
        {"mu-law", with([](WavSpec& w) { w.formatTag = 7; w.bits = 8; }), true, ""},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("h.wav");
        WriteFile(path, c.bytes);
        Traces t;
        FILEConvert f;
        f.SetTrace(t.fn());
        const int r = f.Open(std::fopen(path.c_str(), "rb"), FILEConvert::kFormatWav, 1.0f, 0, 0, false);
        EXPECT_EQ(r, c.accepted ? 0 : -1);
        if (!c.accepted) {
            EXPECT_TRUE(t.has(c.trace)) << (t.lines.empty() ? "(no trace)" : t.lines.back());
        } else {
            EXPECT_FALSE(readAll(f).empty());
        }
    }
}

TEST(FileConvertTest, CompandingFollowsG711) {
    const std::pair<uint8_t, int16_t> ulaw[] = {{0xFF, 0}, {0x7F, 0}, {0x80, 32124}, {0x00, -32124}, {0xD5, 716}};
    const std::pair<uint8_t, int16_t> alaw[] = {{0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}};
    for (const auto& [code, value] : ulaw) EXPECT_EQ(FILEConvert::UlawToLinear(code), value) << int(code);
    for (const auto& [code, value] : alaw) EXPECT_EQ(FILEConvert::AlawToLinear(code), value) << int(code);
}

TEST(FileConvertTest, EightBitSamplesMapToFullScale) {
    // 16 kHz needs no resampling, so the decoded values come out exactly.
    WavSpec w;
    w.bits = 8;
    std::string data;
    for (int i = 0; i < 160; ++i) data += static_cast<char>(i % 3 == 0 ? 0 : i % 3 == 1 ? 128 : 255);
    TempDir dir;
    WriteFile(dir.file("a.wav"), MakeWav(w, data));
    FILEConvert f;
    ASSERT_EQ(f.Open(std::fopen(dir.file("a.wav").c_str(), "rb"), FILEConvert::kFormatWav, 1.0f, 0, 0, false), 0);
    const auto out = readAll(f);
    ASSERT_EQ(out.size(), 160u);
    EXPECT_EQ(out[0], -32640);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 32385);
}

TEST(FileConvertTest, Stereo8BitAt11025PlaysAtTheRightPitchAndLength) {
    // Left: 1 kHz tone, right: silence. Averaged to mono the tone keeps its
    // pitch and has half the amplitude; one second of file gives 100 blocks.
    WavSpec w;
    w.rate = 11025;
    w.channels = 2;
    w.bits = 8;
    std::string data;
    for (int i = 0; i < 11025; ++i) {
        const double v = 100.0 * std::sin(2 * M_PI * 1000.0 * i / 11025.0);
        data += static_cast<char>(128 + static_cast<int>(std::lround(v)));
        data += static_cast<char>(128);
    }
    TempDir dir;
    WriteFile(dir.file("s.wav"), MakeWav(w, data));
    FILEConvert f;
    ASSERT_EQ(f.Open(std::fopen(dir.file("s.wav").c_str(), "rb"), FILEConvert::kFormatWav, 1.0f, 0, 0, false), 0);
    EXPECT_EQ(f.SampleRate(), 11025);
    EXPECT_EQ(f.DurationMs(), 1000);
    const auto out = readAll(f);
    EXPECT_NEAR(static_cast<int>(out.size()) / 160, 100, 1);
    const int16_t* mid = out.data() + 3200;
    const double at1k = ToneEnergy(mid, 8000, 1000, 16000);
    const double at1k5 = ToneEnergy(mid, 8000, 1500, 16000);
    EXPECT_GT(at1k, 1000 * at1k5);
    // 100 * 255 / 2 = 12750 expected amplitude after averaging.
    EXPECT_NEAR(Rms(mid, 8000) * std::sqrt(2.0), 12750, 700);
}

TEST(FileConvertTest, LoopRestartsAndNoLoopEndsWithPaddedBlock) {
    // A 255 ms ring tone: 25 full blocks and one padded with silence.
    const auto tone = Tone(425, 16000, 16000 * 255 / 1000, 9000);
    TempDir dir;
    WriteFile(dir.file("ring.wav"), MakeWav(WavSpec{}, Pcm16Bytes(tone)));

    Mixer mixer;
    Silence silence;
    mixer.Init();
    ASSERT_EQ(mixer.Register(0, &silence), 0);
    ASSERT_EQ(mixer.AddChannel(0), 1);

    int error = 0;
    ASSERT_EQ(PlayPcm::Start(mixer, 0, dir.file("ring.wav").c_str(), 0, 1, 1.0f, 0, 0, error), 0);
    std::vector<int16_t> once;
    int16_t out[480];
    int n = 0;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(mixer.Get(16000, 1, out, n), 0);
        once.insert(once.end(), out, out + n);
    }
    EXPECT_FALSE(mixer.IsPlayingFile(0));
    EXPECT_EQ(std::vector<int16_t>(once.begin(), once.begin() + 4080), tone);
    for (size_t i = 4080; i < once.size(); ++i) ASSERT_EQ(once[i], 0) << i;

    ASSERT_EQ(PlayPcm::Start(mixer, 0, dir.file("ring.wav").c_str(), 1, 1, 1.0f, 0, 0, error), 0);
    std::vector<int16_t> looped;
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(mixer.Get(16000, 1, out, n), 0);
        looped.insert(looped.end(), out, out + n);
    }
    EXPECT_TRUE(mixer.IsPlayingFile(0));
    // The second pass starts again with the file's first samples.
    EXPECT_EQ(std::vector<int16_t>(looped.begin() + 4080, looped.begin() + 8160), tone);
    EXPECT_GT(Rms(looped.data() + 8160, 1600), 5000);
    EXPECT_EQ(mixer.StopFile(0), 0);
    EXPECT_FALSE(mixer.IsPlayingFile(0));
}

TEST(FileConvertTest, PlayChecksArgumentsInOrder) {
    TempDir dir;
    // Raw 16 kHz PCM whose samples count the milliseconds: 500 ms.
    std::vector<int16_t> ramp(8000);
    for (int i = 0; i < 8000; ++i) ramp[static_cast<size_t>(i)] = static_cast<int16_t>(i / 16);
    WriteFile(dir.file("ramp.pcm"), Pcm16Bytes(ramp));
    WriteFile(dir.file("bad.wav"), "RIFF....WAVEjunk");
    const std::string ramp16 = dir.file("ramp.pcm");

    Mixer mixer;
    Silence silence;
    mixer.Init();
    mixer.Register(0, &silence);
    mixer.Register(1, &silence);
    mixer.AddChannel(0);

    struct Case {
        const char* name;
        int channel;
        std::string file;
        int format;
        float scale;
        int start, stop;
        int result, error;
    };
    const std::vector<Case> cases = {
        {"missing file", 0, dir.file("none.wav"), 1, 1.0f, 0, 0, -1, 10016},
        {"scale 1.5", 0, ramp16, 0, 1.5f, 0, 0, -1, 10021},
        {"negative scale", 0, ramp16, 0, -0.1f, 0, 0, -1, 10021},
        {"10 ms window", 0, ramp16, 0, 1.0f, 0, 10, -1, 10021},
        {"10 ms window later", 0, ramp16, 0, 1.0f, 100, 110, -1, 10021},
        {"start after stop", 0, ramp16, 0, 1.0f, 200, 100, -1, 10021},
        {"empty window", 0, ramp16, 0, 1.0f, 50, 50, -1, 10021},
        {"start beyond the file", 0, ramp16, 0, 1.0f, 600, 700, -1, 10021},
        {"not a wave file", 0, dir.file("bad.wav"), 1, 1.0f, 0, 0, -1, 10016},
        {"iLBC cannot be decoded", 0, ramp16, 2, 1.0f, 0, 0, -1, 10016},
        {"channel not playing", 1, ramp16, 0, 1.0f, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int error = 0;
        std::vector<std::string> traces;
        const int r = PlayPcm::Start(mixer, c.channel, c.file.c_str(), 0, c.format, c.scale, c.start, c.stop, error,
                                     [&](int, const std::string& t) { traces.push_back(t); });
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(mixer.IsPlayingFile(c.channel));
        if (c.channel == 1) {
            ASSERT_FALSE(traces.empty());
            EXPECT_EQ(traces.back(), "VE_PlayFile can only be used while VE_StartPlayout is active");
        }
    }

    // A valid window plays exactly that part, scaled.
    int error = 0;
    ASSERT_EQ(PlayPcm::Start(mixer, 0, ramp16.c_str(), 0, 0, 0.5f, 100, 300, error), 0);
    // Only one file per channel.
    EXPECT_EQ(PlayPcm::Start(mixer, 0, ramp16.c_str(), 0, 0, 1.0f, 0, 0, error), -1);
    EXPECT_EQ(error, 10016);
    std::vector<int16_t> got;
    int16_t out[160];
    int n = 0;
    for (int i = 0; i < 30; ++i) {
        // Half way the scale goes to 1; out of range is refused.
        if (i == 10) {
            EXPECT_EQ(mixer.SetFileScale(0, 1.5f), -1);
            EXPECT_EQ(mixer.SetFileScale(0, 1.0f), 0);
        }
        mixer.Get(16000, 1, out, n);
        got.insert(got.end(), out, out + n);
    }
    EXPECT_EQ(got[0], 50);          // 100 ms * 0.5
    EXPECT_EQ(got[1599], 99);       // 199 ms * 0.5
    EXPECT_EQ(got[1600], 200);      // 200 ms at full scale
    EXPECT_EQ(got[3199], 299);
    EXPECT_EQ(got[3200], 0);        // stop position reached
    EXPECT_FALSE(mixer.IsPlayingFile(0));
}

TEST(FileConvertTest, RawEightKilohertzIsResampled) {
    TempDir dir;
    WriteFile(dir.file("t.pcm"), Pcm16Bytes(Tone(700, 8000, 8000)));
    FILEConvert f;
    ASSERT_EQ(f.Open(std::fopen(dir.file("t.pcm").c_str(), "rb"), FILEConvert::kFormatPcm8k, 1.0f, 0, 0, false), 0);
    const auto out = readAll(f);
    EXPECT_NEAR(static_cast<int>(out.size()), 16000, 160);
    EXPECT_GT(ToneEnergy(out.data() + 1600, 8000, 700, 16000), 1000 * ToneEnergy(out.data() + 1600, 8000, 1400, 16000));
}
