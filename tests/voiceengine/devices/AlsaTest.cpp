// The ALSA sound card: playout buffer rules, timer watchdog, level
// scaling, CPU figures, and real runs against ALSA's "null" device (and a
// real card where one exists).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/TempDir.h"
#include "voiceengine/AlsaMixerControl.h"
#include "voiceengine/AlsaPlayoutControl.h"
#include "voiceengine/AlsaSndCardStream.h"
#include "voiceengine/AlsaTimerWatchdog.h"
#include "voiceengine/VECpuUsage.h"

using namespace qf::test;

TEST(AlsaPlayoutControlTest, UnderrunsGrowTheBufferInTheRepeatingPattern) {
    AlsaPlayoutControl c;
    std::vector<std::pair<int, int>> steps; // (buffersize, minBuffer) after each growth
    int lastBs = c.BufferSize(), lastMb = c.MinBuffer();
    for (int call = 0; call < 400; ++call) {
        const auto d = c.Step(0);
        EXPECT_TRUE(d.writeBlock);
        EXPECT_EQ(c.PlayInterval(), 5);
        if (c.BufferSize() != lastBs || c.MinBuffer() != lastMb) {
            steps.emplace_back(c.BufferSize() - lastBs, c.MinBuffer() - lastMb);
            lastBs = c.BufferSize();
            lastMb = c.MinBuffer();
        }
        if (call < 30) EXPECT_EQ(c.BufferSize(), 80) << call; // not before 30 calls
    }
    // 80 -> 95 -> 110 -> 140 -> 150 (cap); floor 25 -> 35 -> 55 -> 65 (cap).
    ASSERT_GE(steps.size(), 4u);
    EXPECT_EQ(steps[0], std::make_pair(15, 10));
    EXPECT_EQ(steps[1], std::make_pair(15, 20));
    EXPECT_EQ(steps[2], std::make_pair(30, 10)); // 25 capped at 65
    EXPECT_EQ(c.BufferSize(), 150);
    EXPECT_EQ(c.MinBuffer(), 65);
}

TEST(AlsaPlayoutControlTest, TheFourthUnderrunNeedsThirtyCallsAgain) {
    AlsaPlayoutControl c;
    std::vector<int> growthCalls;
    int last = c.BufferSize();
    for (int call = 1; call <= 200; ++call) {
        c.Step(0);
        if (c.BufferSize() != last) growthCalls.push_back(call);
        last = c.BufferSize();
    }
    // Calls 31, 32, 33 (the wait counter is set to 50 after the first two),
    // then 31 calls later after the third reset it to 0.
    ASSERT_GE(growthCalls.size(), 4u);
    EXPECT_EQ(growthCalls[0], 31);
    EXPECT_EQ(growthCalls[1], 32);
    EXPECT_EQ(growthCalls[2], 33);
    EXPECT_EQ(growthCalls[3], 64);
}

TEST(AlsaPlayoutControlTest, StableBufferShrinksAfterTwoThousandCalls) {
    AlsaPlayoutControl c;
    // er stays in the comfortable band: at the target, above the floor.
    std::vector<int> sizes;
    for (int call = 1; call <= 2600; ++call) {
        c.Step(75);
        sizes.push_back(c.BufferSize());
    }
    EXPECT_EQ(sizes[1999], 80);             // call 2000
    EXPECT_EQ(sizes[2000], 79);             // call 2001: first shrink
    // The counter restarts at 1990 and must pass 2000 again: the next
    // shrink comes with the eleventh call, and so on.
    EXPECT_EQ(sizes[2010], 79);
    EXPECT_EQ(sizes[2011], 78);
    EXPECT_EQ(sizes[2022], 77);
    EXPECT_FALSE(c.StartupPhase());
    // Down to the floor, never below.
    for (int call = 0; call < 20000; ++call) c.Step(40);
    EXPECT_EQ(c.BufferSize(), c.MinBuffer());
}

