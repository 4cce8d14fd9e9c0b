#include "EngineTestSupport.h"
#include "voiceengine/VEChannel.h"
#include "voiceengine/WavFile.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ve().VE_Init(0, 0, 0, 0, 0, 1)); }
    void TearDown() override { EXPECT_EQ(0, ve().VE_Terminate()); }
    VEAPI& ve() { return *m_engine.engine; }
    VECodecInfo Codec(const char* name, int freq, int size, int channels = 1, int pt = 0, int rate = 64000) {
        VECodecInfo c{};
        c.payloadType = pt;
        strncpy(c.name, name, sizeof c.name - 1);
        c.frequency = freq;
        c.packetSize = size;
        c.channels = channels;
        c.rate = rate;
        return c;
    }

    vetest::MachineStoreScope m_store;
    vetest::SteppedEngine m_engine;
};

TEST(VEApiLifecycleTest, TerminateWithoutInitAndDoubleInit) {
    vetest::MachineStoreScope store;
    vetest::SteppedEngine stepped;
    VEAPI& engine = *stepped.engine;
    EXPECT_EQ(0, engine.VE_Terminate());
    EXPECT_EQ(-1, engine.VE_CreateChannel());
    EXPECT_EQ(8026, engine.VE_GetLastError());
    ASSERT_EQ(0, engine.VE_Init(0, 0, 0, 0, 0, 1));
    VESndCardStream* card = engine.SoundCard();
    EXPECT_EQ(0, engine.VE_Init(0, 0, 0, 0, 0, 1));
    EXPECT_EQ(card, engine.SoundCard()); // nothing new made
    EXPECT_EQ(0, engine.VE_CreateChannel());
    EXPECT_EQ(0, engine.VE_Terminate());
    EXPECT_EQ(0, engine.VE_Terminate());
    // Init again after Terminate: a fresh set of channels.
    ASSERT_EQ(0, engine.VE_Init(0, 0, 0, 0, 0, 1));
    EXPECT_EQ(0, engine.VE_CreateChannel());
    EXPECT_EQ(0, engine.VE_Terminate());
}

TEST(VEApiLifecycleTest, VersionRecordInMachineStore) {
    vetest::MachineStoreScope store;
    EXPECT_EQ("SOFTWARE\\quarvoFON\\VoiceEngine\\quarvoFON.exe",
              VEAPI::VersionKeyFor("\"C:\\Program Files\\quarvoFON\\quarvoFON.exe\" callto:123"));
    EXPECT_EQ("SOFTWARE\\quarvoFON\\VoiceEngine\\Unknown process", VEAPI::VersionKeyFor("prog"));
    EXPECT_EQ("SOFTWARE\\quarvoFON\\VoiceEngine\\ve_core_api", VEAPI::VersionKeyFor("/build/ve_core_api"));
    vetest::SteppedEngine stepped;
    VEAPI& engine = *stepped.engine;
    char small[10];
    EXPECT_EQ(-1, engine.VE_GetVersion(small, sizeof small));
    EXPECT_EQ(8021, engine.VE_GetLastError());
    char version[512];
    ASSERT_EQ(0, engine.VE_GetVersion(version, sizeof version));
    EXPECT_EQ(0, strncmp(version, "VoiceEngine\t2.4.1\n", 18));
    ASSERT_EQ(0, engine.VE_Init(0, 0, 0, 0, 0, 1));
    std::string stored;
    auto& machine = qf::platform::CKeyValueStore::LocalMachine();
    ASSERT_EQ(0, machine.ReadString("SOFTWARE\\quarvoFON\\VoiceEngine\\ve_core_api", "version", stored, 511));
    EXPECT_EQ(std::string(version), stored);
    EXPECT_EQ(0, engine.VE_Terminate());
}

TEST_F(EngineTest, ChannelRangeAndTableFull) {
    for (int bad : {-1, 32}) {
        EXPECT_EQ(-1, ve().VE_StartListen(bad));
        EXPECT_EQ(8002, ve().VE_GetLastError());
        EXPECT_EQ(-1, ve().VE_SetSendPort(bad, 5000));
        EXPECT_EQ(8002, ve().VE_GetLastError());
    }
    EXPECT_EQ(-1, ve().VE_StopSend(0)); // not created yet
    EXPECT_EQ(8002, ve().VE_GetLastError());
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(i, ve().VE_CreateChannel());
    EXPECT_EQ(-1, ve().VE_CreateChannel());
    EXPECT_EQ(8002, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_DeleteChannel(5));
    EXPECT_EQ(5, ve().VE_CreateChannel());
    EXPECT_EQ(32, ve().VE_GetNoOfChannels());
}

