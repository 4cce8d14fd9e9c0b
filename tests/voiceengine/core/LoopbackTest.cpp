// Two engines in one process talk over 127.0.0.1 with stepped file sound
// cards: each one's microphone is a tone, and each one's speaker must carry
// the other's tone and not its own.
#include "EngineTestSupport.h"
#include "voiceengine/VECallMedia.h"
#include "voiceengine/WavFile.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

VECodecInfo Codec(const char* name, int pt, int size) {
    VECodecInfo c{};
    c.payloadType = pt;
    strncpy(c.name, name, sizeof c.name - 1);
    c.frequency = 8000;
    c.packetSize = size;
    c.channels = 1;
    c.rate = 64000;
    return c;
}

// The call set-up the phone makes, in its order.
void StartCall(VEAPI& ve, int ch, int localPort, int remotePort, const VECodecInfo& codec) {
    ASSERT_EQ(0, ve.VE_SetRecPort(ch, localPort)) << ve.VE_GetLastError();
    ASSERT_EQ(0, ve.VE_StartListen(ch));
    ASSERT_EQ(0, ve.VE_StartPlayout(ch));
    ASSERT_EQ(0, ve.VE_SetSendCodec(ch, &codec));
    ASSERT_EQ(0, ve.VE_SetSendPort(ch, remotePort));
    ASSERT_EQ(0, ve.VE_SetSendIP(ch, "127.0.0.1"));
    ASSERT_EQ(0, ve.VE_StartSend(ch));
}

void StopCall(VEAPI& ve, int ch) {
    EXPECT_EQ(0, ve.VE_StopSend(ch));
    EXPECT_EQ(0, ve.VE_StopListen(ch));
    EXPECT_EQ(0, ve.VE_StopPlayout(ch));
}

void ExpectTone(const std::vector<int16_t>& speaker, double wanted, double unwanted, const char* what) {
    // The last second of the call.
    ASSERT_GE(speaker.size(), 48000u * 2) << what;
    const size_t from = speaker.size() - 48000;
    const double pw = vetest::PowerAt(speaker, from, 48000, wanted);
    const double pu = vetest::PowerAt(speaker, from, 48000, unwanted);
    const double p2 = vetest::PowerAt(speaker, from, 48000, 2 * wanted + 130);
    EXPECT_GT(vetest::Rms(speaker, from, 48000), 2000.0) << what;
    EXPECT_GT(pw, 100 * pu) << what;
    EXPECT_GT(pw, 100 * p2) << what;
}

struct LoopbackCase {
    const char* codec;
    int payloadType;
    bool srtp;
};

class LoopbackTest : public ::testing::TestWithParam<LoopbackCase> {};

TEST_P(LoopbackTest, TonesCrossBothWays) {
    const LoopbackCase param = GetParam();
    vetest::MachineStoreScope store;
    vetest::SteppedEngine a(vetest::Tone(1000, 3.0));
    vetest::SteppedEngine b(vetest::Tone(440, 3.0));
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, b.engine->VE_Init(0, 0, 0, 0, 0, 1));
    const int ca = a.engine->VE_CreateChannel();
    const int cb = b.engine->VE_CreateChannel();
    const int portA = 42000 + 10 * param.payloadType + (param.srtp ? 100 : 0);
    const int portB = portA + 4;
    if (param.srtp) {
        unsigned char keyAB[60], keyBA[60];
        for (int i = 0; i < 60; ++i) {
            keyAB[i] = static_cast<unsigned char>(i * 7 + 1);
            keyBA[i] = static_cast<unsigned char>(i * 11 + 3);
        }
        ASSERT_EQ(0, a.engine->VE_EnableSRTPSend(ca, 1, 30, 3, 20, 10, 3, keyAB));
        ASSERT_EQ(0, b.engine->VE_EnableSRTPReceive(cb, 1, 30, 3, 20, 10, 3, keyAB));
        ASSERT_EQ(0, b.engine->VE_EnableSRTPSend(cb, 1, 30, 3, 20, 10, 3, keyBA));
        ASSERT_EQ(0, a.engine->VE_EnableSRTPReceive(ca, 1, 30, 3, 20, 10, 3, keyBA));
    }
    const VECodecInfo codec = Codec(param.codec, param.payloadType, 160);
    StartCall(*a.engine, ca, portA, portB, codec);
    StartCall(*b.engine, cb, portB, portA, codec);
    vetest::StepAll({&a, &b}, 250);
    unsigned sentA = 0, octets = 0, receivedB = 0, unused = 0;
    ASSERT_EQ(0, a.engine->VE_RTPStat(ca, sentA, octets, unused));
    ASSERT_EQ(0, b.engine->VE_RTPStat(cb, unused, octets, receivedB));
    EXPECT_GE(sentA, 120u);
    EXPECT_GE(receivedB + 10, sentA); // the last few may still be on their way
    StopCall(*a.engine, ca);
    StopCall(*b.engine, cb);
    ExpectTone(b.card->SpeakerSamples(), 1000, 440, "far end of A");
    ExpectTone(a.card->SpeakerSamples(), 440, 1000, "far end of B");
    EXPECT_EQ(0, a.engine->VE_Terminate());
    EXPECT_EQ(0, b.engine->VE_Terminate());
}

