#include "signalling/ua/DigestAuth.h"
#include "signalling/ua/Registration.h"
#include "signalling/ua/UserAgent.h"

#include "FakePeer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <malloc.h>
#include <map>
#include <thread>

using qf::test::FakePeer;
using qf::test::MessagePtr;
using ua::CUserAgent;
using ua::Event;

namespace {

struct EventDeleter {
    void operator()(Event* e) const { CUserAgent::EventFree(e); }
};
using EventPtr = std::unique_ptr<Event, EventDeleter>;

// Digest parameters of an Authorization or Proxy-Authorization value.
std::map<std::string, std::string> DigestParams(const std::string& value) {
    std::map<std::string, std::string> out;
    size_t pos = value.find(' ');
    while (pos != std::string::npos && pos < value.size()) {
        size_t eq = value.find('=', pos);
        if (eq == std::string::npos) break;
        std::string key = value.substr(pos, eq - pos);
        key.erase(0, key.find_first_not_of(" ,"));
        std::string v;
        size_t next;
        if (value[eq + 1] == '"') {
            size_t close = value.find('"', eq + 2);
            v = value.substr(eq + 2, close - eq - 2);
            next = close + 1;
        } else {
            next = value.find(',', eq);
            v = value.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1);
        }
        out[key] = v;
        pos = next == std::string::npos ? next : next + 1;
    }
    return out;
}

class UserAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, agent.Init());
        ASSERT_EQ(0, agent.ListenAddr(IPPROTO_UDP, "127.0.0.1", 0, AF_INET, 0));
        agent.SetUserAgent("quarvoFON test");
        ASSERT_EQ(0, agent.AddAuthenticationInfo("1001", "1001", "1234", nullptr, "127.0.0.1"));
        from = "sip:1001@127.0.0.1:" + peer.PortText();
        proxy = "sip:127.0.0.1:" + peer.PortText();
    }

    EventPtr WaitEvent(int type, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            EventPtr e(agent.EventWait(0, 50000));
            if (e && e->type == type) return e;
        }
        return nullptr;
    }

    int StartRegistration(int expires) {
        osip_message_t* reg = nullptr;
        EXPECT_EQ(0, agent.Lock());
        int rid = agent.RegisterBuildInitialRegister(from.c_str(), proxy.c_str(), nullptr, expires, &reg);
        EXPECT_GT(rid, 0);
        EXPECT_EQ(0, agent.RegisterSendRegister(rid, reg));
        agent.Unlock();
        return rid;
    }

    std::string Challenge(const char* nonce) {
        return std::string("Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"") + nonce +
               "\", qop=\"auth\"\r\n";
    }

    CUserAgent agent;
    FakePeer peer;
    std::string from, proxy;
};