TEST_F(EngineTest, ListenSendAndPortChecks) {
    const int ch = ve().VE_CreateChannel();
    EXPECT_EQ(-1, ve().VE_StartListen(ch));
    EXPECT_EQ(8001, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetRecPort(ch, 1023));
    EXPECT_EQ(8006, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetRecPort(ch, 65536));
    EXPECT_EQ(8006, ve().VE_GetLastError());
    ASSERT_EQ(0, ve().VE_SetRecPort(ch, 0 + 41000));
    int rtp = 0, rtcp = 0;
    ASSERT_EQ(0, ve().VE_GetRecPort(ch, rtp, rtcp));
    EXPECT_EQ(41000, rtp);
    EXPECT_EQ(41001, rtcp);
    ASSERT_EQ(0, ve().VE_StartListen(ch));
    EXPECT_EQ(-1, ve().VE_StartListen(ch));
    EXPECT_EQ(8012, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetRecPort(ch, 41010));
    EXPECT_EQ(8012, ve().VE_GetLastError());

    VECodecInfo pcmu = Codec("PCMU", 8000, 160);
    ASSERT_EQ(0, ve().VE_SetSendCodec(ch, &pcmu));
    EXPECT_EQ(-1, ve().VE_StartSend(ch));
    EXPECT_EQ(8019, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetSendIP(ch, "not.an.address"));
    EXPECT_EQ(8019, ve().VE_GetLastError());
    ASSERT_EQ(0, ve().VE_SetSendIP(ch, "127.0.0.1"));
    EXPECT_EQ(-1, ve().VE_StartSend(ch));
    EXPECT_EQ(8001, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetSendPort(ch, 80));
    EXPECT_EQ(8006, ve().VE_GetLastError());
    ASSERT_EQ(0, ve().VE_SetSendPort(ch, 41020));
    ASSERT_EQ(0, ve().VE_StartSend(ch));
    EXPECT_EQ(-1, ve().VE_StartSend(ch));
    EXPECT_EQ(8018, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetSendIP(ch, "127.0.0.2"));
    EXPECT_EQ(8018, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetSendPort(ch, 41030));
    EXPECT_EQ(8018, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_StopSend(ch));
    EXPECT_EQ(0, ve().VE_StopListen(ch));
    EXPECT_EQ(0, ve().VE_StopListen(ch));
}

TEST_F(EngineTest, PlayoutLimits) {
    int channels[17];
    for (int& c : channels)
        c = ve().VE_CreateChannel();
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(0, ve().VE_StartPlayout(channels[i])) << i;
    EXPECT_EQ(-1, ve().VE_StartPlayout(channels[16]));
    EXPECT_EQ(8014, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_StartPlayout(channels[0]));
    EXPECT_EQ(8020, ve().VE_GetLastError());
    EXPECT_TRUE(ve().SoundCard()->IsPlaying());
    // Receive bindings cannot change while a channel plays.
    VECodecInfo ev = Codec("telephone-event", 8000, 1600, 1, 97, 0);
    EXPECT_EQ(-1, ve().VE_SetRecPayloadType(channels[0], &ev));
    EXPECT_EQ(8020, ve().VE_GetLastError());
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(0, ve().VE_StopPlayout(channels[i]));
    EXPECT_FALSE(ve().SoundCard()->IsPlaying());
    EXPECT_EQ(0, ve().VE_StartPlayout(channels[16]));
}

