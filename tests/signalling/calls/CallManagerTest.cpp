// The call manager's less common paths, against a scripted peer on
// 127.0.0.1: a CANCEL that must wait for the first provisional answer, an
// answer that crosses our CANCEL, repeated 2xx and ACKs, our 2xx repeated
// until the ACK, declining, and requests inside a call that nobody needs.
#include "CallTestSupport.h"
#include "signalling/reg/FakePeer.h"

#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"
#include "signalling/ua/UserAgent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using qf::test::EventRecorder;
using qf::test::FakePeer;
using qf::test::FreeUdpPort;
using qf::test::MessagePtr;

namespace {

const char kAnswerSdp[] =
    "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 7000 RTP/AVP 0\r\n";

std::string WithBody(std::string response, const std::string& body) {
    const std::string tail = "Content-Length: 0\r\n\r\n";
    response.erase(response.size() - tail.size());
    return response + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Branch(const osip_message_t* m) {
    auto* via = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
    osip_generic_param_t* b = nullptr;
    if (via) osip_via_param_get_byname(via, const_cast<char*>("branch"), &b);
    return b && b->gvalue ? b->gvalue : "";
}

class CallManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_count = CSdpCodecList::Parse("8,0,", m_codecs, 20);
        m_port = FreeUdpPort();
        ASSERT_EQ(1, m_stack.Init("127.0.0.1", "127.0.0.1", m_peer.PortText().c_str(), &EventRecorder::Callback,
                                  m_events.Owner(), nullptr, m_codecs, m_count, "quarvoFON test", m_port));
    }

    int Invite() {
        return m_stack.Invite("1001", "1002", "127.0.0.1", m_peer.PortText().c_str(), "127.0.0.1", "37644");
    }