// Challenge answered with the stored credentials, binding granted, and
// renewed before it expires with the same Call-ID and a higher CSeq.
TEST_F(UserAgentTest, RegistrationAnswersTheChallengeAndRefreshesBeforeExpiry) {
    StartRegistration(2);
    MessagePtr first = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(first);
    std::string text = peer.LastText();
    EXPECT_NE(text.find(";rport"), std::string::npos);
    EXPECT_NE(text.find("branch=z9hG4bK"), std::string::npos);
    EXPECT_NE(text.find("User-Agent: quarvoFON test"), std::string::npos);
    EXPECT_EQ("2", FakePeer::Header(first.get(), "expires"));
    osip_contact_t* contact = nullptr;
    osip_message_get_contact(first.get(), 0, &contact);
    ASSERT_TRUE(contact && contact->url);
    EXPECT_STREQ("1001", contact->url->username);
    EXPECT_STREQ("127.0.0.1", contact->url->host);
    EXPECT_EQ(std::to_string(agent.LocalPort()), contact->url->port);
    EXPECT_EQ(0, osip_list_size(&first->proxy_authorizations));

    peer.SendText(FakePeer::Response(first.get(), 407, "Proxy Authentication Required", Challenge("n1")));
    EventPtr failure = WaitEvent(ua::EXOSIP_REGISTRATION_FAILURE, 2000);
    ASSERT_TRUE(failure);
    ASSERT_TRUE(failure->response);
    EXPECT_EQ(407, failure->response->status_code);
    ASSERT_EQ(0, agent.DefaultAction(failure.get()));

    MessagePtr second = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(second);
    EXPECT_STREQ(first->call_id->number, second->call_id->number);
    EXPECT_STREQ("2", second->cseq->number);
    std::string auth = FakePeer::Header(second.get(), "proxy-authorization");
    if (auth.empty()) {
        auto* a = static_cast<osip_authorization_t*>(osip_list_get(&second->proxy_authorizations, 0));
        ASSERT_NE(a, nullptr);
        char* s = nullptr;
        osip_authorization_to_str(a, &s);
        auth = s;
        osip_free(s);
    }
    auto p = DigestParams(auth);
    EXPECT_EQ("1001", p["username"]);
    EXPECT_EQ("n1", p["nonce"]);
    EXPECT_EQ("00000001", p["nc"]);
    std::string ha1 = ua::CDigestAuth::Md5Hex("1001:127.0.0.1:1234");
    std::string ha2 = ua::CDigestAuth::Md5Hex("REGISTER:" + p["uri"]);
    EXPECT_EQ(ua::CDigestAuth::Md5Hex(ha1 + ":n1:00000001:" + p["cnonce"] + ":auth:" + ha2), p["response"]);

    std::string contactLine = "Contact: <sip:1001@127.0.0.1:" + std::to_string(agent.LocalPort()) + ">;expires=2\r\n";
    peer.SendText(FakePeer::Response(second.get(), 200, "OK", contactLine));
    auto granted = std::chrono::steady_clock::now();
    EventPtr success = WaitEvent(ua::EXOSIP_REGISTRATION_SUCCESS, 2000);
    ASSERT_TRUE(success);
    EXPECT_EQ(failure->rid, success->rid);

    // Granted 2 s: the refresh comes about a second later, well before expiry.
    MessagePtr refresh = peer.ReceiveRequest("REGISTER", 3000);
    ASSERT_TRUE(refresh);
    double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - granted).count();
    EXPECT_GT(after, 0.7);
    EXPECT_LT(after, 1.9);
    EXPECT_STREQ(first->call_id->number, refresh->call_id->number);
    EXPECT_STREQ("3", refresh->cseq->number);
    EXPECT_NE(peer.LastText().find("nc=00000002"), std::string::npos);
}

// Signing out sends a new REGISTER with expiry 0, possibly with another
// host in its From (the caller URI of the last call): the old binding must
// not be renewed behind it.
TEST_F(UserAgentTest, UnregistrationStopsTheRenewalOfTheAccount) {
    StartRegistration(2);
    MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(reg);
    peer.SendText(FakePeer::Response(reg.get(), 200, "OK", "Expires: 2\r\n"));
    EventPtr ok = WaitEvent(ua::EXOSIP_REGISTRATION_SUCCESS, 2000);
    ASSERT_TRUE(ok);
    EXPECT_GT(agent.SecondsToRefresh(ok->rid), 0);

    from = "sip:1001@10.9.9.9:5060";
    StartRegistration(0);
    MessagePtr unreg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(unreg);
    EXPECT_EQ("0", FakePeer::Header(unreg.get(), "expires"));
    EXPECT_LT(agent.SecondsToRefresh(ok->rid), 0);
    peer.SendText(FakePeer::Response(unreg.get(), 200, "OK"));
    EXPECT_FALSE(peer.ReceiveRequest("REGISTER", 2500)) << "no renewal after the unregistration";
}

// The owner registers again every 3000 s with a new initial REGISTER: the
// newer registration takes over the renewal instead of both renewing for
// ever (and the table of registrations filling up).
TEST_F(UserAgentTest, ANewRegistrationOfTheAccountTakesOverTheRenewal) {
    std::string lastCallId;
    int firstRid = 0;
    for (int i = 0; i < 3 * CUserAgent::MAX_REGISTRATIONS; ++i) {
        int rid = StartRegistration(2);
        ASSERT_GT(rid, 0) << "registration " << i;
        if (!firstRid) firstRid = rid;
        MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
        ASSERT_TRUE(reg);
        lastCallId = reg->call_id->number;
        peer.SendText(FakePeer::Response(reg.get(), 200, "OK", "Expires: 2\r\n"));
        ASSERT_TRUE(WaitEvent(ua::EXOSIP_REGISTRATION_SUCCESS, 2000));
    }
    EXPECT_LT(agent.SecondsToRefresh(firstRid), 0);
    EXPECT_LE(agent.RegistrationCount(), static_cast<size_t>(CUserAgent::MAX_REGISTRATIONS));
    // Exactly one renewal comes, from the newest registration.
    MessagePtr refresh = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(refresh);
    EXPECT_EQ(lastCallId, refresh->call_id->number);
    peer.SendText(FakePeer::Response(refresh.get(), 200, "OK", "Expires: 60\r\n"));
    EXPECT_FALSE(peer.ReceiveRequest("REGISTER", 500));
}