TEST_F(EngineTest, SendCodecValidation) {
    const int ch = ve().VE_CreateChannel();
    struct Case {
        int network;
        VECodecInfo codec;
        int error; // 0 = accepted
    };
    const Case cases[] = {
        {0, Codec("pcmu", 8000, 160), 0},
        {0, Codec("PCMA", 8000, 480, 1, 120), 0}, // any payload number
        {0, Codec("PCMU", 8000, 200), 8010},
        {0, Codec("PCMU", 16000, 160), 8008},
        {0, Codec("AWB", 16000, 320, 1, 103, -1), 8010},
        {0, Codec("AWB", 16000, 480, 1, 103, -1), 0},
        {0, Codec("AWB", 16000, 480, 1, 103, 100), 8031},
        {0, Codec("telephone-event", 8000, 1600), 8007},
        {0, Codec("CN", 8000, 160), 8007},
        {0, Codec("opus", 48000, 960), 8007},
        {0, Codec("PCMU", 8000, 160, 2), 8023},
        {0, Codec("PCMU", 8000, 0), 8010},
        {3, Codec("PCMU", 8000, 160), 8007},
        {3, Codec("iLBC", 8000, 240, 1, 102, 13300), 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, ve().VE_SetNetworkStatus(c.network));
        const int r = ve().VE_SetSendCodec(ch, &c.codec);
        if (c.error == 0) {
            EXPECT_EQ(0, r) << c.codec.name;
            VECodecInfo now{};
            ASSERT_EQ(0, ve().VE_GetCurrentSendCodec(ch, now));
            EXPECT_STREQ(c.codec.name, now.name);
            EXPECT_EQ(c.codec.payloadType, now.payloadType);
        } else {
            EXPECT_EQ(-1, r) << c.codec.name;
            EXPECT_EQ(c.error, ve().VE_GetLastError()) << c.codec.name << " " << c.codec.packetSize;
        }
    }
    EXPECT_EQ(-1, ve().VE_SetSendCodec(ch, nullptr));
    EXPECT_EQ(8005, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetNetworkStatus(4));
    EXPECT_EQ(8005, ve().VE_GetLastError());

    ASSERT_EQ(0, ve().VE_SetNetworkStatus(3));
    EXPECT_EQ(8, ve().VE_GetNofCodecs());
    VECodecInfo info{};
    EXPECT_EQ(-1, ve().VE_GetCodec(8, info));
    EXPECT_EQ(8004, ve().VE_GetLastError());
    ASSERT_EQ(0, ve().VE_SetNetworkStatus(0));
    EXPECT_EQ(13, ve().VE_GetNofCodecs());
    ASSERT_EQ(0, ve().VE_GetCodec(0, info));
    EXPECT_STREQ("WBPCM", info.name);
    ASSERT_EQ(0, ve().VE_GetCodec(12, info));
    EXPECT_STREQ("CN", info.name);
    EXPECT_EQ(16000, info.frequency);
    EXPECT_EQ(-1, ve().VE_GetCodec(13, info));
    EXPECT_EQ(8004, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_GetCodec(-1, info));
}

TEST_F(EngineTest, DtmfArgumentLimits) {
    const int ch = ve().VE_CreateChannel();
    struct Case {
        int event, inBand, length, level;
    };
    const Case bad[] = {{1, 0, 99, 10}, {1, 0, 401, 10}, {1, 0, 160, 37}, {17, 0, 160, 10}, {16, 1, 160, 10},
                        {-1, 0, 160, 10}, {1, 0, 160, -1}};
    for (const Case& c : bad) {
        EXPECT_EQ(-1, ve().VE_SendDTMF(ch, c.event, c.inBand, 0, c.length, c.level));
        EXPECT_EQ(8022, ve().VE_GetLastError()) << c.event << " " << c.length << " " << c.level;
    }
    EXPECT_EQ(-1, ve().VE_SendDTMF(ch, 5, 0, 0, 160, 10));
    EXPECT_EQ(8027, ve().VE_GetLastError()); // not sending
    EXPECT_EQ(-1, ve().VE_SendDTMF(33, 5, 0, 0, 160, 10));
    EXPECT_EQ(8002, ve().VE_GetLastError());

    EXPECT_EQ(-1, ve().VE_PlayDTMFTone(16, 200, 10));
    EXPECT_EQ(8022, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_PlayDTMFTone(5, 9, 10));
    EXPECT_EQ(8022, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_PlayDTMFTone(5, 200, 10));
    EXPECT_EQ(-1, ve().VE_SetDTMFFeedbackStatus(2));
    EXPECT_EQ(8005, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_SetDTMFFeedbackStatus(1));
    EXPECT_EQ(1, ve().VE_GetDTMFFeedbackStatus());
}

