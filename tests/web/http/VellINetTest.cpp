// The HTTP client against the lab web service and a raw TCP peer on
// loopback: completion and failure reports, chunked and oversized replies,
// the closed flag, closing, and the error texts.
#include "WebTestSupport.h"

#include "web/INetWorker.h"
#include "web/VellXMLParser.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdlib>

using namespace qf::test;

namespace {

const char* kUser = "5550001";

class VellINetTest : public LabWebTest {};

TEST_F(VellINetTest, SecondInitKeepsTheOpenRootAndNoCallbackMeansNoNetwork) {
    EXPECT_EQ(CVellINet::Init(), 1);
    EXPECT_TRUE(CVellINet::IsInitialised());

    CVellINet client("quarvoFON_Main");
    EXPECT_EQ(client.MakeHttpConnection(nullptr, nullptr, "127.0.0.1", m_port, "POST",
                                        CServiceRequest::kApiPath, "", 0),
              -1);
    EXPECT_EQ(client.AddRequestHeaders("Accept: */*\r\n", HTTP_ADDREQ_FLAG_REPLACE), -1);
    EXPECT_EQ(client.SendRequest("x", 1), -1);
    EXPECT_EQ(client.CheckForData(), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_lab.RequestCount(), 0u);
}

TEST_F(VellINetTest, ChunkedReplyIsDeliveredWholeWithProgressReports) {
    m_lab.SetBalance(kUser, "12.50");
    m_lab.SetMode(CLabWebServer::Mode::Chunked, 1, 15, 7);  // 7-byte chunks, 15 ms apart
    CVellINet client("quarvoFON_Main");
    CallbackRecorder rec;
    ASSERT_EQ(Send(client, rec, CServiceRequest::BuildBalanceRequest(kUser)), 2);
    EXPECT_EQ(rec.Outcome().first, "Request complete");
    EXPECT_TRUE(rec.HasText("Connecting to server"));
    EXPECT_TRUE(rec.HasText("Request sent"));
    EXPECT_TRUE(rec.HasText("Receiving response"));

    int chunks = 0;
    int r;
    const auto start = std::chrono::steady_clock::now();
    while ((r = client.CheckForData()) == 1 && MsSince(start) < 10000) {
        if (client.GetResponseLength() > 0) ++chunks;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(r, 2);
    EXPECT_GT(chunks, 3);
    int status = 0;
    ASSERT_TRUE(client.GetHttpStatusCode(status));
    EXPECT_EQ(status, 200);
    const std::string text = client.GetResponseText();
    EXPECT_EQ(text, CLabWebServer::Envelope("12345", "0", "Balance", "<balance>12.50</balance>"));
    client.Close();
    EXPECT_EQ(client.GetResponseLength(), 0u);
}

TEST_F(VellINetTest, FailuresReachTheCallerAsErrorTextAndTryAgain) {
    struct Case {
        const char* name;
        std::function<int(int labPort)> port;  // where to send
        std::function<void(CLabWebServer&)> arrange;
        const char* text;
    };
    RawHttpPeer silent("");  // takes the request, closes without a word
    const Case cases[] = {
        {"server too slow", [](int p) { return p; },
         [](CLabWebServer& lab) { lab.SetMode(CLabWebServer::Mode::Slow, 1, 3000); },
         "The request has timed out. Try again"},
        {"nobody listening", [](int) { return UnusedPort(); }, [](CLabWebServer&) {},
         "The attempt to connect to the server failed. Try again"},
        {"closed without answer", [&silent](int) { return silent.Port(); }, [](CLabWebServer&) {},
         "The connection with the server has been terminated. Try again"},
    };
    CVellINet::SetTimeouts(2000, 400);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(m_lab);
        CVellINet client("quarvoFON_Main");
        CallbackRecorder rec;
        client.SetClosed(0);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(CServiceRequest::INetRequest(client, CServiceRequest::BuildBalanceRequest(kUser),
                                               CallbackRecorder::Callback, &rec, m_body, sizeof(m_body) - 1,
                                               "127.0.0.1", c.port(m_port)),
                  1);
        ASSERT_TRUE(rec.finished.Wait(5000));
        EXPECT_LT(MsSince(start), 3000);
        EXPECT_EQ(rec.Outcome(), std::make_pair(std::string(c.text), -1));
        client.ClosedByINet();
        EXPECT_EQ(client.GetClosed(), 1);
        m_lab.SetMode(CLabWebServer::Mode::Normal);
    }
}

TEST_F(VellINetTest, ClosedFlagLeftSetSilencesEveryReportUntilCleared) {
    CVellINet client("quarvoFON_Main");
    CallbackRecorder rec;
    client.Close();  // closed is now 1
    ASSERT_EQ(CServiceRequest::INetRequest(client, CServiceRequest::BuildBalanceRequest(kUser),
                                           CallbackRecorder::Callback, &rec, m_body, sizeof(m_body) - 1,
                                           "127.0.0.1", m_port),
              1);
    // The request still runs; only the reports are swallowed.
    EXPECT_EQ(CServiceReply::ReadWhole(client, 5000), 2);
    EXPECT_NE(client.GetResponseText().find("<balance>"), std::string::npos);
    EXPECT_FALSE(rec.finished.Wait(200));
    EXPECT_TRUE(rec.Events().empty());

    ASSERT_EQ(Send(client, rec, CServiceRequest::BuildBalanceRequest(kUser)), 2);
    EXPECT_TRUE(rec.HasText("Request sent"));
    client.Close();
}

TEST_F(VellINetTest, CloseReturnsAtOnceWhenClosedAndBoundedOnALiveRequest) {
    CallbackRecorder rec;
    {
        CVellINet client("quarvoFON_Main");
        client.SetClosed(1);
        auto start = std::chrono::steady_clock::now();
        client.Close();
        EXPECT_LT(MsSince(start), 50);

        m_lab.SetMode(CLabWebServer::Mode::Slow, 1, 2000);
        client.SetClosed(0);
        ASSERT_EQ(CServiceRequest::INetRequest(client, CServiceRequest::BuildBalanceRequest(kUser),
                                               CallbackRecorder::Callback, &rec, m_body, sizeof(m_body) - 1,
                                               "127.0.0.1", m_port),
                  1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        start = std::chrono::steady_clock::now();
        client.Close();
        EXPECT_LT(MsSince(start), 2 * CVellINet::kCloseWaitMs);
        EXPECT_EQ(client.CheckForData(), 3);  // no request any more
    }
    // Nothing may call back into the object after it has been closed and
    // destroyed, even though the server answers later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rec.Outcome().second, 0);
}

// Owners close the request from inside their callback when it reports a
// failure; that runs on the transfer thread and must neither wait for
// itself nor deadlock.
TEST_F(VellINetTest, ClosingFromInsideTheCallbackDoesNotWaitForItself) {
    struct Owner {
        CVellINet client{"AddressBookNetStatus_Dialog"};
        CINetEvent closed{"closed"};
        bool orderly = false;
        static void Callback(const char*, int code, void* context) {
            auto* self = static_cast<Owner*>(context);
            if (code != -1) return;
            if (self->orderly) self->client.Close();
            else self->client.ClosedByINet();
            self->closed.Set();
        }
    };
    CVellINet::SetTimeouts(2000, 2000);
    for (const bool orderly : {false, true}) {
        SCOPED_TRACE(orderly ? "Close" : "ClosedByINet");
        Owner owner;
        owner.orderly = orderly;
        owner.client.SetClosed(0);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(CServiceRequest::INetRequest(owner.client, CServiceRequest::BuildBalanceRequest(kUser),
                                               Owner::Callback, &owner, m_body, sizeof(m_body) - 1, "127.0.0.1",
                                               UnusedPort()),
                  1);
        ASSERT_TRUE(owner.closed.Wait(5000));
        EXPECT_LT(MsSince(start), 1500);
        EXPECT_EQ(owner.client.GetClosed(), 1);
        EXPECT_EQ(owner.client.CheckForData(), 3);
    }
}

TEST_F(VellINetTest, StatusAndBrokenBodiesAreReportedNotFatal) {
    struct Case {
        const char* name;
        CLabWebServer::Mode mode;
        size_t size;
        int status;     // expected HTTP status
        int lastCheck;  // what CheckForData ends with
    };
    const Case cases[] = {
        {"not found", CLabWebServer::Mode::NotFound, 0, 404, 2},
        {"cut half-way", CLabWebServer::Mode::Drop, 0, 200, 3},
        {"truncated XML", CLabWebServer::Mode::InvalidXml, 0, 200, 2},
        {"binary garbage", CLabWebServer::Mode::Garbage, 4096, 200, 2},
        {"empty body", CLabWebServer::Mode::Empty, 0, 200, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_lab.SetMode(c.mode, 1, 0, c.size);
        CVellINet client("quarvoFON_Main");
        CallbackRecorder rec;
        ASSERT_EQ(Send(client, rec, CServiceRequest::BuildBalanceRequest(kUser)), 2);
        int status = 0;
        ASSERT_TRUE(client.GetHttpStatusCode(status));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(CServiceReply::ReadWhole(client, 5000), c.lastCheck);
        CVellXMLParser parser(nullptr);
        EXPECT_NE(CServiceReply::Evaluate(client, parser), CServiceReply::REPLY_OK);
        client.Close();
    }
}

TEST_F(VellINetTest, HugeReplyIsCappedAndStillEndsCleanly) {
    m_lab.SetMode(CLabWebServer::Mode::Big, 1, 0, 10 * 1024 * 1024);
    CVellINet client("quarvoFON_Main");
    CallbackRecorder rec;
    ASSERT_EQ(Send(client, rec, CServiceRequest::BuildBalanceRequest(kUser)), 2);
    EXPECT_EQ(CServiceReply::ReadWhole(client, 20000, 1), 2);
    EXPECT_LE(client.GetResponseLength(), CVellINet::kMaxResponseBytes);
    EXPECT_GT(client.GetResponseLength(), CVellINet::kMaxResponseBytes / 2);
    CVellXMLParser parser(nullptr);
    EXPECT_EQ(CServiceReply::Evaluate(client, parser), CServiceReply::REPLY_INVALID_DATA);
    client.Close();
}

TEST_F(VellINetTest, HeadersOnTheWireAreExactlyTheRequestedOnes) {
    RawHttpPeer peer(HttpReply("<result/>"));
    CVellINet client("quarvoFON_Main");
    CallbackRecorder rec;
    client.SetClosed(0);
    ASSERT_EQ(CServiceRequest::INetRequest(client, "action=_getbal", CallbackRecorder::Callback, &rec, m_body,
                                           sizeof(m_body) - 1, "127.0.0.1", peer.Port()),
              1);
    ASSERT_TRUE(rec.finished.Wait(5000));
    EXPECT_EQ(peer.Head().rfind("POST /api/Trek/orbis/QuarvoVellVoipService HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(peer.Header("Accept"), "*/*");
    EXPECT_EQ(peer.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(peer.Header("User-Agent"), "quarvoFON");
    EXPECT_EQ(peer.Head().find("Expect:"), std::string::npos);
    EXPECT_EQ(peer.Body().substr(0, 4), "msg=");

    // A second Content-Type with "add if new" is refused; replacing works.
    ASSERT_EQ(client.MakeHttpConnection(CallbackRecorder::Callback, &rec, "127.0.0.1", peer.Port(), "POST", "/x",
                                        "text/plain", 0),
              1);
    EXPECT_EQ(client.AddRequestHeaders("Content-Type: a/b\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW), 1);
    EXPECT_EQ(client.AddRequestHeaders("Content-Type: c/d\r\n", HTTP_ADDREQ_FLAG_ADD_IF_NEW), -1);
    EXPECT_EQ(client.AddRequestHeaders("no colon here\r\n", HTTP_ADDREQ_FLAG_ADD), -1);
    client.Close();
}

TEST_F(VellINetTest, GetFollowsARedirectAndReportsIt) {
    RawHttpPeer target(HttpReply("landed"));
    RawHttpPeer mover("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(target.Port()) +
                      "/here\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    CVellINet client("quarvoFON_MainPing");
    CallbackRecorder rec;
    client.SetClosed(0);
    ASSERT_EQ(CServiceRequest::PingRequest(client, CallbackRecorder::Callback, &rec, "127.0.0.1", mover.Port()), 1);
    ASSERT_TRUE(rec.finished.Wait(5000));
    EXPECT_EQ(rec.Outcome().second, 2);
    EXPECT_TRUE(rec.HasText("Server redirected"));
    int status = 0;
    ASSERT_TRUE(client.GetHttpStatusCode(status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(CServiceReply::ReadWhole(client, 5000), 2);
    EXPECT_EQ(client.GetResponseText(), "landed");
    EXPECT_EQ(target.Head().rfind("GET /here HTTP/1.1\r\n", 0), 0u);
    client.Close();
}

TEST(VellINetTables, ErrorTextsAndCurlFailureNumbers) {
    const std::pair<int, const char*> texts[] = {
        {12002, "The request has timed out."},
        {12007, "The server name could not be resolved."},
        {12017, "The operation was canceled, "},
        {12029, "The attempt to connect to the server failed."},
        {12031, "The connection with the server has been reset."},
        {12156, "The redirection failed because either the scheme changed"},
        {12037, "Unkown Error"},
        {0, "Unkown Error"},
    };
    for (const auto& [n, text] : texts) EXPECT_STREQ(CVellINet::GetErrorText(n), text) << n;

    struct Map {
        int curl;
        long osErrno;
        int error;
    };
    const Map maps[] = {
        {CURLE_OPERATION_TIMEDOUT, 0, 12002}, {CURLE_COULDNT_RESOLVE_HOST, 0, 12007},
        {CURLE_COULDNT_CONNECT, ECONNREFUSED, 12029}, {CURLE_RECV_ERROR, ECONNRESET, 12031},
        {CURLE_SEND_ERROR, ECONNRESET, 12031}, {CURLE_RECV_ERROR, EPIPE, 12030},
        {CURLE_GOT_NOTHING, 0, 12030}, {CURLE_PARTIAL_FILE, 0, 12030},
        {CURLE_WEIRD_SERVER_REPLY, 0, 12152}, {CURLE_URL_MALFORMAT, 0, 12005},
    };
    for (const Map& m : maps) EXPECT_EQ(CINetWorker::MapCurlError(m.curl, m.osErrno), m.error) << m.curl;

    // The hex helpers every enciphered message goes through.
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    char hex[7] = {};
    EXPECT_EQ(CVellINet::MakeHexString(bytes, 3, hex), 6);
    EXPECT_STREQ(hex, "00AB7F");
    unsigned char back[3] = {};
    EXPECT_EQ(CVellINet::HexStringToBytes("00ab7F", back, sizeof(back)), 3);
    EXPECT_EQ(std::memcmp(back, bytes, 3), 0);
}

TEST(VellINetTables, SystemProxyComesFromTheEnvironment) {
    const char* names[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* n : names) {
        if (const char* v = std::getenv(n)) saved.emplace_back(n, v);
        unsetenv(n);
    }
    EXPECT_EQ(CVellINet::SystemProxy(), "");
    setenv("ALL_PROXY", "http://all:3128", 1);
    EXPECT_EQ(CVellINet::SystemProxy(), "http://all:3128");
    setenv("HTTP_PROXY", "http://upper:8080", 1);
    EXPECT_EQ(CVellINet::SystemProxy(), "http://upper:8080");
    setenv("http_proxy", "http://lower:8080", 1);
    EXPECT_EQ(CVellINet::SystemProxy(), "http://lower:8080");
    for (const char* n : names) unsetenv(n);
    for (const auto& [n, v] : saved) setenv(n.c_str(), v.c_str(), 1);
}

} // namespace
