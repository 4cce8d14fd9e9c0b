#include "signalling/VellSipStack.h"
#include "signalling/ua/UserAgent.h"

#include "FakePeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <vector>

using qf::test::FakePeer;
using qf::test::MessagePtr;

namespace {

// What the owner saw.
struct Seen {
    int status;
    bool withRecord;
    SipData record;
};

class Recorder {
public:
    static int Callback(int status, CquarvoFONDlg* owner, SipData* data) {
        auto* self = reinterpret_cast<Recorder*>(owner);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        Seen s{status, data != nullptr, {}};
        if (data) s.record = *data;
        self->m_seen.push_back(s);
        self->m_cv.notify_all();
        return 0;
    }
    CquarvoFONDlg* Owner() { return reinterpret_cast<CquarvoFONDlg*>(this); }
    // Waits until count callbacks have come (or the timeout).
    std::vector<Seen> WaitFor(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_seen.size() >= count; });
        return m_seen;
    }
    std::vector<int> Statuses() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<int> out;
        for (const Seen& s : m_seen) out.push_back(s.status);
        return out;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Seen> m_seen;
};

CodecInfo g_codecs[3] = {{"iLBC", "", 102, 8000, 30}, {"PCMA", "", 8, 8000, 0}, {"PCMU", "", 0, 8000, 0}};

class VellSipStackTest : public ::testing::Test {
protected:
    int Start(CVellSipStack& stack, const std::string& port) {
        return stack.Init("127.0.0.1", "127.0.0.1", port.c_str(), &Recorder::Callback, recorder.Owner(), nullptr,
                          g_codecs, 3, "quarvoFON Version 2.6.6 RC", 0);
    }
    static std::string Challenge(const std::string& nonce) {
        return "Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"" + nonce + "\", qop=\"auth\"\r\n";
    }
    static double Since(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    }

    Recorder recorder;
    FakePeer peer;
};

TEST_F(VellSipStackTest, InitChecksItsArgumentsInOrder) {
    Recorder r;
    SessionEventCallback cb = &Recorder::Callback;
    CquarvoFONDlg* own = r.Owner();
    struct Case {
        const char* what;
        SessionEventCallback cb;
        const char* realm;
        const char* server;
        const char* port;
        CodecInfo* codecs;
        int count;
        CquarvoFONDlg* owner;
        const char* ua;
        const char* log;
        int expected;
    } cases[] = {
        {"no callback", nullptr, "r", "s", "5060", g_codecs, 3, own, "u", nullptr, -1},
        {"no callback, no realm", nullptr, nullptr, "s", "5060", g_codecs, 3, own, "u", nullptr, -1},
        {"no realm", cb, nullptr, "s", "5060", g_codecs, 3, own, "u", nullptr, -2},
        {"no realm, no codecs", cb, nullptr, "s", "5060", nullptr, 3, own, "u", nullptr, -2},
        {"no server", cb, "r", nullptr, "5060", g_codecs, 3, own, "u", nullptr, -3},
        {"no port", cb, "r", "s", nullptr, g_codecs, 3, own, "u", nullptr, -4},
        {"no codecs", cb, "r", "s", "5060", nullptr, 0, own, "u", nullptr, -7},
        {"no codec count", cb, "r", "s", "5060", g_codecs, 0, own, "u", nullptr, -8},
        {"no owner", cb, "r", "s", "5060", g_codecs, 3, nullptr, "u", nullptr, -9},
        {"no user agent", cb, "r", "s", "5060", g_codecs, 3, own, nullptr, nullptr, -10},
        {"log file cannot be created", cb, "r", "s", "5060", g_codecs, 3, own, "u", "/nonexistent-dir/sip.log", -7},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto start = std::chrono::steady_clock::now();
        {
            CVellSipStack stack;
            EXPECT_EQ(k.expected, stack.Init(k.realm, k.server, k.port, k.cb, k.owner, k.log, k.codecs, k.count, k.ua, 0));
            EXPECT_EQ(nullptr, stack.UserAgent()) << "no network before the checks pass";
        }
        EXPECT_LT(Since(start), 0.5);
    }
}