TEST_F(EngineTest, LocalKeyToneIsPlayed) {
    const int ch = ve().VE_CreateChannel();
    ASSERT_EQ(0, ve().VE_StartPlayout(ch));
    ASSERT_EQ(0, ve().VE_PlayDTMFTone(5, 200, 10)); // 770 + 1336 Hz
    for (int i = 0; i < 30; ++i)
        m_engine.card->Step();
    const auto out = m_engine.card->SpeakerSamples();
    ASSERT_GE(out.size(), 30u * 480);
    const double p770 = vetest::PowerAt(out, 2400, 4800, 770);
    const double p1336 = vetest::PowerAt(out, 2400, 4800, 1336);
    const double p1000 = vetest::PowerAt(out, 2400, 4800, 1000);
    EXPECT_GT(p770, 50 * p1000);
    EXPECT_GT(p1336, 50 * p1000);
    // 200 ms, then silence.
    EXPECT_LT(vetest::Rms(out, 25 * 480, 4 * 480), 50.0);
}

TEST_F(EngineTest, RingToneFilePlaysThroughTheChannel) {
    qf::test::TempDir dir;
    wavfile::Write(dir.file("ring.wav"), vetest::Tone(440, 0.3, 8000.0, 16000), 16000);
    const int ch = ve().VE_CreateChannel();
    EXPECT_EQ(-1, ve().VE_PlayPCM(ch, dir.file("missing.wav").c_str(), 0, 1, 1.0f, 0, 0));
    EXPECT_EQ(10016, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_PlayPCM(ch, dir.file("ring.wav").c_str(), 0, 1, 1.5f, 0, 0));
    EXPECT_EQ(10021, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_PlayPCM(ch, dir.file("ring.wav").c_str(), 0, 1, 1.0f, 0, 10));
    EXPECT_EQ(10021, ve().VE_GetLastError());
    // Not playing: accepted, nothing played.
    EXPECT_EQ(0, ve().VE_PlayPCM(ch, dir.file("ring.wav").c_str(), 0, 1, 1.0f, 0, 0));
    EXPECT_EQ(0, ve().VE_IsPlayingFile(ch));

    ASSERT_EQ(0, ve().VE_StartPlayout(ch));
    ASSERT_EQ(0, ve().VE_PlayPCM(ch, dir.file("ring.wav").c_str(), 0, 1, 1.0f, 0, 0));
    EXPECT_EQ(1, ve().VE_IsPlayingFile(ch));
    EXPECT_EQ(-1, ve().VE_PlayPCM(ch, dir.file("ring.wav").c_str(), 0, 1, 1.0f, 0, 0));
    EXPECT_EQ(10016, ve().VE_GetLastError()); // one file per channel
    for (int i = 0; i < 50; ++i)
        m_engine.card->Step();
    EXPECT_EQ(0, ve().VE_IsPlayingFile(ch)); // played once, then released
    const auto out = m_engine.card->SpeakerSamples();
    EXPECT_GT(vetest::PowerAt(out, 4800, 9600, 440), 100 * vetest::PowerAt(out, 4800, 9600, 1000));
    EXPECT_LT(vetest::Rms(out, 40 * 480, 10 * 480), 50.0);
}

TEST_F(EngineTest, VolumesAndSettings) {
    EXPECT_EQ(0, ve().VE_SetSpeakerVolume(255));
    EXPECT_EQ(255, ve().VE_GetSpeakerVolume());
    EXPECT_EQ(0, ve().VE_SetMicVolume(17));
    EXPECT_EQ(17, ve().VE_GetMicVolume());
    EXPECT_EQ(-1, ve().VE_SetECStatus(3));
    EXPECT_EQ(8005, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_SetECStatus(1));
    EXPECT_EQ(0, ve().VE_SetNRStatus(1));
    EXPECT_EQ(-1, ve().VE_SetNRStatus(2));
    EXPECT_EQ(8005, ve().VE_GetLastError());
    ve().VE_SetNRStatus(7); // leaves 8005
    EXPECT_EQ(-1, ve().VE_SetAGCStatus(2));
    EXPECT_EQ(8005, ve().VE_GetLastError()); // AGC leaves the last error alone
    EXPECT_EQ(0, ve().VE_SetAGCStatus(1));
    // Operations that are not offered say so.
    EXPECT_EQ(-1, ve().VE_EnableVQMon(0, 1));
    EXPECT_EQ(8003, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetDTMFCallbacks(nullptr));
    EXPECT_EQ(8003, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_SetSoundCardObject(nullptr));
}