INSTANTIATE_TEST_SUITE_P(Codecs, LoopbackTest,
                         ::testing::Values(LoopbackCase{"PCMU", 0, false}, LoopbackCase{"PCMA", 8, false},
                                           LoopbackCase{"PCMU", 0, true}, LoopbackCase{"PCMA", 8, true}),
                         [](const auto& info) {
                             return std::string(info.param.codec) + (info.param.srtp ? "_SRTP" : "");
                         });

TEST(LoopbackTest, InBandDtmfIsHeardAtTheFarEnd) {
    vetest::MachineStoreScope store;
    vetest::SteppedEngine a, b;
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, b.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, a.engine->VE_CreateChannel());
    ASSERT_EQ(0, b.engine->VE_CreateChannel());
    const VECodecInfo codec = Codec("PCMU", 0, 160);
    StartCall(*a.engine, 0, 42900, 42904, codec);
    StartCall(*b.engine, 0, 42904, 42900, codec);
    vetest::StepAll({&a, &b}, 20);
    ASSERT_EQ(0, a.engine->VE_SendDTMF(0, 5, 1, 0, 400, 6)); // '5': 770 Hz + 1336 Hz
    vetest::StepAll({&a, &b}, 60);
    StopCall(*a.engine, 0);
    StopCall(*b.engine, 0);
    const auto heard = b.card->SpeakerSamples();
    // The middle of the tone, after the jitter buffer's delay.
    const size_t from = 48 * (200 + 150);
    const double low = vetest::PowerAt(heard, from, 9600, 770);
    const double high = vetest::PowerAt(heard, from, 9600, 1336);
    const double other = vetest::PowerAt(heard, from, 9600, 1000);
    EXPECT_GT(low, 50 * other);
    EXPECT_GT(high, 50 * other);
    EXPECT_EQ(0, a.engine->VE_Terminate());
    EXPECT_EQ(0, b.engine->VE_Terminate());
}

// A codec sent under a negotiated dynamic number is heard only once the
// receiver has bound that number to the codec.
TEST(LoopbackTest, ReceivePayloadBindingDecidesWhatIsHeard) {
    for (bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "bound" : "not bound");
        vetest::MachineStoreScope store;
        vetest::SteppedEngine a(vetest::Tone(1000, 2.0)), b;
        ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
        ASSERT_EQ(0, b.engine->VE_Init(0, 0, 0, 0, 0, 1));
        ASSERT_EQ(0, a.engine->VE_CreateChannel());
        ASSERT_EQ(0, b.engine->VE_CreateChannel());
        if (bound) {
            VECodecInfo pcmu = Codec("PCMU", 120, 160);
            ASSERT_EQ(0, b.engine->VE_SetRecPayloadType(0, &pcmu));
        }
        const int base = bound ? 43100 : 43120;
        StartCall(*a.engine, 0, base, base + 4, Codec("PCMU", 120, 160));
        StartCall(*b.engine, 0, base + 4, base, Codec("PCMU", 0, 160));
        vetest::StepAll({&a, &b}, 100);
        StopCall(*a.engine, 0);
        StopCall(*b.engine, 0);
        const auto heard = b.card->SpeakerSamples();
        const double rms = vetest::Rms(heard, heard.size() - 24000, 24000);
        if (bound)
            EXPECT_GT(rms, 2000.0);
        else
            EXPECT_LT(rms, 50.0);
        EXPECT_EQ(0, a.engine->VE_Terminate());
        EXPECT_EQ(0, b.engine->VE_Terminate());
    }
}

