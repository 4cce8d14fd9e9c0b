// Calls against SIPp scenarios (lab/sipp/calls/): SIPp plays the far end
// or the proxy on 127.0.0.1, the stack runs as the phone does.
#include "CallTestSupport.h"

#include "app/Logger.h"
#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/UserAgent.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using qf::test::ChildProcess;
using qf::test::EventRecorder;
using qf::test::FreeUdpPort;
using qf::test::Join;
using qf::test::ReadFile;
using qf::test::TempDir;

namespace {

const std::string kScenarios = std::string(QF_SOURCE_DIR) + "/lab/sipp/calls/";
constexpr int kNone = 0x7fff;

class CallsSippTest : public ::testing::Test {
protected:
    void SetUp() override {
        // QF_CALLS_LOG=<file> keeps the program's log of a run.
        if (const char* log = getenv("QF_CALLS_LOG")) {
            CLogger::SetLevel(7);
            CLogger::Open(log);
        }
        m_count = CSdpCodecList::Parse("102,8,0,", m_codecs, 20);
        m_ourPort = FreeUdpPort();
        m_sippPort = FreeUdpPort();
        m_mediaPort = FreeUdpPort();
        ASSERT_GT(m_ourPort, 0);
        m_stack = std::make_unique<CVellSipStack>();
        ASSERT_EQ(1, m_stack->Init("127.0.0.1", "127.0.0.1", std::to_string(m_sippPort).c_str(),
                                   &EventRecorder::Callback, m_events.Owner(), nullptr, m_codecs, m_count,
                                   "quarvoFON test", m_ourPort));
    }

    void TearDown() override {
        m_stack.reset();
        m_sipp.Kill();
    }

    // SIPp as the far end calling us (uac-*) or as the proxy we call (uas-*).
    void StartSipp(const std::string& scenario) {
        const bool callsUs = scenario.rfind("uac-", 0) == 0;
        std::vector<std::string> args = {"sipp", "-sf", kScenarios + scenario, "-m", "1", "-i", "127.0.0.1",
                                         "-p", std::to_string(m_sippPort), "-mp", std::to_string(m_mediaPort),
                                         "-s", "1002", "-timeout", "20", "-timeout_error", "-nostdin",
                                         "-trace_err", "-error_file", m_dir.file("errors.log"),
                                         "-trace_screen", "-screen_file", m_dir.file("screen.log"),
                                         "-trace_msg", "-message_file", m_dir.file("messages.log")};
        if (callsUs) args.push_back("127.0.0.1:" + std::to_string(m_ourPort));
        ASSERT_TRUE(m_sipp.Start(args, m_dir.file("sipp.out")));
        if (!callsUs) {
            // Wait until SIPp listens.
            for (int i = 0; i < 200 && FreeUdpPort() > 0; ++i) {
                if (!PortFree(m_sippPort)) break;
                std::this_thread::sleep_for(10ms);
            }
        }
    }

    static bool PortFree(int port) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        return free;
    }

    // SIPp's verdict: 0 when every message of the scenario came as written.
    int SippResult() {
        const int rc = m_sipp.Wait(25s);
        if (rc != 0) {
            ADD_FAILURE() << "sipp exit " << rc << "\n"
                          << ReadFile(m_dir.file("sipp.out")) << ReadFile(m_dir.file("errors.log"))
                          << (getenv("QF_CALLS_LOG") ? ReadFile(m_dir.file("messages.log")) : std::string())
                          << "\nevents: " << Join(m_events.Statuses());
        }
        return rc;
    }

    int Invite() {
        return m_stack->Invite("1001", "1002", "127.0.0.1", std::to_string(m_sippPort).c_str(), "127.0.0.1",
                               "37644");
    }

    CodecInfo m_codecs[20] = {};
    int m_count = 0;
    int m_ourPort = 0;
    int m_sippPort = 0;
    int m_mediaPort = 0;
    TempDir m_dir;
    EventRecorder m_events;
    ChildProcess m_sipp;
    std::unique_ptr<CVellSipStack> m_stack;
};

// ---- incoming calls ----------------------------------------------------