TEST_F(EngineTest, SsrcsDifferAndExternalPacketsAreChecked) {
    const int a = ve().VE_CreateChannel();
    const int b = ve().VE_CreateChannel();
    unsigned sa = 0, sb = 0;
    ASSERT_EQ(0, ve().VE_GetSendSSRC(a, sa));
    ASSERT_EQ(0, ve().VE_GetSendSSRC(b, sb));
    EXPECT_NE(sa, sb);

    uint8_t packet[900] = {0x80, 0x00};
    EXPECT_EQ(-1, ve().VE_ReceivedRTPPacket(a, packet, 808));
    EXPECT_EQ(8032, ve().VE_GetLastError());
    EXPECT_EQ(-1, ve().VE_ReceivedRTPPacket(a, packet, 0));
    EXPECT_EQ(8032, ve().VE_GetLastError());
    packet[0] = 0xC0; // version 3
    ve().VE_SetNRStatus(9); // 8005 as a marker
    EXPECT_EQ(-1, ve().VE_ReceivedRTPPacket(a, packet, 20));
    EXPECT_EQ(8005, ve().VE_GetLastError()); // no code of its own
}

TEST_F(EngineTest, RejectedDscpIsAWarningAndSendingRuns) {
    const int ch = ve().VE_CreateChannel();
    EXPECT_EQ(-1, ve().VE_SetSendTOS(ch, 64));
    EXPECT_EQ(9010, ve().VE_GetLastError());
    ASSERT_EQ(0, ve().VE_SetSendTOS(ch, 50));
    VECodecInfo pcmu = Codec("PCMU", 8000, 160);
    ASSERT_EQ(0, ve().VE_SetSendCodec(ch, &pcmu));
    ASSERT_EQ(0, ve().VE_SetRecPort(ch, 41200));
    ASSERT_EQ(0, ve().VE_SetSendPort(ch, 41204));
    ASSERT_EQ(0, ve().VE_SetSendIP(ch, "127.0.0.1"));
    EXPECT_EQ(-1, ve().VE_StartSend(ch));
    EXPECT_EQ(9010, ve().VE_GetLastError());
    for (int i = 0; i < 4; ++i)
        m_engine.card->Step();
    unsigned sent = 0, octets = 0, received = 0;
    ASSERT_EQ(0, ve().VE_RTPStat(ch, sent, octets, received));
    EXPECT_EQ(2u, sent); // media flows all the same
    EXPECT_EQ(-1, ve().VE_SetSendTOS(ch, 10));
    EXPECT_EQ(8018, ve().VE_GetLastError());
    EXPECT_EQ(0, ve().VE_StopSend(ch));
}

class CountingObserver : public VEObserver {
public:
    void Notify(int code, int channel) override {
        std::lock_guard<std::mutex> g(lock);
        seen.emplace_back(code, channel);
    }
    std::mutex lock;
    std::vector<std::pair<int, int>> seen;
};

TEST_F(EngineTest, PacketTimeoutNotifiesOnce) {
    CountingObserver observer;
    ASSERT_EQ(0, ve().SetObserver(&observer, false));
    EXPECT_EQ(-1, ve().SetObserver(nullptr, false));
    const int ch = ve().VE_CreateChannel();
    EXPECT_EQ(-1, ve().VE_SetPacketTimeout(ch, true, 1));
    EXPECT_EQ(-1, ve().VE_SetPacketTimeout(ch, true, 150));
    ASSERT_EQ(0, ve().VE_SetRecPort(ch, 41100));
    ASSERT_EQ(0, ve().VE_StartListen(ch));
    ASSERT_EQ(0, ve().VE_SetPacketTimeout(ch, true, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    {
        std::lock_guard<std::mutex> g(observer.lock);
        ASSERT_EQ(1u, observer.seen.size());
        EXPECT_EQ(8035, observer.seen[0].first);
        EXPECT_EQ(ch, observer.seen[0].second);
    }
    ve().ProblemIsReported(1);
    ve().ProblemIsReported(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    std::lock_guard<std::mutex> g(observer.lock);
    ASSERT_EQ(3u, observer.seen.size());
    EXPECT_EQ(9013, observer.seen[1].first);
    EXPECT_EQ(10019, observer.seen[2].first);
    EXPECT_EQ(-1, observer.seen[2].second);
    ve().SetObserver(nullptr, true);
}

} // namespace