TEST_F(VellSipStackTest, StartedAgentChecksCredentialsAndBuildsUris) {
    CVellSipStack stack;
    ASSERT_EQ(1, Start(stack, peer.PortText()));
    SipData data{};
    EXPECT_EQ(1, stack.StartListen(&data));
    EXPECT_EQ(1, stack.StopListen());

    EXPECT_EQ(-1, stack.Register("1001", nullptr, nullptr, 3600, nullptr, nullptr, 0));
    EXPECT_EQ(-2, stack.Register(nullptr, "1001", nullptr, 3600, nullptr, nullptr, 0));
    EXPECT_EQ(-3, stack.Register(nullptr, "1001", "1234", 3600, nullptr, nullptr, 0));
    EXPECT_FALSE(peer.Receive(200)) << "refused registrations send nothing";

    // Registrar address and port fall back to the server given to Init.
    ASSERT_EQ(1, stack.Register("1001", "1001", "1234", 3600, nullptr, "5999", 0));
    EXPECT_EQ("sip:1001@127.0.0.1:" + peer.PortText(), std::string(stack.localUri));
    EXPECT_EQ("sip:127.0.0.1:" + peer.PortText(), std::string(stack.registrarUri));
    MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(reg);
    char* uri = nullptr;
    osip_uri_to_str(reg->req_uri, &uri);
    EXPECT_EQ("sip:127.0.0.1:" + peer.PortText(), std::string(uri));
    osip_free(uri);
    EXPECT_STREQ("1001", reg->from->url->username);
    EXPECT_EQ(peer.PortText(), reg->from->url->port);
    EXPECT_EQ("3600", FakePeer::Header(reg.get(), "expires"));
    EXPECT_NE(peer.LastText().find("User-Agent: quarvoFON Version 2.6.6 RC"), std::string::npos);

    // Given both, they are used.
    FakePeer other;
    ASSERT_EQ(1, stack.Register("1001", "1001", "1234", 60, "127.0.0.1", other.PortText().c_str(), 0));
    EXPECT_EQ("sip:127.0.0.1:" + other.PortText(), std::string(stack.registrarUri));
    EXPECT_TRUE(other.ReceiveRequest("REGISTER", 2000));

    // Credentials are stored with truncation to the fields.
    std::string longId(400, '7');
    ASSERT_EQ(1, stack.Register("d", longId.c_str(), "p", 60, nullptr, nullptr, 0));
    EXPECT_EQ(255u, strlen(stack.userId));
}