TEST_F(UserAgentTest, RefusedCredentialsAreTriedOnlyTwiceMore) {
    StartRegistration(3600);
    int failures = 0;
    for (int round = 0; round < 5; ++round) {
        MessagePtr reg = peer.ReceiveRequest("REGISTER", round < 3 ? 2000 : 700);
        if (!reg) break;
        std::string nonce = "n" + std::to_string(round);
        peer.SendText(FakePeer::Response(reg.get(), 407, "Proxy Authentication Required", Challenge(nonce.c_str())));
        EventPtr e = WaitEvent(ua::EXOSIP_REGISTRATION_FAILURE, 2000);
        ASSERT_TRUE(e);
        ++failures;
        agent.DefaultAction(e.get());
    }
    EXPECT_EQ(3, failures);
}

TEST_F(UserAgentTest, FinalRefusalsAreReportedAndNotRetried) {
    for (int status : {403, 404, 423, 500, 503, 603}) {
        SCOPED_TRACE(status);
        StartRegistration(3600);
        MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
        ASSERT_TRUE(reg);
        peer.SendText(FakePeer::Response(reg.get(), status, "No"));
        EventPtr e = WaitEvent(ua::EXOSIP_REGISTRATION_FAILURE, 2000);
        ASSERT_TRUE(e);
        ASSERT_TRUE(e->response);
        EXPECT_EQ(status, e->response->status_code);
        EXPECT_EQ(0, agent.DefaultAction(e.get()));
        EXPECT_FALSE(peer.ReceiveRequest("REGISTER", 300));
        EXPECT_LT(agent.SecondsToRefresh(e->rid), 0);
    }
}

// Nobody listens at the server's port: the failure comes at once (from
// the ICMP error), without a response, instead of after 32 s.
TEST_F(UserAgentTest, DeadServerFailsWithoutResponse) {
    int deadPort;
    {
        FakePeer gone;
        deadPort = gone.Port();
    }
    from = "sip:1001@127.0.0.1:" + std::to_string(deadPort);
    proxy = "sip:127.0.0.1:" + std::to_string(deadPort);
    auto start = std::chrono::steady_clock::now();
    StartRegistration(3600);
    EventPtr e = WaitEvent(ua::EXOSIP_REGISTRATION_FAILURE, 3000);
    ASSERT_TRUE(e);
    EXPECT_EQ(nullptr, e->response);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
}

std::string Request(const std::string& method, int agentPort, const std::string& branch, bool toTag,
                    const std::string& callId = "stray-1") {
    return method + " sip:1001@127.0.0.1:" + std::to_string(agentPort) + " SIP/2.0\r\n" +
           "Via: SIP/2.0/UDP 127.0.0.1:9;rport;branch=z9hG4bK" + branch + "\r\n" +
           "From: <sip:2001@127.0.0.1>;tag=f1\r\n" + "To: <sip:1001@127.0.0.1>" + (toTag ? ";tag=t1" : "") +
           "\r\n" + "Call-ID: " + callId + "\r\n" + "CSeq: 7 " + method + "\r\n" + "Max-Forwards: 70\r\n" +
           "Content-Length: 0\r\n\r\n";
}