TEST(AlsaPlayoutControlTest, BandsDecideWritingAndInterval) {
    struct Case {
        int er;
        bool write;
        int interval;
    };
    // Target 80, floor 25: below 89 write; from 71 look again in 10 ms;
    // above 89 wait (2 ms); exactly 89 neither writes nor changes pace.
    const Case cases[] = {{10, true, 5}, {30, true, 5}, {71, true, 10}, {88, true, 10}, {90, false, 2}, {600, false, 2}};
    for (const auto& k : cases) {
        AlsaPlayoutControl c;
        EXPECT_EQ(c.Step(k.er).writeBlock, k.write) << k.er;
        EXPECT_EQ(c.PlayInterval(), k.interval) << k.er;
    }
    AlsaPlayoutControl c;
    EXPECT_FALSE(c.Step(89).writeBlock);
    EXPECT_EQ(c.PlayInterval(), 10);

    // Below the floor after 30 calls: +10 ms, and the trace says why.
    AlsaPlayoutControl low;
    std::vector<std::string> traces;
    low.SetTrace([&](int, const std::string& t) { traces.push_back(t); });
    for (int i = 0; i < 31; ++i) low.Step(10, 100, 50);
    EXPECT_EQ(low.BufferSize(), 90);
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.back(),
              "\tPlayout status: er<minBuffer (er=10 *writtenSamples=100 *playedSamples=50), buffersize=90, minBuffer=25");
    AlsaPlayoutControl bt;
    bt.Reset(true);
    EXPECT_EQ(bt.MinBuffer(), 80);
    EXPECT_EQ(bt.MaxMinBuffer(), 80);
}

TEST(AlsaTimerWatchdogTest, SixLateTicksRestartAndTheNextNeedsTwentySix) {
    AlsaTimerWatchdog w;
    int64_t t = 0;
    EXPECT_FALSE(w.OnTick(t));
    std::vector<int> restarts;
    for (int tick = 1; tick <= 40; ++tick) {
        t += 8;
        if (w.OnTick(t)) restarts.push_back(tick);
    }
    ASSERT_EQ(restarts.size(), 2u);
    EXPECT_EQ(restarts[0], 6);
    EXPECT_EQ(restarts[1], 32);
    // A punctual tick clears the count.
    AlsaTimerWatchdog v;
    v.OnTick(0);
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(v.OnTick(i * 10));
    EXPECT_FALSE(v.OnTick(52));
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(v.OnTick(52 + i * 10));
}

TEST(AlsaMixerControlTest, LevelScaling) {
    struct Case {
        long min, max;
        int level;
        long speakerValue;
        int speakerBack;
        long micValue;
        int micBack;
    };
    // The full 16-bit range gives the exact figures; 255 <-> 65280.
    const Case cases[] = {
        {0, 65535, 255, 65280, 255, 65279, 255}, {0, 65535, 0, 0, 0, 0, 0},
        {0, 65535, 1, 256, 1, 255, 1},           {0, 65535, 128, 32768, 128, 32767, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.min) + ".." + std::to_string(c.max) + " @" + std::to_string(c.level));
        EXPECT_EQ(AlsaMixerControl::SpeakerValue(c.level, c.min, c.max), c.speakerValue);
        EXPECT_EQ(AlsaMixerControl::SpeakerLevel(c.speakerValue, c.min, c.max), c.speakerBack);
        EXPECT_EQ(AlsaMixerControl::MicValue(c.level, c.min, c.max), c.micValue);
        EXPECT_EQ(AlsaMixerControl::MicLevel(c.micValue, c.min, c.max), c.micBack);
    }
    // Coarse ALSA ranges: values stay inside the range, levels come back
    // within the range's resolution.
    for (auto [min, max] : {std::pair<long, long>{0, 87}, {-30, 30}, {0, 31}, {-6400, 0}}) {
        const double step = 256.0 / static_cast<double>(max - min + 1);
        for (int level = 0; level <= 255; level += 5) {
            SCOPED_TRACE(std::to_string(min) + ".." + std::to_string(max) + " @" + std::to_string(level));
            const long sv = AlsaMixerControl::SpeakerValue(level, min, max);
            const long mv = AlsaMixerControl::MicValue(level, min, max);
            ASSERT_TRUE(sv >= min && sv <= max);
            ASSERT_TRUE(mv >= min && mv <= max);
            EXPECT_NEAR(AlsaMixerControl::SpeakerLevel(sv, min, max), level, step + 1);
            EXPECT_NEAR(AlsaMixerControl::MicLevel(mv, min, max), level, step + 1);
        }
    }
    EXPECT_EQ(AlsaMixerControl::MixerNameFor("hw:1,0"), "hw:1");
    EXPECT_EQ(AlsaMixerControl::MixerNameFor("plughw:CARD=PCH,DEV=0"), "hw:PCH");
    EXPECT_EQ(AlsaMixerControl::MixerNameFor("null"), "default");
    EXPECT_EQ(AlsaMixerControl::MixerNameFor("default"), "default");

    AlsaMixerControl none;
    std::vector<std::string> traces;
    none.SetTrace([&](int, const std::string& t) { traces.push_back(t); });
    EXPECT_EQ(none.OpenSpeaker("hw:97"), -1);
    EXPECT_EQ(none.OpenMicrophone("hw:97", false), -1);
    EXPECT_EQ(none.SetMicLevel(100), -1);
    EXPECT_EQ(none.GetMicLevel(), -1);
    EXPECT_EQ(none.GetSpeakerLevel(), -1);
    EXPECT_NE(std::find(traces.begin(), traces.end(), "\tSetMicLevel() (sound card not found)"), traces.end());
}