// The status the owner receives for each way a registration ends.
TEST_F(VellSipStackTest, RegistrationOutcomesMapToSessionStatuses) {
    struct Case {
        const char* what;
        std::vector<int> answers;  // per REGISTER received; 0 = none
        std::vector<int> statuses;
    } cases[] = {
        {"challenge then accepted", {407, 200}, {2, 1}},
        {"forbidden", {403}, {3}},
        {"not found", {404}, {3}},
        {"server error", {500}, {3}},
        {"wrong PIN", {407, 407, 407}, {2, 2, 2}},
        {"401 is not a wrong PIN", {401, 401, 401}, {3, 3, 3}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Recorder r;
        FakePeer server;
        auto stack = std::make_unique<CVellSipStack>();
        ASSERT_EQ(1, stack->Init("127.0.0.1", "127.0.0.1", server.PortText().c_str(), &Recorder::Callback, r.Owner(),
                                 nullptr, g_codecs, 3, "ua", 0));
        ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
        int n = 0;
        for (int answer : k.answers) {
            MessagePtr reg = server.ReceiveRequest("REGISTER", 2000);
            ASSERT_TRUE(reg);
            std::string extra;
            if (answer == 407) extra = Challenge("n" + std::to_string(++n));
            if (answer == 401)
                extra = "WWW-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"w" + std::to_string(++n) + "\"\r\n";
            server.SendText(FakePeer::Response(reg.get(), answer, answer == 200 ? "OK" : "No", extra));
        }
        std::vector<Seen> seen = r.WaitFor(k.statuses.size(), 3000);
        EXPECT_FALSE(server.ReceiveRequest("REGISTER", 300)) << "nothing more is tried";
        std::vector<int> statuses;
        for (const Seen& s : seen) {
            statuses.push_back(s.status);
            EXPECT_FALSE(s.withRecord) << "registration events carry no record";
        }
        EXPECT_EQ(k.statuses, statuses);
        EXPECT_EQ(k.statuses.back() == 1 ? 1 : 0, stack->registered.load());
        if (stack->registered == 1) {
            // Answer the unregistration so the destructor need not wait.
            auto destroyed = std::async(std::launch::async, [&] { stack.reset(); });
            MessagePtr unreg = server.ReceiveRequest("REGISTER", 2000);
            ASSERT_TRUE(unreg);
            server.SendText(FakePeer::Response(unreg.get(), 200, "OK"));
            destroyed.get();
        }
    }
}

TEST_F(VellSipStackTest, NoServerIsReportedAsTimeout) {
    int deadPort;
    {
        FakePeer gone;
        deadPort = gone.Port();
    }
    CVellSipStack stack;
    ASSERT_EQ(1, Start(stack, std::to_string(deadPort)));
    ASSERT_EQ(1, stack.Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    std::vector<Seen> seen = recorder.WaitFor(1, 3000);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(VellSS_STATUS_REGISTRATION_TIMEOUT, seen[0].status);
    EXPECT_EQ(0, stack.registered.load());
}

// Destruction of a registered agent sends the unregistration (From as
// registered, Expires 0, answering the challenge with the stored PIN) and
// ends quietly at its success.
TEST_F(VellSipStackTest, DestructionUnregistersAndEndsAtTheAnswer) {
    auto stack = std::make_unique<CVellSipStack>();
    ASSERT_EQ(1, Start(*stack, peer.PortText()));
    ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(reg);
    peer.SendText(FakePeer::Response(reg.get(), 407, "Proxy Authentication Required", Challenge("d1")));
    reg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(reg);
    peer.SendText(FakePeer::Response(reg.get(), 200, "OK"));
    ASSERT_EQ(2u, recorder.WaitFor(2, 2000).size());
    ASSERT_EQ(1, stack->registered.load());
    std::string localUri = stack->localUri;

    auto start = std::chrono::steady_clock::now();
    auto destroyed = std::async(std::launch::async, [&] { stack.reset(); });
    MessagePtr unreg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(unreg);
    EXPECT_EQ("0", FakePeer::Header(unreg.get(), "expires"));
    char* from = nullptr;
    osip_uri_to_str(unreg->from->url, &from);
    EXPECT_EQ(localUri, std::string(from));
    osip_free(from);
    // The stored credentials answer at once: the last challenge is reused.
    EXPECT_EQ(1, osip_list_size(&unreg->proxy_authorizations));
    peer.SendText(FakePeer::Response(unreg.get(), 200, "OK"));
    ASSERT_EQ(std::future_status::ready, destroyed.wait_for(std::chrono::seconds(3)));
    EXPECT_LT(Since(start), 1.0);
    EXPECT_EQ((std::vector<int>{2, 1}), recorder.Statuses()) << "no callback during destruction";
}

TEST_F(VellSipStackTest, DestroyingAnUnregisteredAgentReturnsWithinASecond) {
    for (bool registerFirst : {false, true}) {
        SCOPED_TRACE(registerFirst ? "registration refused" : "never registered");
        auto stack = std::make_unique<CVellSipStack>();
        ASSERT_EQ(1, Start(*stack, peer.PortText()));
        if (registerFirst) {
            ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
            MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
            ASSERT_TRUE(reg);
            peer.SendText(FakePeer::Response(reg.get(), 403, "Forbidden"));
            recorder.WaitFor(1, 2000);
        }
        auto start = std::chrono::steady_clock::now();
        stack.reset();
        EXPECT_LT(Since(start), 1.0);
        EXPECT_FALSE(peer.ReceiveRequest("REGISTER", 100)) << "nothing to unregister";
    }
}

TEST_F(VellSipStackTest, RegistrationUnansweredDuringDestructionIsBounded) {
    auto stack = std::make_unique<CVellSipStack>();
    ASSERT_EQ(1, Start(*stack, peer.PortText()));
    ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    MessagePtr reg = peer.ReceiveRequest("REGISTER", 2000);
    ASSERT_TRUE(reg);
    peer.SendText(FakePeer::Response(reg.get(), 200, "OK"));
    recorder.WaitFor(1, 2000);
    ASSERT_EQ(1, stack->registered.load());
    // The server goes quiet: the destructor gives up after its waits
    // (15 s for the answer, then 2 s) instead of hanging.
    auto start = std::chrono::steady_clock::now();
    stack.reset();
    double took = Since(start);
    EXPECT_GT(took, 14.5);
    EXPECT_LT(took, 17.5);
}

TEST_F(VellSipStackTest, KeepAliveIsABodilessMessageToItself) {
    CVellSipStack stack;
    ASSERT_EQ(1, Start(stack, peer.PortText()));
    ASSERT_EQ(1, stack.Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    ASSERT_TRUE(peer.ReceiveRequest("REGISTER", 2000));
    ASSERT_EQ(1, stack.SendPing());
    MessagePtr ping = peer.ReceiveRequest("MESSAGE", 2000);
    ASSERT_TRUE(ping);
    std::string target = "sip:1001@127.0.0.1:" + peer.PortText();
    char* s = nullptr;
    osip_uri_to_str(ping->req_uri, &s);
    EXPECT_EQ(target, std::string(s));
    osip_free(s);
    osip_uri_to_str(ping->from->url, &s);
    EXPECT_EQ(target, std::string(s));
    osip_free(s);
    osip_uri_to_str(ping->to->url, &s);
    EXPECT_EQ(target, std::string(s));
    osip_free(s);
    EXPECT_EQ(0, osip_list_size(&ping->bodies));
    peer.SendText(FakePeer::Response(ping.get(), 200, "OK"));
    // The answer is an event of the fallback row.
    std::vector<Seen> seen = recorder.WaitFor(1, 2000);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(VellSS_STATUS_OTHER_SIP_MESSAGE, seen[0].status);
    EXPECT_EQ(200, seen[0].record.statusCode);
}

osip_message_t* ParseMessage(const std::string& text) {
    osip_message_t* m = nullptr;
    osip_message_init(&m);
    if (osip_message_parse(m, text.c_str(), text.size()) != 0) {
        osip_message_free(m);
        return nullptr;
    }
    return m;
}

ua::Event* MakeEvent(int type, const char* method, int status) {
    auto* e = new ua::Event;
    e->type = type;
    e->cid = 3;
    e->did = 4;
    e->tid = 5;
    std::string head = "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK9\r\nFrom: <sip:2001@127.0.0.1>;tag=a\r\n"
                       "To: <sip:1001@127.0.0.1>;tag=b\r\nCall-ID: ev1\r\n";
    if (method)
        e->request = ParseMessage(std::string(method) + " sip:1001@127.0.0.1 SIP/2.0\r\n" + head + "CSeq: 2 " + method +
                                  "\r\nContent-Length: 0\r\n\r\n");
    if (status)
        e->response = ParseMessage("SIP/2.0 " + std::to_string(status) + " Moved Temporarily\r\n" + head +
                                   "CSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n");
    return e;
}

TEST_F(VellSipStackTest, DispatchGivesEachEventItsStatusAndRecord) {
    CVellSipStack stack;
    ASSERT_EQ(1, Start(stack, peer.PortText()));
    // A non-INFO request inside a call concerns nobody.
    EXPECT_EQ(0, stack.DispatchEvent(MakeEvent(ua::EXOSIP_CALL_MESSAGE_NEW, "MESSAGE", 0)));
    EXPECT_EQ(0, stack.DispatchEvent(MakeEvent(ua::EXOSIP_CALL_MESSAGE_NEW, "NOTIFY", 0)));
    EXPECT_TRUE(recorder.Statuses().empty());

    struct Case {
        int type;
        int status;
    } cases[] = {
        {ua::EXOSIP_CALL_REDIRECTED, VellSS_STATUS_CALL_REDIRECTED},
        {ua::EXOSIP_CALL_SERVERFAILURE, VellSS_STATUS_CALL_SERVERFAILURE},
        {ua::EXOSIP_CALL_ACK, VellSS_STATUS_CALL_ACK},
        {ua::EXOSIP_CALL_CANCELLED, VellSS_STATUS_CALL_CANCELLED},
        {ua::EXOSIP_CALL_TIMEOUT, VellSS_STATUS_CALL_TIMEOUT},
        {ua::EXOSIP_CALL_MESSAGE_REQUESTFAILURE, VellSS_STATUS_CALL_MESSAGE_REQUESTFAILURE},
        {ua::EXOSIP_CALL_RELEASED, VellSS_STATUS_CALL_RELEASED},
        {ua::EXOSIP_MESSAGE_NEW, VellSS_STATUS_OTHER_SIP_MESSAGE},
        {ua::EXOSIP_SUBSCRIPTION_NOTIFY, VellSS_STATUS_OTHER_SIP_MESSAGE},
        {99, VellSS_STATUS_OTHER_SIP_MESSAGE},  // unknown type: still answered, no crash
    };
    for (const Case& k : cases) EXPECT_EQ(1, stack.DispatchEvent(MakeEvent(k.type, "INVITE", 302)));
    std::vector<Seen> seen = recorder.WaitFor(std::size(cases), 1000);
    ASSERT_EQ(std::size(cases), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(cases[i].type);
        EXPECT_EQ(cases[i].status, seen[i].status);
        ASSERT_TRUE(seen[i].withRecord);
        EXPECT_EQ(3, seen[i].record.cid);
        EXPECT_EQ(4, seen[i].record.did);
        EXPECT_EQ(5, seen[i].record.tid);
        EXPECT_EQ(302, seen[i].record.statusCode);
        EXPECT_STREQ("Moved Temporarily", seen[i].record.responseMessage);
    }
}

} // namespace
