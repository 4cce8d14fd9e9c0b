// A real call between the phone's SIP stack with the voice engine and
// baresip, through the lab's Kamailio. The test moves itself into a network
// namespace of its own and puts baresip into a second one joined by a veth
// pair, so no packet leaves the machine's two namespaces.
//
// We speak a 1 kHz tone from a WAV file and baresip a 440 Hz sine; our
// speaker file must carry 440 Hz and baresip's decoded dump 1 kHz.
#include "CallTestSupport.h"
#include "LabCallNetwork.h"
#include "EngineTestSupport.h"

#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/UserAgent.h"
#include "voiceengine/VECallMedia.h"
#include "voiceengine/WavFile.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <chrono>
#include <filesystem>
#include <iostream>

using namespace std::chrono_literals;
using qf::test::WaitUntil;

namespace {

constexpr char kPhoneAddress[] = "10.231.78.1";
constexpr char kBaresipAddress[] = "10.231.78.2";
constexpr int kCtrlPort = 4444;

std::string FindFile(const std::string& dir, const std::string& suffix) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return e.path().string();
    }
    return "";
}

class BaresipCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        const std::string failed = m_net.Create("qfvoice", "qfvphone", "qfvpeer", kPhoneAddress, kBaresipAddress);
        ASSERT_EQ("", failed);

        ASSERT_TRUE(qf::test::LabCallNetwork::StartKamailio(m_kamailio, m_dir, kPhoneAddress))
            << qf::test::ReadFile(m_dir.file("kamailio.log"));

        // baresip answers by itself, speaks a 440 Hz sine and dumps what it
        // decodes into WAV files.
        const std::string cfg = m_dir.file("baresip");
        m_dumps = m_dir.file("dumps");
        std::filesystem::create_directories(cfg);
        std::filesystem::create_directories(m_dumps);
        qf::test::WriteFile(cfg + "/config",
                            std::string("poll_method epoll\n") + "sip_listen " + kBaresipAddress +
                                ":5060\n"
                                "sip_transports udp\n"
                                "audio_player aubridge,qf\n"
                                "audio_alert aubridge,qf\n"
                                "audio_source ausine,440\n"
                                "ausrc_srate 48000\n"
                                "ausrc_channels 2\n"
                                "auplay_srate 48000\n"
                                "audio_channels 1\n"
                                "module_path /usr/lib/baresip/modules\n"
                                "module g711.so\n"
                                "module aubridge.so\n"
                                "module ausine.so\n"
                                "module sndfile.so\n"
                                "snd_path " + m_dumps + "\n"
                                "module_app account.so\n"
                                "module_app menu.so\n"
                                "module_app ctrl_tcp.so\n"
                                "ctrl_tcp_listen " + kBaresipAddress + ":" + std::to_string(kCtrlPort) + "\n");
        qf::test::WriteFile(cfg + "/accounts", std::string("<sip:1002@") + kPhoneAddress +
                                                   ">;auth_pass=2345;answermode=auto;regint=600\n");
        qf::test::WriteFile(cfg + "/contacts", "");
        ASSERT_TRUE(m_baresip.Start({"ip", "netns", "exec", m_net.PeerNamespace(), "baresip", "-f", cfg}, m_dir.file("baresip.log")));
        ASSERT_TRUE(WaitUntil(
            [this] { return qf::test::ReadFile(m_dir.file("baresip.log")).find("200 OK") != std::string::npos; }, 10s))
            << qf::test::ReadFile(m_dir.file("baresip.log"));

        m_count = CSdpCodecList::Parse("102,8,0,", m_codecs, 20);
        m_stack = std::make_unique<CVellSipStack>();
        ASSERT_EQ(1, m_stack->Init(kPhoneAddress, kPhoneAddress, "5060", &qf::test::EventRecorder::Callback,
                                   m_events.Owner(), nullptr, m_codecs, m_count, "quarvoFON test", 0));
        ua::CUserAgent* agent = m_stack->UserAgent();
        if (dynamic_cast<ua::CCallManager*>(agent->CallLayer()) == nullptr)
            agent->SetCallLayer(std::make_unique<ua::CCallManager>(agent));
        ASSERT_EQ(1, m_stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
        ASSERT_EQ(VellSS_STATUS_REGISTRATION_SUCCESSFUL,
                  m_events.WaitFor(VellSS_STATUS_REGISTRATION_SUCCESSFUL).status);
    }

    void TearDown() override {
        m_media.reset();
        m_stack.reset();
        m_baresip.Stop();
        m_kamailio.Stop();
        m_net.Destroy();
        if (HasFailure())
            std::cerr << "---- baresip\n" << qf::test::ReadFile(m_dir.file("baresip.log")) << "\n";
    }

    qf::test::LabCallNetwork m_net;
    qf::test::TempDir m_dir;
    std::string m_dumps;
    qf::test::ChildProcess m_kamailio;
    qf::test::ChildProcess m_baresip;
    CodecInfo m_codecs[20] = {};
    int m_count = 0;
    qf::test::EventRecorder m_events;
    std::unique_ptr<CVellSipStack> m_stack;
    std::unique_ptr<VECallMedia> m_media;
    vetest::MachineStoreScope m_store;
    VEAPI m_engine;
};