TEST_F(UserAgentTest, StrayRequestsGetTheRightAnswers) {
    struct Case {
        const char* method;
        bool toTag;
        int status;
    } cases[] = {
        {"OPTIONS", false, 200}, {"BYE", true, 481},       {"BYE", false, 481},     {"INFO", true, 481},
        {"CANCEL", false, 481},  {"NOTIFY", false, 481},   {"SUBSCRIBE", false, 501}, {"PUBLISH", false, 501},
        {"REGISTER", false, 501}, {"FOO", false, 501},     {"MESSAGE", true, 481},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.method) + (k.toTag ? " in dialog" : ""));
        std::string branch = "s" + std::to_string(++n);
        peer.SendToPort(agent.LocalPort(), Request(k.method, agent.LocalPort(), branch, k.toTag));
        MessagePtr r = peer.Receive(2000);
        ASSERT_TRUE(r);
        EXPECT_EQ(k.status, r->status_code);
        EXPECT_NE(peer.LastText().find(branch), std::string::npos);
    }
    // A Via naming a host to send the answer to is not looked up: the
    // request is answered nowhere rather than holding the agent up.
    std::string maddr = Request("OPTIONS", agent.LocalPort(), "maddr", false, "maddr-1");
    maddr.replace(maddr.find(";rport"), 6, ";maddr=unresolvable.invalid");
    auto sent = std::chrono::steady_clock::now();
    peer.SendToPort(agent.LocalPort(), maddr);
    peer.SendToPort(agent.LocalPort(), Request("OPTIONS", agent.LocalPort(), "after-maddr", false, "maddr-2"));
    MessagePtr after = peer.Receive(2000);
    ASSERT_TRUE(after);
    EXPECT_NE(peer.LastText().find("after-maddr"), std::string::npos);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count(), 0.5);

    // An out-of-dialog MESSAGE is accepted and handed to the owner once,
    // however often it is retransmitted.
    std::string message = Request("MESSAGE", agent.LocalPort(), "m1", false, "msg-1");
    peer.SendToPort(agent.LocalPort(), message);
    MessagePtr ok = peer.Receive(2000);
    ASSERT_TRUE(ok);
    EXPECT_EQ(200, ok->status_code);
    peer.SendToPort(agent.LocalPort(), message);
    MessagePtr again = peer.Receive(2000);
    ASSERT_TRUE(again);
    EXPECT_EQ(200, again->status_code);
    EventPtr e = WaitEvent(ua::EXOSIP_MESSAGE_NEW, 1000);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->request);
    EXPECT_STREQ("MESSAGE", e->request->sip_method);
    EXPECT_FALSE(WaitEvent(ua::EXOSIP_MESSAGE_NEW, 300));
}