TEST_F(CallsSippTest, IncomingOfferFollowsThePeersOrderAndThePeerHangsUp) {
    StartSipp("uac-offer-pcmu.xml");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    ASSERT_TRUE(in.hasData);
    EXPECT_EQ(2, in.data.selectedCodecIndex);
    EXPECT_STREQ("PCMU", in.data.codecName);
    EXPECT_STREQ("0", in.data.codecPayload);
    EXPECT_STREQ("8000", in.data.codecFreq);
    EXPECT_STREQ("127.0.0.1", in.data.rtpIp);
    EXPECT_STREQ("4000", in.data.rtpPort);
    EXPECT_STREQ("sipp", in.data.fromUserName);
    EXPECT_STREQ("127.0.0.1", in.data.fromHost);
    EXPECT_STREQ("1002", in.data.toUserName);
    EXPECT_EQ(-1, in.data.telephoneEventIndex);
    EXPECT_GT(in.data.cid, 0);
    EXPECT_GT(in.data.did, 0);
    EXPECT_GT(in.data.tid, 0);
    EXPECT_EQ(1, m_stack->SendRinging(&in.data));
    EXPECT_EQ(1, m_stack->AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    EXPECT_STREQ("37644", m_stack->localRtpPort);
    EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
    auto closed = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, closed.status);
    EXPECT_EQ(in.data.cid, closed.data.cid);
    auto released = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, released.status);
    EXPECT_EQ(in.data.cid, released.data.cid);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, IlbcWithoutModeIsAnsweredWithOurIlbcAndWeHangUp) {
    StartSipp("uac-offer-ilbc.xml");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(0, in.data.selectedCodecIndex);
    EXPECT_STREQ("iLBC", in.data.codecName);
    EXPECT_STREQ("97", in.data.codecPayload);
    EXPECT_STREQ("30", in.data.codecMode);
    EXPECT_EQ(1, m_stack->AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
    EXPECT_EQ(1, m_stack->HangUp(&in.data));
    EXPECT_EQ(VellSS_STATUS_OTHER_SIP_MESSAGE, m_events.Next().status);  // the 200 for our BYE
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
    // The call is gone: ending it again fails.
    EXPECT_EQ(-2, m_stack->HangUp(&in.data));
}

TEST_F(CallsSippTest, UnusableOffersAreRefusedWith488) {
    for (const char* scenario : {"uac-offer-ilbc20.xml", "uac-offer-25-payloads.xml", "uac-offer-no-audio.xml",
                                 "uac-offer-no-connection.xml"}) {
        SCOPED_TRACE(scenario);
        StartSipp(scenario);
        auto in = m_events.Next();
        EXPECT_EQ(-1, in.status);
        EXPECT_STREQ("", in.data.codecName);
        EXPECT_EQ(0, SippResult());
        EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    }
}

TEST_F(CallsSippTest, DtmfInInfoRequestsAndOtherRequestsInTheCall) {
    StartSipp("uac-info-dtmf.xml");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack->AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
    struct {
        int signal;
        int duration;
    } expected[] = {{11, 160}, {5, 0}, {0, 160}};
    for (const auto& e : expected) {
        auto info = m_events.Next();
        ASSERT_EQ(VellSS_STATUS_INFO_MESSAGE, info.status);
        EXPECT_EQ(e.signal, info.data.dtmfSignal);
        EXPECT_EQ(e.duration, info.data.dtmfDuration);
        EXPECT_EQ(in.data.cid, info.data.cid);
    }
    // The MESSAGE in the call is answered but not reported.
    EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, m_events.Next().status);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, ReInviteIsRefusedAndTheCallGoesOn) {
    StartSipp("uac-reinvite.xml");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack->AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
    auto reinvite = m_events.Next();
    EXPECT_EQ(-1, reinvite.status);
    EXPECT_EQ(in.data.cid, reinvite.data.cid);
    EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, m_events.Next().status);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, CallerCancelsWhileWeRing) {
    StartSipp("uac-cancel.xml");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack->SendRinging(&in.data));
    auto cancelled = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_CANCELLED, cancelled.status);
    EXPECT_EQ(in.data.cid, cancelled.data.cid);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
    // Too late to answer.
    EXPECT_EQ(-7, m_stack->AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
}

// ---- outgoing calls ----------------------------------------------------