// RTCP reports travel between the engines' RTCP sockets: each learns the
// other's CNAME from the first report, about 2 s after RTCP was enabled.
TEST(LoopbackTest, RtcpCarriesTheCname) {
    vetest::MachineStoreScope store;
    vetest::SteppedEngine a(vetest::Tone(1000, 4.0)), b(vetest::Tone(440, 4.0));
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, b.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, a.engine->VE_CreateChannel());
    ASSERT_EQ(0, b.engine->VE_CreateChannel());
    ASSERT_EQ(0, a.engine->VE_EnableRTCP(0, 1));
    ASSERT_EQ(0, b.engine->VE_EnableRTCP(0, 1));
    ASSERT_EQ(0, a.engine->VE_SetRTCPCNAME(0, "alice@loopback"));
    const VECodecInfo codec = Codec("PCMU", 0, 160);
    StartCall(*a.engine, 0, 43200, 43204, codec);
    StartCall(*b.engine, 0, 43204, 43200, codec);
    // Real time matters here: the reports follow the wall clock.
    for (int i = 0; i < 300; ++i) {
        a.card->Step();
        b.card->Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    char cname[256] = {};
    ASSERT_EQ(0, b.engine->VE_getRemoteRTCPCNAME(0, cname, sizeof cname));
    EXPECT_STREQ("alice@loopback", cname);
    ASSERT_EQ(0, a.engine->VE_getRemoteRTCPCNAME(0, cname, sizeof cname));
    EXPECT_STREQ("user1@undefined", cname);
    StopCall(*a.engine, 0);
    StopCall(*b.engine, 0);
    EXPECT_EQ(0, a.engine->VE_Terminate());
    EXPECT_EQ(0, b.engine->VE_Terminate());
}

TEST(LoopbackTest, WrongSrtpKeyIsSilence) {
    vetest::MachineStoreScope store;
    vetest::SteppedEngine a(vetest::Tone(1000, 2.0));
    vetest::SteppedEngine b;
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(0, b.engine->VE_Init(0, 0, 0, 0, 0, 1));
    unsigned char k1[60] = {1}, k2[60] = {2};
    ASSERT_EQ(0, a.engine->VE_CreateChannel());
    ASSERT_EQ(0, b.engine->VE_CreateChannel());
    ASSERT_EQ(0, a.engine->VE_EnableSRTPSend(0, 1, 30, 3, 20, 10, 3, k1));
    ASSERT_EQ(0, b.engine->VE_EnableSRTPReceive(0, 1, 30, 3, 20, 10, 3, k2));
    const VECodecInfo codec = Codec("PCMU", 0, 160);
    StartCall(*a.engine, 0, 42500, 42504, codec);
    StartCall(*b.engine, 0, 42504, 42500, codec);
    vetest::StepAll({&a, &b}, 100);
    unsigned s = 0, o = 0, received = 0;
    ASSERT_EQ(0, b.engine->VE_RTPStat(0, s, o, received));
    EXPECT_EQ(0u, received);
    const auto spk = b.card->SpeakerSamples();
    EXPECT_LT(vetest::Rms(spk, 0, spk.size()), 1.0);
    EXPECT_EQ(0, a.engine->VE_Terminate());
    EXPECT_EQ(0, b.engine->VE_Terminate());
}

