// The whole engine on the ALSA card: audio thread, socket thread,
// supervision thread and API calls together, against ALSA's "null" device
// (runs in CI and under ThreadSanitizer), and on the default device, which
// on a machine without a card must fail cleanly instead of hanging.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/KeyValueStore.h"
#include "support/TempDir.h"
#include "support/TestSignals.h"
#include "voiceengine/AlsaSndCardStream.h"
#include "voiceengine/VEAPI.h"

using namespace qf::test;

namespace {

class MachineStore {
public:
    MachineStore() : m_old(qf::platform::CKeyValueStore::LocalMachine().Path()) {
        qf::platform::CKeyValueStore::LocalMachine().SetPath(m_dir.file("machine.store"));
    }
    ~MachineStore() { qf::platform::CKeyValueStore::LocalMachine().SetPath(m_old); }
    TempDir& dir() { return m_dir; }

private:
    TempDir m_dir;
    std::string m_old;
};

int freePortPair() {
    // Spread test runs over a range so parallel runs rarely meet.
    return 42000 + 2 * static_cast<int>(getpid() % 2000);
}

} // namespace

TEST(EngineAlsaTest, CallLoopsThroughTheNullDevice) {
    MachineStore store;
    VEAPI engine;
    engine.SetSoundCardFactory([](VESndCardCallback* cb) {
        auto card = std::make_unique<AlsaSndCardStream>(cb);
        card->SelectDevicesByName("null", "null");
        return std::unique_ptr<VESndCardStream>(std::move(card));
    });
    ASSERT_EQ(engine.VE_Init(0, 0, 0, 0, 0, 1), 0);
    const int ch = engine.VE_CreateChannel();
    ASSERT_EQ(ch, 0);
    VECodecInfo pcmu{};
    for (int i = 0; i < engine.VE_GetNofCodecs(); ++i) {
        VECodecInfo c{};
        if (engine.VE_GetCodec(i, c) == 0 && strcasecmp(c.name, "PCMU") == 0) pcmu = c;
    }
    ASSERT_EQ(strcasecmp(pcmu.name, "PCMU"), 0);
    ASSERT_EQ(engine.VE_SetSendCodec(ch, &pcmu), 0);
    const int port = freePortPair();
    ASSERT_EQ(engine.VE_SetRecPort(ch, port), 0);
    ASSERT_EQ(engine.VE_SetSendPort(ch, port), 0); // to ourselves
    ASSERT_EQ(engine.VE_SetSendIP(ch, "127.0.0.1"), 0);
    ASSERT_EQ(engine.VE_StartListen(ch), 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(engine.VE_StartPlayout(ch), 0);
    ASSERT_EQ(engine.VE_StartSend(ch), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(engine.VE_SetECStatus(1), 0);

    // A ring tone into the playing channel, while API calls come in.
    WriteFile(store.dir().file("ring.wav"), MakeWav(WavSpec{}, Pcm16Bytes(Tone(425, 16000, 8000))));
    EXPECT_EQ(engine.VE_PlayPCM(ch, store.dir().file("ring.wav").c_str(), 1, 1, 1.0f, 0, 0), 0);
    int loudest = 0;
    for (int i = 0; i < 40; ++i) {
        loudest = std::max(loudest, engine.VE_GetOutputLevel());
        engine.VE_GetInputLevel();
        engine.VE_MuteMic(ch, i % 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_GT(loudest, 0); // the tone reached the device
    EXPECT_EQ(engine.VE_IsPlayingFile(ch), 1);
    EXPECT_EQ(engine.VE_StopPlayingFile(ch), 0);
    // The null device has no mixer: the level calls fail and say so.
    EXPECT_EQ(engine.VE_GetSpeakerVolume(), -1);
    EXPECT_EQ(engine.VE_GetLastError(), 9006);

    EXPECT_EQ(engine.VE_StopSend(ch), 0);
    EXPECT_EQ(engine.VE_StopPlayout(ch), 0);
    EXPECT_EQ(engine.VE_StopListen(ch), 0);
    EXPECT_EQ(engine.VE_Terminate(), 0);
}

TEST(EngineAlsaTest, DefaultDeviceWithoutACardFailsCleanly) {
    MachineStore store;
    VEAPI engine; // the ALSA card on "default"
    const auto t0 = std::chrono::steady_clock::now();
    const bool haveCard = !AlsaSndCardStream::DeviceNames(false).empty() &&
                          AlsaSndCardStream::DeviceNames(false) != std::vector<std::string>{"null"};
    ASSERT_EQ(engine.VE_Init(0, 0, 0, 0, 0, 1), 0);
    // Without a card the engine is up all the same, with the warning that
    // the speaker controls are missing (the last of the two warnings).
    if (!haveCard) EXPECT_EQ(engine.VE_GetLastError(), 9005);
    const int ch = engine.VE_CreateChannel();
    ASSERT_GE(ch, 0);
    ASSERT_EQ(engine.VE_SetRecPort(ch, freePortPair() + 4000), 0);
    ASSERT_EQ(engine.VE_StartListen(ch), 0);
    const int r = engine.VE_StartPlayout(ch);
    if (!haveCard) {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(engine.VE_GetLastError(), 10013);
    }
    engine.VE_StopPlayout(ch);
    EXPECT_EQ(engine.VE_Terminate(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}