TEST_F(CallsSippTest, BusyIsARequestFailureWithTheResponse) {
    StartSipp("uas-busy.xml");
    const int cid = Invite();
    ASSERT_GT(cid, 0);
    auto proceeding = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_PROCEEDING, proceeding.status);
    EXPECT_EQ(100, proceeding.data.statusCode);
    EXPECT_EQ(cid, proceeding.data.cid);
    auto ringing = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_RINGING, ringing.status);
    EXPECT_EQ(180, ringing.data.statusCode);
    EXPECT_STREQ("", ringing.data.codecName);  // no early media
    auto busy = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_REQUESTFAILURE, busy.status);
    EXPECT_EQ(486, busy.data.statusCode);
    EXPECT_STREQ("Busy Here", busy.data.responseMessage);
    EXPECT_EQ(cid, busy.data.cid);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
    // The caller URI names the proxy the call went through.
    EXPECT_EQ("sip:1001@127.0.0.1:" + std::to_string(m_sippPort), std::string(m_stack->localUri));
}

TEST_F(CallsSippTest, HangingUpWhileItRingsSendsCancel) {
    StartSipp("uas-cancel.xml");
    ASSERT_GT(Invite(), 0);
    auto ringing = m_events.WaitFor(VellSS_STATUS_CALL_RINGING);
    ASSERT_EQ(VellSS_STATUS_CALL_RINGING, ringing.status);
    EXPECT_EQ(1, m_stack->HangUp(&ringing.data));
    auto failure = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_REQUESTFAILURE, failure.status);
    EXPECT_EQ(487, failure.data.statusCode);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, EarlyMediaThenAnswerAndTheFarEndHangsUp) {
    StartSipp("uas-answer-peer-bye.xml");
    const int cid = Invite();
    ASSERT_GT(cid, 0);
    EXPECT_EQ(VellSS_STATUS_CALL_PROCEEDING, m_events.Next().status);  // 100
    auto early = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_CALL_PROCEEDING, early.status);
    EXPECT_EQ(183, early.data.statusCode);
    EXPECT_STREQ("PCMA", early.data.codecName);
    EXPECT_EQ(1, early.data.selectedCodecIndex);
    auto answered = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    EXPECT_EQ(200, answered.data.statusCode);
    EXPECT_STREQ("PCMA", answered.data.codecName);
    EXPECT_STREQ("8", answered.data.codecPayload);
    EXPECT_STREQ("127.0.0.1", answered.data.rtpIp);
    EXPECT_STREQ("6000", answered.data.rtpPort);
    EXPECT_EQ(20, answered.data.ptime);
    EXPECT_EQ(-1, answered.data.telephoneEventIndex);  // not in our table
    EXPECT_STREQ("1001", answered.data.fromUserName);
    EXPECT_STREQ("1002", answered.data.toUserName);
    EXPECT_EQ(cid, answered.data.cid);
    EXPECT_GT(answered.data.did, 0);
    auto closed = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, closed.status);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, AnsweredCallEndedByUs) {
    StartSipp("uas-answer-our-bye.xml");
    ASSERT_GT(Invite(), 0);
    auto answered = m_events.WaitFor(VellSS_STATUS_OUTGOING_CALL_ANSWERED);
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    EXPECT_EQ(1, m_stack->HangUp(&answered.data));
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
    EXPECT_EQ(0, SippResult());
}

TEST_F(CallsSippTest, ChallengedInviteIsSentAgainWithCredentials) {
    for (const char* scenario : {"uas-auth-407.xml", "uas-auth-401.xml"}) {
        SCOPED_TRACE(scenario);
        ASSERT_EQ(0, m_stack->UserAgent()->AddAuthenticationInfo("1001", "1001", "secret", nullptr, "127.0.0.1"));
        StartSipp(scenario);
        ASSERT_GT(Invite(), 0);
        auto challenge = m_events.Next();
        EXPECT_EQ(VellSS_STATUS_CALL_REQUESTFAILURE, challenge.status);
        EXPECT_EQ(std::string(scenario).find("407") != std::string::npos ? 407 : 401, challenge.data.statusCode);
        auto answered = m_events.WaitFor(VellSS_STATUS_OUTGOING_CALL_ANSWERED);
        EXPECT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
        if (answered.status == VellSS_STATUS_OUTGOING_CALL_ANSWERED) {
            EXPECT_EQ(challenge.data.cid, answered.data.cid);
            EXPECT_EQ(1, m_stack->HangUp(&answered.data));
            EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
        }
        EXPECT_EQ(0, SippResult());
    }
}

} // namespace
