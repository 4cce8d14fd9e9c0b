#include "support/TempDir.h"
#include "voiceengine/FileSndCardStream.h"
#include "voiceengine/WavFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// Records what the card hands over and answers play requests with a ramp.
class FakeEngine : public VESndCardCallback {
public:
    int NeedMorePlayData(int16_t* buffer, int& samplesOut, int, int samplesWanted, int) override {
        for (int i = 0; i < samplesWanted; ++i)
            buffer[i] = static_cast<int16_t>(played++);
        samplesOut = samplesWanted;
        return 0;
    }
    int RecordedDataIsAvailable(const int16_t* samples, int count, int, int, int, int) override {
        recorded.insert(recorded.end(), samples, samples + count);
        return 0;
    }
    int ProblemIsReported(int) override { return 0; }
    int InitializationIsComplete(int e) override { return e; }
    int played = 0;
    std::vector<int16_t> recorded;
};

TEST(WavFileTest, WritesReadsAndConvertsFormats) {
    qf::test::TempDir dir;
    std::vector<int16_t> ramp(1000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<int16_t>(i * 30 - 15000);
    ASSERT_TRUE(wavfile::Write(dir.file("a.wav"), ramp, 16000));
    std::vector<int16_t> back;
    int rate = 0;
    ASSERT_TRUE(wavfile::Read(dir.file("a.wav"), back, rate));
    EXPECT_EQ(16000, rate);
    EXPECT_EQ(ramp, back);

    // 8-bit stereo with an odd chunk before the data: averaged to mono.
    std::string f("RIFF\0\0\0\0WAVE", 12);
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) f.push_back(static_cast<char>((v >> (8 * i)) & 0xff)); };
    auto put16 = [&](uint16_t v) { f.push_back(static_cast<char>(v & 0xff)); f.push_back(static_cast<char>(v >> 8)); };
    f += "LIST"; put32(3); f += "abc"; f.push_back('\0');
    f += "fmt "; put32(16); put16(1); put16(2); put32(11025); put32(22050); put16(2); put16(8);
    f += "data"; put32(4);
    f += std::string("\x80\xFF\x00\x80", 4);
    qf::test::WriteFile(dir.file("b.wav"), f);
    ASSERT_TRUE(wavfile::Read(dir.file("b.wav"), back, rate));
    EXPECT_EQ(11025, rate);
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ((0 + 127 * 256) / 2, back[0]);
    EXPECT_EQ((-128 * 256 + 0) / 2, back[1]);

    qf::test::WriteFile(dir.file("c.wav"), "RIFF\0\0\0\0WAVX");
    std::string error;
    EXPECT_FALSE(wavfile::Read(dir.file("c.wav"), back, rate, &error));
    EXPECT_FALSE(wavfile::Read(dir.file("missing.wav"), back, rate));
    EXPECT_EQ(480u, wavfile::Resample(std::vector<int16_t>(80, 5), 8000, 48000).size());
}

TEST(FileSoundCardTest, SteppedBlocksKeepMicAndSpeakerAligned) {
    qf::test::TempDir dir;
    std::vector<int16_t> mic(48000 / 10); // 100 ms at 48 kHz
    for (size_t i = 0; i < mic.size(); ++i)
        mic[i] = static_cast<int16_t>(i);
    wavfile::Write(dir.file("mic.wav"), mic, 48000);

    FakeEngine engine;
    VEFileSndCardStream::Config c;
    c.micFile = dir.file("mic.wav");
    c.speakerFile = dir.file("spk.wav");
    c.paced = false;
    VEFileSndCardStream card(&engine, c);
    ASSERT_TRUE(card.MicFileOk());
    ASSERT_EQ(0, card.StartThread());
    EXPECT_EQ(-6, card.StartPlayout()); // not initialised
    card.Step();                         // nothing runs yet: silence out, mic moves on
    ASSERT_EQ(0, card.InitPlayout());
    ASSERT_EQ(0, card.StartPlayout());
    ASSERT_EQ(0, card.InitRecording());
    ASSERT_EQ(0, card.StartRecording());
    card.Step();
    card.Step();
    ASSERT_EQ(960u, engine.recorded.size());
    EXPECT_EQ(480, engine.recorded[0]); // block 1 of the mic file
    card.Shutdown();

    std::vector<int16_t> spk;
    int rate = 0;
    ASSERT_TRUE(wavfile::Read(dir.file("spk.wav"), spk, rate));
    EXPECT_EQ(48000, rate);
    ASSERT_EQ(3u * 480, spk.size());
    EXPECT_EQ(0, spk[479]);
    EXPECT_EQ(0, spk[480]);
    EXPECT_EQ(1, spk[481]);

    // A microphone file that cannot be read makes recording fail.
    VEFileSndCardStream::Config bad;
    bad.micFile = dir.file("nope.wav");
    bad.paced = false;
    VEFileSndCardStream broken(&engine, bad);
    EXPECT_FALSE(broken.MicFileOk());
    EXPECT_EQ(-1, broken.InitRecording());
}

TEST(FileSoundCardTest, PacedCardRunsInRealTime) {
    FakeEngine engine;
    VEFileSndCardStream::Config c;
    c.paced = true;
    VEFileSndCardStream card(&engine, c);
    ASSERT_EQ(0, card.InitPlayout());
    ASSERT_EQ(0, card.StartPlayout());
    ASSERT_EQ(0, card.StartThread());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    card.Shutdown();
    // 30 blocks in 300 ms, with room for a loaded machine.
    EXPECT_GE(card.BlocksRun(), 15u);
    EXPECT_LE(card.BlocksRun(), 32u);
    EXPECT_EQ(static_cast<int>(card.BlocksRun()) * 480, engine.played);
}

} // namespace