TEST(VECpuUsageTest, LoadFromProcCounters) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "self");
    VECpuUsage cpu;
    cpu.SetProcRoot(dir.path().string());
    EXPECT_EQ(cpu.SystemLoad(), -1); // nothing to read
    auto stat = [&](uint64_t busy, uint64_t idle) {
        WriteFile(dir.file("stat"), "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\ncpu0 1 2 3 4\n");
    };
    stat(1000, 9000);
    WriteFile(dir.file("self/stat"), "42 (a (b) c) S 1 1 1 0 -1 0 0 0 0 0 100 50 0 0");
    cpu.Start();
    EXPECT_EQ(cpu.SystemLoad(), 0); // first reading
    stat(1250, 9750);               // 250 busy of 1000
    EXPECT_EQ(cpu.SystemLoad(), 25);
    EXPECT_EQ(cpu.ProcessLoad(), 0);
    stat(1350, 9850);
    WriteFile(dir.file("self/stat"), "42 (a (b) c) S 1 1 1 0 -1 0 0 0 0 0 110 60 0 0");
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_EQ(cpu.ProcessLoad(), static_cast<int>(20.0 / (200.0 / cores) * 100.0));
    // The real counters are readable here.
    VECpuUsage real;
    real.Start();
    EXPECT_EQ(real.SystemLoad(), 0);
    EXPECT_GE(real.ProcessLoad(), 0);
}

namespace {

// Stands in for the engine: counts blocks, plays a tone, checks the lock.
class FakeEngine : public VESndCardCallback {
public:
    explicit FakeEngine(VESndCardStream*& card) : m_card(card) {}
    int NeedMorePlayData(int16_t* buffer, int& samplesOut, int sampleRate, int samplesWanted, int) override {
        m_card->Lock(); // the engine takes the sound card lock again
        for (int i = 0; i < samplesWanted; ++i) buffer[i] = static_cast<int16_t>((i % 48) * 100);
        samplesOut = samplesWanted;
        rate = sampleRate;
        ++played;
        m_card->Unlock();
        return 0;
    }
    int RecordedDataIsAvailable(const int16_t*, int sampleCount, int totalDelayMs, int, int sampleRate, int) override {
        m_card->Lock();
        lastCount = sampleCount;
        lastDelay = totalDelayMs;
        rate = sampleRate;
        ++recorded;
        m_card->Unlock();
        return 0;
    }
    int ProblemIsReported(int message) override {
        problems.fetch_add(message > 0 ? 1 : 0);
        return 0;
    }
    int InitializationIsComplete(int error) override { return error; }

    std::atomic<int> played{0}, recorded{0}, problems{0}, lastCount{0}, lastDelay{0}, rate{0};

private:
    VESndCardStream*& m_card;
};

} // namespace

