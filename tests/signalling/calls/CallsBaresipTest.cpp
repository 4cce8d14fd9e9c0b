// Real calls through the lab's Kamailio to and from baresip.
//
// The test moves itself into a network namespace of its own (the phone
// and Kamailio live there) and puts baresip into a second one, joined by a
// veth pair: baresip announces the only address it has, the one in its
// namespace, and no packet leaves the two namespaces.
#include "CallTestSupport.h"
#include "LabCallNetwork.h"

#include "app/Logger.h"
#include "signalling/SdpCodecList.h"
#include "signalling/VellSipStack.h"
#include "signalling/ua/CallManager.h"
#include "signalling/ua/UserAgent.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

using namespace std::chrono_literals;
using qf::test::ChildProcess;
using qf::test::EventRecorder;
using qf::test::Join;
using qf::test::LabCallNetwork;
using qf::test::WaitUntil;
using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

constexpr char kPhoneAddress[] = "10.231.77.1";   // our namespace: phone and Kamailio
constexpr char kBaresipAddress[] = "10.231.77.2"; // baresip's namespace
constexpr int kCtrlPort = 4444;

class CallsBaresipTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for network namespaces";
        if (const char* log = getenv("QF_CALLS_LOG")) {
            CLogger::SetLevel(7);
            CLogger::Open(log);
        }
        const std::string failed = m_net.Create("qfcalls", "qfphone", "qfpeer", kPhoneAddress, kBaresipAddress);
        ASSERT_EQ("", failed);

        // The lab's Kamailio, listening on our side of the pair.
        ASSERT_TRUE(LabCallNetwork::StartKamailio(m_kamailio, m_dir, kPhoneAddress))
            << ReadFile(m_dir.file("kamailio.log"));

        // baresip: auto-answer, G.711 only, commands over TCP.
        const std::string cfg = m_dir.file("baresip");
        std::filesystem::create_directories(cfg);
        const std::string lab = std::string(QF_SOURCE_DIR) + "/lab/baresip/";
        WriteFile(cfg + "/config", Fill(ReadFile(lab + "config.in")));
        WriteFile(cfg + "/accounts", Fill(ReadFile(lab + "accounts.in")));
        WriteFile(cfg + "/contacts", "");
        ASSERT_TRUE(m_baresip.Start({"ip", "netns", "exec", m_net.PeerNamespace(), "baresip", "-f", cfg}, m_dir.file("baresip.log")));
        ASSERT_TRUE(WaitUntil([this] { return ReadFile(m_dir.file("baresip.log")).find("200 OK") != std::string::npos; },
                              10s))
            << ReadFile(m_dir.file("baresip.log"));

        // The phone, signed in as 1001.
        m_count = CSdpCodecList::Parse("102,8,0,", m_codecs, 20);
        m_stack = std::make_unique<CVellSipStack>();
        ASSERT_EQ(1, m_stack->Init(kPhoneAddress, kPhoneAddress, "5060", &EventRecorder::Callback, m_events.Owner(),
                                   nullptr, m_codecs, m_count, "quarvoFON test", 0));
        ASSERT_EQ(1, m_stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
        ASSERT_EQ(VellSS_STATUS_REGISTRATION_SUCCESSFUL, m_events.WaitFor(VellSS_STATUS_REGISTRATION_SUCCESSFUL).status)
            << Join(m_events.Statuses());
    }

    void TearDown() override {
        m_stack.reset();  // unregisters while Kamailio is still there
        m_baresip.Stop();
        m_kamailio.Stop();
        m_net.Destroy();
        if (HasFailure()) {
            std::cerr << "---- baresip\n" << ReadFile(m_dir.file("baresip.log")) << "---- kamailio\n"
                      << ReadFile(m_dir.file("kamailio.log")) << "---- events " << Join(m_events.Statuses()) << "\n";
        }
    }

    // The lab's baresip templates with our addresses.
    static std::string Fill(std::string text) {
        const std::pair<std::string, std::string> values[] = {{"@PEER_ADDRESS@", kBaresipAddress},
                                                              {"@SERVER_ADDRESS@", kPhoneAddress},
                                                              {"@CTRL_PORT@", std::to_string(kCtrlPort)}};
        for (const auto& [key, value] : values) {
            for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
                text.replace(at, key.size(), value);
        }
        return text;
    }

    // One command to baresip's ctrl_tcp module, as a netstring.
    bool Baresip(const std::string& command, const std::string& params = "") {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kCtrlPort);
        inet_pton(AF_INET, kBaresipAddress, &a.sin_addr);
        timeval tv{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (ok) {
            const std::string json = "{\"command\":\"" + command + "\",\"params\":\"" + params + "\",\"token\":\"qf\"}";
            const std::string netstring = std::to_string(json.size()) + ":" + json + ",";
            ok = send(fd, netstring.data(), netstring.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(netstring.size());
            char reply[512];
            if (ok) ok = recv(fd, reply, sizeof reply, 0) > 0;  // the command's answer
        }
        close(fd);
        return ok;
    }

    int Invite() { return m_stack->Invite("1001", "1002", kPhoneAddress, "5060", kPhoneAddress, "37644"); }

    static void ExpectBaresipMedia(const SipData& d) {
        EXPECT_TRUE(std::string(d.codecName) == "PCMU" || std::string(d.codecName) == "PCMA") << d.codecName;
        EXPECT_EQ(std::string(d.codecName) == "PCMA" ? 1 : 2, d.selectedCodecIndex);
        EXPECT_STREQ(kBaresipAddress, d.rtpIp);
        const int port = std::atoi(d.rtpPort);
        EXPECT_GT(port, 0);
        EXPECT_LT(port, 65536);
    }

    LabCallNetwork m_net;
    TempDir m_dir;
    ChildProcess m_kamailio;
    ChildProcess m_baresip;
    CodecInfo m_codecs[20] = {};
    int m_count = 0;
    EventRecorder m_events;
    std::unique_ptr<CVellSipStack> m_stack;
};