// What an engine sends, caught on a plain socket.
class Catcher {
public:
    explicit Catcher(int port) {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~Catcher() { close(m_fd); }
    std::vector<std::vector<uint8_t>> Drain() {
        std::vector<std::vector<uint8_t>> out;
        pollfd p{m_fd, POLLIN, 0};
        while (poll(&p, 1, 20) > 0) {
            uint8_t buf[2048];
            const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }

private:
    int m_fd = -1;
};

TEST(LoopbackTest, PacketisationAndDtmfEventSequence) {
    vetest::MachineStoreScope store;
    vetest::SteppedEngine a(vetest::Tone(1000, 3.0));
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    VEAPI& ve = *a.engine;
    const int ch = ve.VE_CreateChannel();
    Catcher far(42604);
    ASSERT_EQ(0, ve.VE_SetDTMFPayloadType(ch, 97));

    // 60 ms packets first: six blocks each.
    StartCall(ve, ch, 42600, 42604, Codec("PCMU", 0, 480));
    vetest::StepAll({&a}, 36);
    auto packets = far.Drain();
    ASSERT_EQ(6u, packets.size());
    for (const auto& p : packets) {
        EXPECT_EQ(12u + 480u, p.size());
        EXPECT_EQ(0, p[1] & 0x7f);
    }
    StopCall(ve, ch);

    // 20 ms packets, then a 160 ms event.
    StartCall(ve, ch, 42600, 42604, Codec("PCMU", 0, 160));
    vetest::StepAll({&a}, 10);
    far.Drain();
    ASSERT_EQ(0, ve.VE_SendDTMF(ch, 5, 0, 0, 160, 10));
    vetest::StepAll({&a}, 40);
    packets = far.Drain();
    ASSERT_GE(packets.size(), 15u);
    std::vector<size_t> events;
    for (size_t i = 0; i < packets.size(); ++i)
        if ((packets[i][1] & 0x7f) == 97)
            events.push_back(i);
    ASSERT_EQ(11u, events.size());
    // Contiguous: no audio between the first and the last event packet.
    EXPECT_EQ(events.front() + 10, events.back());
    uint32_t ts = 0;
    for (size_t k = 0; k < events.size(); ++k) {
        const auto& p = packets[events[k]];
        ASSERT_EQ(16u, p.size());
        const uint32_t t = (uint32_t(p[4]) << 24) | (p[5] << 16) | (p[6] << 8) | p[7];
        if (k == 0)
            ts = t;
        EXPECT_EQ(ts, t) << k;
        EXPECT_EQ(k == 0, (p[1] & 0x80) != 0) << k; // marker on the first only
        EXPECT_EQ(5, p[12]);
        const bool end = (p[13] & 0x80) != 0;
        EXPECT_EQ(10, p[13] & 0x3f);
        const int duration = (p[14] << 8) | p[15];
        if (k < 8) {
            EXPECT_FALSE(end) << k;
            EXPECT_EQ(160 * static_cast<int>(k + 1), duration) << k;
        } else {
            EXPECT_TRUE(end) << k;
        }
    }
    // Sequence numbers run on without gaps across audio and events.
    for (size_t i = 1; i < packets.size(); ++i) {
        const uint16_t prev = static_cast<uint16_t>((packets[i - 1][2] << 8) | packets[i - 1][3]);
        const uint16_t cur = static_cast<uint16_t>((packets[i][2] << 8) | packets[i][3]);
        EXPECT_EQ(static_cast<uint16_t>(prev + 1), cur) << i;
    }
    StopCall(ve, ch);
    EXPECT_EQ(0, ve.VE_Terminate());
}

TEST(LoopbackTest, SilenceIsSentAsComfortNoiseWithVad) {
    vetest::MachineStoreScope store;
    // 0.5 s tone, 1 s silence, 0.5 s tone.
    std::vector<int16_t> mic = vetest::Tone(1000, 0.5);
    mic.resize(mic.size() + 48000, 0);
    const auto again = vetest::Tone(1000, 0.5);
    mic.insert(mic.end(), again.begin(), again.end());
    vetest::SteppedEngine a(mic);
    ASSERT_EQ(0, a.engine->VE_Init(0, 0, 0, 0, 0, 1));
    VEAPI& ve = *a.engine;
    const int ch = ve.VE_CreateChannel();
    ASSERT_EQ(0, ve.VE_SetVADStatus(ch, 1, 0, 0));
    Catcher far(42804);
    StartCall(ve, ch, 42800, 42804, Codec("PCMU", 0, 160));
    vetest::StepAll({&a}, 200);
    const auto packets = far.Drain();
    StopCall(ve, ch);
    EXPECT_EQ(0, ve.VE_Terminate());

    int speech = 0, noise = 0, marked = 0;
    bool afterNoise = false;
    uint32_t lastTs = 0;
    uint16_t lastSeq = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto& p = packets[i];
        const int pt = p[1] & 0x7f;
        const uint32_t ts = (uint32_t(p[4]) << 24) | (p[5] << 16) | (p[6] << 8) | p[7];
        const uint16_t seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
        if (i > 0) {
            EXPECT_EQ(static_cast<uint16_t>(lastSeq + 1), seq);
            EXPECT_GT(static_cast<int32_t>(ts - lastTs), 0); // time runs on through the silence
        }
        lastTs = ts;
        lastSeq = seq;
        if (pt == 13) {
            ++noise;
            afterNoise = true;
            EXPECT_EQ(13u, p.size()); // header and the noise level
            continue;
        }
        ASSERT_EQ(0, pt);
        ++speech;
        // The first speech packet after comfort noise carries the marker,
        // no other does.
        if (i > 0) {
            EXPECT_EQ(afterNoise, (p[1] & 0x80) != 0) << i;
        }
        marked += afterNoise ? 1 : 0;
        afterNoise = false;
    }
    // About 1 s - 200 ms hangover of silence: a level frame every 200 ms.
    // (The filter's first block may count as silence too.)
    EXPECT_GE(noise, 4);
    EXPECT_LE(noise, 7);
    EXPECT_GE(speech, 55); // 2 x 0.5 s of tone plus the hangovers, 20 ms each
    EXPECT_GE(marked, 1);
}

// The phone's own call order on real-time file cards, WAV in and WAV out.
TEST(CallMediaTest, PhoneCallOrderCarriesAudioBetweenWavFiles) {
    vetest::MachineStoreScope store;
    qf::test::TempDir dir;
    wavfile::Write(dir.file("mic_a.wav"), vetest::Tone(1000, 3.0), 48000);
    wavfile::Write(dir.file("mic_b.wav"), vetest::Tone(440, 3.0, 8000.0, 16000), 16000);
    VEAPI engineA, engineB;
    {
        VECallMedia a(&engineA), b(&engineB);
        ASSERT_EQ(1, a.Init({dir.file("mic_a.wav"), dir.file("spk_a.wav"), 42700})) << a.LastMessage();
        ASSERT_EQ(1, b.Init({dir.file("mic_b.wav"), dir.file("spk_b.wav"), 42710})) << b.LastMessage();
        EXPECT_EQ(-1030, a.StartCall("G722", "9", "127.0.0.1", "42710"));
        EXPECT_EQ("Critical Error, 1030", a.LastMessage());
        ASSERT_EQ(1, a.StartCall("pcma", "8", "127.0.0.1", "42710")) << a.LastMessage();
        ASSERT_EQ(1, b.StartCall("PCMA", "8", "127.0.0.1", "42700")) << b.LastMessage();
        EXPECT_EQ(0, a.SendDigit('5'));
        EXPECT_EQ(-1, a.SendDigit('x'));
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        a.StopCall();
        b.StopCall();
        EXPECT_EQ(-1, a.SendDigit('1')); // no longer sending
    }
    std::vector<int16_t> heardByB, heardByA;
    int rate = 0;
    ASSERT_TRUE(wavfile::Read(dir.file("spk_b.wav"), heardByB, rate));
    ASSERT_TRUE(wavfile::Read(dir.file("spk_a.wav"), heardByA, rate));
    // The second of audio that ends 200 ms before the last loud sample (the
    // files run on in silence until the engines terminate).
    auto lastSecond = [](const std::vector<int16_t>& s) {
        size_t end = s.size();
        while (end > 0 && std::abs(s[end - 1]) < 1000)
            --end;
        end = end > 9600 ? end - 9600 : 0;
        const size_t begin = end > 48000 ? end - 48000 : 0;
        return std::vector<int16_t>(s.begin() + static_cast<long>(begin), s.begin() + static_cast<long>(end));
    };
    const auto b1 = lastSecond(heardByB), a1 = lastSecond(heardByA);
    ASSERT_GE(b1.size(), 24000u);
    ASSERT_GE(a1.size(), 24000u);
    EXPECT_GT(vetest::PowerAt(b1, 0, b1.size(), 1000), 100 * vetest::PowerAt(b1, 0, b1.size(), 440));
    EXPECT_GT(vetest::PowerAt(a1, 0, a1.size(), 440), 100 * vetest::PowerAt(a1, 0, a1.size(), 1000));
}

} // namespace