TEST_F(UserAgentTest, KeepAliveMessageAnswersItsChallengeOnce) {
    std::string target = "sip:1001@127.0.0.1:" + peer.PortText();
    osip_message_t* m = nullptr;
    ASSERT_EQ(0, agent.Lock());
    ASSERT_EQ(0, agent.MessageBuildRequest(&m, "MESSAGE", target.c_str(), target.c_str(), nullptr));
    ASSERT_GT(agent.MessageSendRequest(m), 0);
    agent.Unlock();
    MessagePtr first = peer.ReceiveRequest("MESSAGE", 2000);
    ASSERT_TRUE(first);
    EXPECT_EQ(0, osip_list_size(&first->bodies));
    peer.SendText(FakePeer::Response(first.get(), 407, "Proxy Authentication Required", Challenge("k1")));
    EventPtr failure = WaitEvent(ua::EXOSIP_MESSAGE_REQUESTFAILURE, 2000);
    ASSERT_TRUE(failure);
    ASSERT_EQ(0, agent.DefaultAction(failure.get()));
    MessagePtr second = peer.ReceiveRequest("MESSAGE", 2000);
    ASSERT_TRUE(second);
    EXPECT_EQ(1, osip_list_size(&second->proxy_authorizations));
    EXPECT_EQ(atoi(first->cseq->number) + 1, atoi(second->cseq->number));
    peer.SendText(FakePeer::Response(second.get(), 407, "Proxy Authentication Required", Challenge("k2")));
    EventPtr refused = WaitEvent(ua::EXOSIP_MESSAGE_REQUESTFAILURE, 2000);
    ASSERT_TRUE(refused);
    EXPECT_EQ(-1, agent.DefaultAction(refused.get()));
    EXPECT_FALSE(peer.ReceiveRequest("MESSAGE", 300));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapMeasurable = false;  // the sanitizers keep freed memory aside
#else
constexpr bool kHeapMeasurable = true;
#endif

// Bytes of heap in use.
long HeapInUse() { return static_cast<long>(mallinfo2().uordblks); }

// Garbage, cut and oversized datagrams and valid requests for dialogs we
// do not have: the agent keeps answering promptly and its memory stays
// bounded.
TEST_F(UserAgentTest, FloodLeavesTheAgentResponsiveAndBounded) {
    const int port = agent.LocalPort();
    std::string valid = Request("BYE", port, "flood", true);
    std::string oversized(65000, 'A');
    oversized.replace(0, 8, "INVITE s");
    auto flood = [&](int round) {
        for (int i = 0; i < 1500; ++i) {
            switch (i % 5) {
            case 0:
                peer.SendToPort(port, std::string(1 + i % 300, static_cast<char>(i * 7)));
                break;
            case 1:
                peer.SendToPort(port, valid.substr(0, static_cast<size_t>(i) % valid.size()));
                break;
            case 2:
                peer.SendToPort(port, oversized);
                break;
            default:
                peer.SendToPort(port, Request("BYE", port, "f" + std::to_string(round) + "x" + std::to_string(i), true,
                                              "c" + std::to_string(i)));
                break;
            }
            if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    // The first floods fill the table of server transactions; after that
    // the heap must stay where it is.
    int round = 0;
    while (agent.LiveTransactions() < CUserAgent::MAX_SERVER_TRANSACTIONS && round < 20) {
        flood(round++);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_GE(agent.LiveTransactions(), static_cast<size_t>(CUserAgent::MAX_SERVER_TRANSACTIONS));
    long afterFirst = HeapInUse();
    for (int more = 0; more < 4; ++more) flood(round++);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long afterLast = HeapInUse();
    EXPECT_LE(agent.LiveTransactions(), static_cast<size_t>(CUserAgent::MAX_SERVER_TRANSACTIONS) + 8);
    if (kHeapMeasurable) {
        EXPECT_LT(afterLast - afterFirst, 256 * 1024) << "heap grew by " << (afterLast - afterFirst) << " bytes";
    }

    // Drain what the flood provoked, then check the agent still answers.
    while (peer.ReceiveText(200).size() > 0) {
    }
    auto start = std::chrono::steady_clock::now();
    peer.SendToPort(port, Request("OPTIONS", port, "after-flood", false, "probe"));
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        MessagePtr r = peer.Receive(500);
        answered = r && r->status_code == 200 && peer.LastText().find("after-flood") != std::string::npos;
    }
    EXPECT_TRUE(answered);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.5);
    EXPECT_EQ(0u, agent.PendingEvents());
}

TEST(RegistrationTest, RefreshDelayAndGrantedExpiry) {
    EXPECT_EQ(3540, ua::CRegistration::RefreshDelay(3600));
    EXPECT_EQ(60, ua::CRegistration::RefreshDelay(120));
    EXPECT_EQ(1, ua::CRegistration::RefreshDelay(2));
    EXPECT_EQ(1, ua::CRegistration::RefreshDelay(1));
    EXPECT_EQ(0, ua::CRegistration::RefreshDelay(0));

    static bool once = (parser_init(), true);
    (void)once;
    auto parse = [](const std::string& headers) {
        std::string t = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n"
                        "From: <sip:1001@h>;tag=1\r\nTo: <sip:1001@h>;tag=2\r\nCall-ID: c\r\nCSeq: 1 REGISTER\r\n" +
                        headers + "Content-Length: 0\r\n\r\n";
        osip_message_t* m = nullptr;
        osip_message_init(&m);
        osip_message_parse(m, t.c_str(), t.size());
        return MessagePtr(m);
    };
    const std::string mine = "<sip:1001@127.0.0.1:5070>";
    // Our own contact's expires wins over other contacts and the header.
    EXPECT_EQ(90, ua::CRegistration::GrantedExpiry(
                      parse("Contact: <sip:1001@10.0.0.9:5070>;expires=30, <sip:1001@127.0.0.1:5070>;expires=90\r\n"
                            "Expires: 50\r\n")
                          .get(),
                      mine, 3600));
    EXPECT_EQ(50, ua::CRegistration::GrantedExpiry(parse("Expires: 50\r\n").get(), mine, 3600));
    EXPECT_EQ(3600, ua::CRegistration::GrantedExpiry(parse("").get(), mine, 3600));
    EXPECT_EQ(3600, ua::CRegistration::GrantedExpiry(parse("Expires: junk\r\n").get(), mine, 3600));
}

} // namespace
