// Calls that time out (each waits the 32 s of the SIP timers): an INVITE
// nobody answers, and our 2xx that is never acknowledged.
#include "CallTestSupport.h"
#include "signalling/reg/FakePeer.h"

#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace std::chrono_literals;
using qf::test::EventRecorder;
using qf::test::FakePeer;
using qf::test::FreeUdpPort;
using qf::test::MessagePtr;

namespace {

class CallTimeoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_count = CSdpCodecList::Parse("8,0,", m_codecs, 20);
        m_port = FreeUdpPort();
        ASSERT_EQ(1, m_stack.Init("127.0.0.1", "127.0.0.1", m_peer.PortText().c_str(), &EventRecorder::Callback,
                                  m_events.Owner(), nullptr, m_codecs, m_count, "quarvoFON test", m_port));
    }
    FakePeer m_peer;
    EventRecorder m_events;
    CodecInfo m_codecs[20] = {};
    int m_count = 0;
    int m_port = 0;
    CVellSipStack m_stack;
};

TEST_F(CallTimeoutTest, InviteNobodyAnswersIsNoAnswer) {
    const int cid = m_stack.Invite("1001", "1002", "127.0.0.1", m_peer.PortText().c_str(), "127.0.0.1", "37644");
    ASSERT_GT(cid, 0);
    ASSERT_TRUE(m_peer.ReceiveRequest("INVITE", 3000));
    auto noAnswer = m_events.Next(45s);
    EXPECT_EQ(VellSS_STATUS_CALL_NOANSWER, noAnswer.status);
    EXPECT_EQ(cid, noAnswer.data.cid);
    EXPECT_EQ(0, noAnswer.data.statusCode);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    // The owner's retry of HangUp after a no-answer finds nothing to end.
    EXPECT_EQ(-2, m_stack.HangUp(&noAnswer.data));
}

TEST_F(CallTimeoutTest, AnswerNeverAcknowledgedEndsTheCall) {
    const std::string body = "v=0\r\no=p 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                             "m=audio 7000 RTP/AVP 8\r\n";
    m_peer.SendToPort(m_port, "INVITE sip:1001@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + m_peer.PortText() +
                                  ";branch=z9hG4bKt1\r\nFrom: <sip:2002@127.0.0.1>;tag=pt\r\nTo: "
                                  "<sip:1001@127.0.0.1>\r\nCall-ID: t1\r\nCSeq: 1 INVITE\r\nContact: <sip:2002@127.0.0.1:" +
                                  m_peer.PortText() + ">\r\nContent-Type: application/sdp\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body);
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack.AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    auto timeout = m_events.Next(45s);
    EXPECT_EQ(VellSS_STATUS_CALL_TIMEOUT, timeout.status);
    EXPECT_EQ(in.data.cid, timeout.data.cid);
    MessagePtr bye = m_peer.ReceiveRequest("BYE", 3000);
    ASSERT_TRUE(bye);
    m_peer.SendText(FakePeer::Response(bye.get(), 200, "OK", std::string(), false));
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
}

} // namespace