TEST(AlsaSndCardStreamTest, RunsAgainstTheNullDevice) {
    VESndCardStream* card = nullptr;
    FakeEngine engine(card);
    AlsaSndCardStream alsa(&engine);
    card = &alsa;
    ASSERT_EQ(alsa.SelectDevicesByName("null", "null"), 0);
    ASSERT_EQ(alsa.StartThread(), 0);
    EXPECT_EQ(alsa.StartPlayout(), -6); // not initialised
    ASSERT_EQ(alsa.InitPlayout(), 0);
    ASSERT_EQ(alsa.InitRecording(), 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(alsa.StartPlayout(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    ASSERT_EQ(alsa.StartRecording(), 0);
    EXPECT_TRUE(alsa.IsPlaying());
    EXPECT_TRUE(alsa.IsRecording());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_GT(engine.played.load(), 10);
    EXPECT_GT(engine.recorded.load(), 10);
    EXPECT_EQ(engine.lastCount.load(), 480);
    EXPECT_EQ(engine.rate.load(), 48000);
    EXPECT_GT(alsa.TimerTicks(), 50u);
    EXPECT_GE(alsa.CpuLoad(), 0);
    EXPECT_EQ(alsa.StopRecording(), 0);
    EXPECT_EQ(alsa.StopPlayout(), 0);
    EXPECT_FALSE(alsa.IsPlaying());
    // Start and stop again: the device opens afresh each time.
    ASSERT_EQ(alsa.InitPlayout(), 0);
    ASSERT_EQ(alsa.StartPlayout(), 0);
    EXPECT_EQ(alsa.StopPlayout(), 0);
    EXPECT_EQ(alsa.Shutdown(), 0);
}

TEST(AlsaSndCardStreamTest, WithoutADeviceNothingHangs) {
    VESndCardStream* card = nullptr;
    FakeEngine engine(card);
    AlsaSndCardStream alsa(&engine);
    card = &alsa;
    EXPECT_EQ(alsa.SelectDevicesByName("no_such_pcm_device", "null"), -1);
    EXPECT_EQ(alsa.SelectDevices(-1, 100000), -1);
    ASSERT_EQ(alsa.SelectDevices(-1, -1), 0);
    EXPECT_EQ(alsa.PlayoutDeviceName(), "default");
    // Playout cannot start its prefill without the audio thread: it says
    // so at once instead of waiting forever.
    if (alsa.InitPlayout() == 0) {
        EXPECT_EQ(alsa.StartPlayout(), -5);
        alsa.StopPlayout();
    }
    ASSERT_EQ(alsa.StartThread(), 0);
    const auto t0 = std::chrono::steady_clock::now();
    // On a machine without a card "default" fails to open; with one, it
    // plays. Either way the calls come back promptly.
    if (alsa.InitPlayout() == 0) {
        EXPECT_EQ(alsa.StartPlayout(), 0);
        alsa.StopPlayout();
    }
    if (alsa.InitRecording() == 0) {
        EXPECT_EQ(alsa.StartRecording(), 0);
        alsa.StopRecording();
    }
    alsa.OpenSpeakerMixer();
    alsa.OpenMicrophoneMixer(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(alsa.Shutdown(), 0);
}

TEST(AlsaSndCardStreamTest, RealCardWhereOneExists) {
    const auto names = AlsaSndCardStream::DeviceNames(false);
    const auto hw = std::find_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("hw:", 0) == 0 || n.rfind("plughw:", 0) == 0; });
    if (hw == names.end()) GTEST_SKIP() << "no sound card on this machine";
    VESndCardStream* card = nullptr;
    FakeEngine engine(card);
    AlsaSndCardStream alsa(&engine);
    card = &alsa;
    ASSERT_EQ(alsa.SelectDevicesByName("null", hw->c_str()), 0);
    ASSERT_EQ(alsa.StartThread(), 0);
    ASSERT_EQ(alsa.InitPlayout(), 0);
    ASSERT_EQ(alsa.StartPlayout(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(engine.played.load(), 10);
    if (alsa.OpenSpeakerMixer() == 0) {
        const int before = alsa.GetSpeakerLevel();
        EXPECT_EQ(alsa.SetSpeakerLevel(before), 0);
        EXPECT_NEAR(alsa.GetSpeakerLevel(), before, 1);
    }
    alsa.StopPlayout();
    alsa.Shutdown();
}