    // An INVITE from the peer to us, with an offer of PCMU.
    void CallUs(const std::string& callId) {
        const std::string body = "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                 "m=audio 7000 RTP/AVP 0\r\n";
        m_peer.SendToPort(m_port, "INVITE sip:1001@127.0.0.1:" + std::to_string(m_port) +
                                      " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + m_peer.PortText() +
                                      ";branch=z9hG4bKpeer" + callId + "\r\nFrom: <sip:2002@127.0.0.1>;tag=pf" + callId +
                                      "\r\nTo: <sip:1001@127.0.0.1>\r\nCall-ID: " + callId +
                                      "\r\nCSeq: 5 INVITE\r\nContact: <sip:2002@127.0.0.1:" + m_peer.PortText() +
                                      ">\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    // A request from the peer inside the call it opened with CallUs.
    void InDialog(const std::string& method, const std::string& callId, const std::string& ourTag, int cseq,
                  const std::string& branch) {
        m_peer.SendToPort(m_port, method + " sip:1001@127.0.0.1:" + std::to_string(m_port) +
                                      " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + m_peer.PortText() + ";branch=" +
                                      branch + "\r\nFrom: <sip:2002@127.0.0.1>;tag=pf" + callId +
                                      "\r\nTo: <sip:1001@127.0.0.1>;tag=" + ourTag + "\r\nCall-ID: " + callId +
                                      "\r\nCSeq: " + std::to_string(cseq) + " " + method +
                                      "\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    }

    static std::string ToTag(const osip_message_t* m) {
        osip_generic_param_t* tag = nullptr;
        osip_to_get_tag(m->to, &tag);
        return tag && tag->gvalue ? tag->gvalue : "";
    }

    FakePeer m_peer;
    EventRecorder m_events;
    CodecInfo m_codecs[20] = {};
    int m_count = 0;
    int m_port = 0;
    CVellSipStack m_stack;
};

TEST_F(CallManagerTest, HangUpBeforeAnyAnswerCancelsOnceTheFarEndRings) {
    ASSERT_GT(Invite(), 0);
    MessagePtr invite = m_peer.ReceiveRequest("INVITE", 3000);
    ASSERT_TRUE(invite);
    SipData call{};
    call.cid = 1;
    EXPECT_EQ(1, m_stack.HangUp(&call));
    // No CANCEL may precede a provisional answer.
    EXPECT_FALSE(m_peer.ReceiveRequest("CANCEL", 400));
    m_peer.SendText(FakePeer::Response(invite.get(), 180, "Ringing"));
    MessagePtr cancel = m_peer.ReceiveRequest("CANCEL", 3000);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(Branch(invite.get()), Branch(cancel.get()));
    EXPECT_STREQ(invite->cseq->number, cancel->cseq->number);
    EXPECT_STREQ("CANCEL", cancel->cseq->method);
    // A second hang-up sends nothing more.
    EXPECT_EQ(1, m_stack.HangUp(&call));
    EXPECT_FALSE(m_peer.ReceiveRequest("CANCEL", 300));
    m_peer.SendText(FakePeer::Response(cancel.get(), 200, "OK"));
    m_peer.SendText(FakePeer::Response(invite.get(), 487, "Request Terminated"));
    MessagePtr ack = m_peer.ReceiveRequest("ACK", 3000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(Branch(invite.get()), Branch(ack.get()));
    EXPECT_EQ(VellSS_STATUS_CALL_RINGING, m_events.Next().status);
    auto failure = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_REQUESTFAILURE, failure.status);
    EXPECT_EQ(487, failure.data.statusCode);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
}

TEST_F(CallManagerTest, AnswerThatCrossesOurCancelIsConfirmedAndEnded) {
    ASSERT_GT(Invite(), 0);
    MessagePtr invite = m_peer.ReceiveRequest("INVITE", 3000);
    ASSERT_TRUE(invite);
    m_peer.SendText(FakePeer::Response(invite.get(), 180, "Ringing"));
    ASSERT_EQ(VellSS_STATUS_CALL_RINGING, m_events.Next().status);
    SipData call{};
    call.cid = 1;
    EXPECT_EQ(1, m_stack.HangUp(&call));
    MessagePtr cancel = m_peer.ReceiveRequest("CANCEL", 3000);
    ASSERT_TRUE(cancel);
    m_peer.SendText(FakePeer::Response(cancel.get(), 200, "OK"));
    m_peer.SendText(WithBody(FakePeer::Response(invite.get(), 200, "OK",
                                                "Contact: <sip:1002@127.0.0.1:" + m_peer.PortText() + ">\r\n"),
                             kAnswerSdp));
    MessagePtr ack = m_peer.ReceiveRequest("ACK", 3000);
    ASSERT_TRUE(ack);
    EXPECT_NE(Branch(invite.get()), Branch(ack.get()));  // an ACK for a 2xx is a transaction of its own
    EXPECT_EQ("peer1", ToTag(ack.get()));
    MessagePtr bye = m_peer.ReceiveRequest("BYE", 3000);
    ASSERT_TRUE(bye);
    EXPECT_EQ(std::atoi(invite->cseq->number) + 1, std::atoi(bye->cseq->number));
    m_peer.SendText(FakePeer::Response(bye.get(), 200, "OK"));
    // The owner never hears of an answer for the call it gave up.
    EXPECT_NE(VellSS_STATUS_OUTGOING_CALL_ANSWERED, m_events.Next().status);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
}

TEST_F(CallManagerTest, RepeatedAnswerGetsTheSameAck) {
    ASSERT_GT(Invite(), 0);
    MessagePtr invite = m_peer.ReceiveRequest("INVITE", 3000);
    ASSERT_TRUE(invite);
    const std::string ok = WithBody(
        FakePeer::Response(invite.get(), 200, "OK", "Contact: <sip:1002@127.0.0.1:" + m_peer.PortText() + ">\r\n"),
        kAnswerSdp);
    m_peer.SendText(ok);
    auto answered = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    EXPECT_STREQ("PCMU", answered.data.codecName);
    EXPECT_STREQ("7000", answered.data.rtpPort);
    MessagePtr ack = m_peer.ReceiveRequest("ACK", 3000);
    ASSERT_TRUE(ack);
    const std::string first = m_peer.LastText();
    m_peer.SendText(ok);
    MessagePtr again = m_peer.ReceiveRequest("ACK", 3000);
    ASSERT_TRUE(again);
    EXPECT_EQ(first, m_peer.LastText());
    EXPECT_EQ(1, m_stack.HangUp(&answered.data));
    MessagePtr bye = m_peer.ReceiveRequest("BYE", 3000);
    ASSERT_TRUE(bye);
    EXPECT_EQ("peer1", ToTag(bye.get()));
    m_peer.SendText(FakePeer::Response(bye.get(), 200, "OK"));
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
}

TEST_F(CallManagerTest, OurAnswerIsRepeatedUntilAckedAndHangUpWaitsForTheAck) {
    CallUs("c1");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack.AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    MessagePtr ok;
    for (int i = 0; i < 3; ++i) {  // the 200 and two repetitions
        do {
            ok = m_peer.Receive(3000);
        } while (ok && (MSG_IS_REQUEST(ok) || ok->status_code != 200));
        ASSERT_TRUE(ok) << i;
    }
    const std::string tag = ToTag(ok.get());
    EXPECT_FALSE(tag.empty());
    // Hanging up before the ACK: the BYE waits for it.
    EXPECT_EQ(1, m_stack.HangUp(&in.data));
    EXPECT_FALSE(m_peer.ReceiveRequest("BYE", 300));
    m_peer.SendToPort(m_port, "ACK sip:1001@127.0.0.1:" + std::to_string(m_port) +
                                  " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + m_peer.PortText() +
                                  ";branch=z9hG4bKack1\r\nFrom: <sip:2002@127.0.0.1>;tag=pfc1\r\nTo: "
                                  "<sip:1001@127.0.0.1>;tag=" +
                                  tag + "\r\nCall-ID: c1\r\nCSeq: 5 ACK\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
    MessagePtr bye = m_peer.ReceiveRequest("BYE", 3000);
    ASSERT_TRUE(bye);
    EXPECT_EQ("pfc1", ToTag(bye.get()));
    // Sent to the Contact of the INVITE, not just anywhere.
    EXPECT_STREQ("2002", bye->req_uri->username);
    m_peer.SendText(FakePeer::Response(bye.get(), 200, "OK"));
    // Once acknowledged, the 200 is not repeated any more.
    for (MessagePtr m = m_peer.Receive(1500); m; m = m_peer.Receive(1500))
        EXPECT_TRUE(MSG_IS_REQUEST(m) || m->status_code != 200 || !MSG_IS_RESPONSE_FOR(m, "INVITE"));
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.WaitFor(VellSS_STATUS_CALL_RELEASED).status);
}

TEST_F(CallManagerTest, RingingCallIsDeclinedAndRequestsNobodyNeedsAreAnswered) {
    CallUs("c2");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, m_stack.SendRinging(&in.data));
    MessagePtr ringing;
    do {
        ringing = m_peer.Receive(3000);
    } while (ringing && (MSG_IS_REQUEST(ringing) || ringing->status_code != 180));
    ASSERT_TRUE(ringing);
    const std::string tag = ToTag(ringing.get());
    // Inside the early dialog: an UPDATE is not supported, an OPTIONS is
    // answered; neither reaches the owner.
    InDialog("UPDATE", "c2", tag, 6, "z9hG4bKu1");
    InDialog("OPTIONS", "c2", tag, 7, "z9hG4bKo1");
    int seen = 0;
    for (MessagePtr m = m_peer.Receive(2000); m && seen < 2; m = m_peer.Receive(2000)) {
        if (MSG_IS_RESPONSE_FOR(m, "UPDATE")) {
            EXPECT_EQ(501, m->status_code);
            ++seen;
        } else if (MSG_IS_RESPONSE_FOR(m, "OPTIONS")) {
            EXPECT_EQ(200, m->status_code);
            ++seen;
        }
    }
    EXPECT_EQ(2, seen);
    // A BYE for a dialog we do not have.
    InDialog("BYE", "c-none", "nosuchtag", 8, "z9hG4bKb0");
    MessagePtr unknown;
    do {
        unknown = m_peer.Receive(3000);
    } while (unknown && !MSG_IS_RESPONSE_FOR(unknown, "BYE"));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(481, unknown->status_code);

    EXPECT_EQ(1, m_stack.HangUp(&in.data));
    MessagePtr decline;
    do {
        decline = m_peer.Receive(3000);
    } while (decline && (MSG_IS_REQUEST(decline) || decline->status_code < 200));
    ASSERT_TRUE(decline);
    EXPECT_EQ(603, decline->status_code);
    EXPECT_EQ(tag, ToTag(decline.get()));
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    // Gone: neither answer nor hang-up works any more.
    EXPECT_GT(0, m_stack.AcceptIncomingCall(&in.data, "127.0.0.1", "37644"));
    EXPECT_EQ(-2, m_stack.HangUp(&in.data));
}

} // namespace

namespace {

TEST_F(CallManagerTest, OperationArgumentsAndCallerUri) {
    // A record without a transaction to answer, or naming no codec of ours.
    SipData bad{};
    bad.tid = -1;
    EXPECT_EQ(-2, m_stack.AcceptIncomingCall(&bad, "127.0.0.1", "37644"));
    EXPECT_EQ(-2, m_stack.SendRingWithSDP(&bad, "127.0.0.1", "37644"));
    bad.tid = 1;
    bad.selectedCodecIndex = 7;
    EXPECT_EQ(-2, m_stack.AcceptIncomingCall(&bad, "127.0.0.1", "37644"));
    EXPECT_EQ(-2, m_stack.AcceptIncomingCall(nullptr, "127.0.0.1", "37644"));
    bad.selectedCodecIndex = 0;
    EXPECT_EQ(-4, m_stack.AcceptIncomingCall(&bad, "127.0.0.1", "37644"));  // no such transaction
    EXPECT_EQ(-2, m_stack.SendRinging(&bad));
    EXPECT_EQ(-2, m_stack.RejectIncomingCall(&bad));
    EXPECT_EQ(-2, m_stack.HangUp(&bad));
    EXPECT_EQ(-2, m_stack.Invite(nullptr, "1002", "127.0.0.1", "5060", nullptr, nullptr));

    // A caller with a domain of its own keeps it; the INVITE still goes
    // to the proxy, with the default RTP port in its offer.
    ASSERT_GT(m_stack.Invite("1001@example.net", "1002", "127.0.0.1", m_peer.PortText().c_str(), "127.0.0.1", nullptr),
              0);
    EXPECT_STREQ("sip:1001@example.net", m_stack.localUri);
    EXPECT_STREQ("37644", m_stack.localRtpPort);
    MessagePtr invite = m_peer.ReceiveRequest("INVITE", 3000);
    ASSERT_TRUE(invite);
    EXPECT_STREQ("example.net", invite->from->url->host);
    EXPECT_NE(std::string::npos, m_peer.LastText().find("m=audio 37644 RTP/AVP 8 0\r\n"));
    EXPECT_NE(std::string::npos, m_peer.LastText().find("Subject: quarvoFON test\r\n"));
}

} // namespace

namespace {

TEST_F(CallManagerTest, EarlyMediaAnswerThenTheCallWithTheSameTag) {
    CallUs("c3");
    auto in = m_events.Next();
    ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
    EXPECT_EQ(1, in.data.selectedCodecIndex);  // PCMU in the table "8,0,"
    EXPECT_EQ(1, m_stack.SendRingWithSDP(&in.data, "127.0.0.1", "40000"));
    MessagePtr progress;
    do {
        progress = m_peer.Receive(3000);
    } while (progress && (MSG_IS_REQUEST(progress) || progress->status_code != 183));
    ASSERT_TRUE(progress);
    const std::string earlyText = m_peer.LastText();
    EXPECT_NE(std::string::npos, earlyText.find("m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")) << earlyText;
    EXPECT_NE(std::string::npos, earlyText.find("Content-Type: application/sdp"));
    EXPECT_EQ(1, m_stack.AcceptIncomingCall(&in.data, "127.0.0.1", "40000"));
    MessagePtr ok;
    do {
        ok = m_peer.Receive(3000);
    } while (ok && (MSG_IS_REQUEST(ok) || ok->status_code != 200));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ToTag(progress.get()), ToTag(ok.get()));
    osip_contact_t* contact = nullptr;
    osip_message_get_contact(ok.get(), 0, &contact);
    ASSERT_NE(nullptr, contact);
    EXPECT_EQ(m_port, std::atoi(contact->url->port));
}

} // namespace