TEST_F(BaresipCallTest, TonesBothWaysInARealCall) {
    wavfile::Write(m_dir.file("mic.wav"), vetest::Tone(1000, 10.0), 48000);
    m_media = std::make_unique<VECallMedia>(&m_engine);
    ASSERT_EQ(1, m_media->Init({m_dir.file("mic.wav"), m_dir.file("speaker.wav"), 37644})) << m_media->LastMessage();

    ASSERT_GT(m_stack->Invite("1001", "1002", kPhoneAddress, "5060", kPhoneAddress, "37644"), 0);
    auto answered = m_events.WaitFor(VellSS_STATUS_OUTGOING_CALL_ANSWERED, 15s);
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    SipData call = answered.data;
    ASSERT_EQ(1, m_media->StartCall(call.codecName, call.codecPayload, call.rtpIp, call.rtpPort))
        << m_media->LastMessage();
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(0, m_media->SendDigit('5'));
    std::this_thread::sleep_for(500ms);
    unsigned sent = 0, octets = 0, received = 0;
    EXPECT_EQ(0, m_engine.VE_RTPStat(0, sent, octets, received));
    EXPECT_EQ(1, m_stack->HangUp(&call));
    m_media->StopCall();
    m_media->Terminate();
    EXPECT_GT(sent, 100u);
    EXPECT_GT(received, 100u);

    std::vector<int16_t> heard;
    int rate = 0;
    ASSERT_TRUE(wavfile::Read(m_dir.file("speaker.wav"), heard, rate));
    ASSERT_GT(heard.size(), 48000u * 2);
    // One second well inside the call (the speaker file starts at Init).
    const size_t from = heard.size() - 48000 * 2;
    EXPECT_GT(vetest::Rms(heard, from, 48000), 300.0);
    EXPECT_GT(vetest::PowerAt(heard, from, 48000, 440), 100 * vetest::PowerAt(heard, from, 48000, 1000));

    ASSERT_TRUE(WaitUntil([this] { return !FindFile(m_dumps, "dec.wav").empty(); }, 5s));
    m_baresip.Stop(); // closes its dump files
    std::vector<int16_t> dump;
    const std::string decoded = FindFile(m_dumps, "dec.wav");
    ASSERT_TRUE(wavfile::Read(decoded, dump, rate)) << decoded;
    ASSERT_GT(dump.size(), static_cast<size_t>(rate));
    const size_t mid = dump.size() / 2 - static_cast<size_t>(rate) / 2;
    EXPECT_GT(vetest::PowerAt(dump, mid, static_cast<size_t>(rate), 1000, rate),
              100 * vetest::PowerAt(dump, mid, static_cast<size_t>(rate), 440, rate));
}

// The same call made headless by quarvofon-cli with WAV files as
// microphone and speaker, keys sent as telephone events.
TEST_F(BaresipCallTest, CliCallWithWavFiles) {
    m_stack.reset(); // the cli signs in as 1001 itself
    wavfile::Write(m_dir.file("mic.wav"), vetest::Tone(1000, 10.0), 48000);
    qf::test::WriteFile(m_dir.file("script"), "call 1002\nsleep 3000\ndtmf 5\nsleep 500\nhangup\nsleep 500\nquit\n");
    const std::string cli = std::string(QF_BINARY_DIR) + "/tools/quarvofon-cli/quarvofon-cli";
    qf::test::ChildProcess run;
    ASSERT_TRUE(run.Start({"sh", "-c",
                           cli + " --server " + kPhoneAddress + " --user 1001 --pin 1234 --register --mic " +
                               m_dir.file("mic.wav") + " --speaker " + m_dir.file("speaker.wav") + " < " +
                               m_dir.file("script")},
                          m_dir.file("cli.out")));
    EXPECT_EQ(0, run.Wait(30s));
    const std::string out = qf::test::ReadFile(m_dir.file("cli.out"));
    EXPECT_NE(std::string::npos, out.find("voice init 1")) << out;
    EXPECT_NE(std::string::npos, out.find("voice start 1")) << out;
    EXPECT_NE(std::string::npos, out.find("result dtmf 0")) << out;
    EXPECT_NE(std::string::npos, out.find("voice stop")) << out;

    std::vector<int16_t> heard;
    int rate = 0;
    ASSERT_TRUE(wavfile::Read(m_dir.file("speaker.wav"), heard, rate));
    ASSERT_GT(heard.size(), 48000u * 3);
    // A second in the middle of the call: 440 Hz from baresip.
    size_t loud = 0;
    for (size_t i = 0; i < heard.size(); ++i)
        if (std::abs(heard[i]) > 1000) {
            loud = i;
            break;
        }
    ASSERT_GT(loud, 0u);
    ASSERT_GT(heard.size(), loud + 48000 + 24000);
    EXPECT_GT(vetest::PowerAt(heard, loud + 24000, 48000, 440), 100 * vetest::PowerAt(heard, loud + 24000, 48000, 1000));
}

} // namespace