TEST_F(CallsBaresipTest, OutgoingAnsweredAndEndedByUs) {
    const int cid = Invite();
    ASSERT_GT(cid, 0);
    auto answered = m_events.WaitFor(VellSS_STATUS_OUTGOING_CALL_ANSWERED, 15s);
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    EXPECT_EQ(cid, answered.data.cid);
    EXPECT_EQ(200, answered.data.statusCode);
    ExpectBaresipMedia(answered.data);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(1, m_stack->HangUp(&answered.data));
    // The BYE is answered (no request failure), then the call is released.
    auto next = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_OTHER_SIP_MESSAGE, next.status);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    EXPECT_TRUE(WaitUntil([this] { return ReadFile(m_dir.file("baresip.log")).find("session closed") != std::string::npos; },
                          5s));
}

TEST_F(CallsBaresipTest, OutgoingAnsweredAndEndedByBaresip) {
    ASSERT_GT(Invite(), 0);
    auto answered = m_events.WaitFor(VellSS_STATUS_OUTGOING_CALL_ANSWERED, 15s);
    ASSERT_EQ(VellSS_STATUS_OUTGOING_CALL_ANSWERED, answered.status);
    ExpectBaresipMedia(answered.data);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(Baresip("hangup"));
    auto closed = m_events.Next();
    EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, closed.status);
    EXPECT_EQ(answered.data.cid, closed.data.cid);
    EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
}

TEST_F(CallsBaresipTest, IncomingFromBaresipAnsweredThenEndedByEitherSide) {
    for (bool weHangUp : {false, true}) {
        SCOPED_TRACE(weHangUp ? "we hang up" : "baresip hangs up");
        ASSERT_TRUE(Baresip("dial", std::string("sip:1001@") + kPhoneAddress));
        auto in = m_events.WaitFor(VellSS_STATUS_INCOMING_CALL, 15s);
        ASSERT_EQ(VellSS_STATUS_INCOMING_CALL, in.status);
        EXPECT_STREQ("1002", in.data.fromUserName);
        EXPECT_STREQ("1001", in.data.toUserName);
        ExpectBaresipMedia(in.data);
        EXPECT_EQ(1, m_stack->SendRinging(&in.data));
        EXPECT_EQ(1, m_stack->AcceptIncomingCall(&in.data, kPhoneAddress, "37644"));
        EXPECT_EQ(VellSS_STATUS_CALL_ACK, m_events.Next().status);
        std::this_thread::sleep_for(500ms);
        if (weHangUp) {
            EXPECT_EQ(1, m_stack->HangUp(&in.data));
            EXPECT_EQ(VellSS_STATUS_OTHER_SIP_MESSAGE, m_events.Next().status);
        } else {
            ASSERT_TRUE(Baresip("hangup"));
            EXPECT_EQ(VellSS_STATUS_CALL_CLOSED, m_events.Next().status);
        }
        EXPECT_EQ(VellSS_STATUS_CALL_RELEASED, m_events.Next().status);
    }
}

} // namespace
