// Request lines, time stamps, enciphering and body sizes, auto-login
// messages, the reply rules, and whole exchanges with the lab web service
// (balance, version, inbox, address book replace and update).
#include "WebTestSupport.h"

#include "app/Deployment.h"
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"
#include "contacts/AddressBookEntry.h"
#include "contacts/AddressBookList.h"
#include "contacts/AddressBookSettings.h"
#include "support/TempDir.h"
#include "web/VellXMLParser.h"

#include <httplib.h>

#include <cstdlib>

using namespace qf::test;

namespace {

const char* kUser = "5550001";

std::string Decipher(const std::string& hex) {
    std::string line;
    EXPECT_TRUE(CLabWebServer::Decipher(hex, line)) << hex;
    return line;
}

// Runs a block with TZ set, restoring it afterwards.
template <typename F>
void WithTimeZone(const char* tz, F f) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    f();
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(ServiceRequestLines, EveryActionLineHasItsFixedShape) {
    std::string lastCheck = "1700000000000";
    std::string noCheck;
    AddressBookEntry entry;
    ClearEntry(entry);
    SetEntryField(entry.name, "Ann");
    SetEntryField(entry.serialNo, "42");
    const struct {
        std::string line;
        std::string prefix;
    } cases[] = {
        {CServiceRequest::BuildBalanceRequest(kUser),
         "action=_getbal&transId=12345&apiUserName=orbis&userId=5550001&timeStamp="},
        {CServiceRequest::BuildVersionRequest(kUser),
         "action=_getver&transId=12345&apiUserName=orbis&userId=5550001&timeStamp="},
        {CServiceRequest::BuildInboxRequest(kUser),
         "action=_qrysms&transId=12345&apiUserName=orbis&userId=5550001&timeStamp="},
        {CServiceRequest::BuildAddressBookQuery(kUser, true, lastCheck),
         "action=_initaddbk&transId=12345&apiUserName=orbis&userId=5550001&timeStamp="},
        {CServiceRequest::BuildAddressBookQuery(kUser, false, lastCheck),
         "action=_qrylist&transId=12345&apiUserName=orbis&userId=5550001&lastcheckts=1700000000000&timeStamp="},
        {CServiceRequest::BuildDeleteEntryRequest(kUser, entry),
         "action=_delent&transId=12344&apiUserName=orbis&userId=5550001&name=Ann&sno=42&timeStamp="},
        {CServiceRequest::BuildDeleteAllRequest(kUser),
         "action=_delAll&transId=12344&apiUserName=orbis&userId=5550001&timeStamp="},
        {CServiceRequest::BuildAddEntryRequest(kUser, entry),
         "action=_addent&transId=12344&apiUserName=orbis&userId=5550001&data=<entry><name>Ann</name>"},
        {CServiceRequest::BuildUpdateEntryRequest(kUser, entry),
         "action=_updent&transId=12344&apiUserName=orbis&userId=5550001&data=<entry><sno>42</sno><name>Ann</name>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix);
        EXPECT_EQ(c.line.rfind(c.prefix, 0), 0u) << c.line;
        // Action requests spell timeStamp with a capital S, and only the
        // periodic query carries the last-check time.
        EXPECT_NE(c.line.find("&timeStamp="), std::string::npos);
        EXPECT_EQ(c.line.find("&timestamp="), std::string::npos);
        EXPECT_EQ(c.line.find("lastcheckts") != std::string::npos,
                  c.prefix.find("_qrylist") != std::string::npos);
        EXPECT_EQ(c.line.substr(c.line.size() - 3), "000");
    }
    // With no stored last-check time the query's own stamp is used and
    // handed back for storing.
    const std::string line = CServiceRequest::BuildAddressBookQuery(kUser, false, noCheck);
    ASSERT_FALSE(noCheck.empty());
    EXPECT_NE(line.find("&lastcheckts=" + noCheck + "&timeStamp="), std::string::npos);
}

TEST(ServiceRequestLines, EntryElementsListTheFieldsInTheirTwoOrders) {
    AddressBookEntry e;
    ClearEntry(e);
    SetEntryField(e.serialNo, "7");
    SetEntryField(e.name, "N<&>");  // sent as stored, no escaping
    SetEntryField(e.firstName, "F");
    SetEntryField(e.birthDate, "2000-01-02");
    SetEntryField(e.comments, "C");
    EXPECT_EQ(CServiceRequest::EntryElement(e, false),
              "<entry><name>N<&></name><email></email><voip></voip><mobile></mobile><home></home><business>"
              "</business><title></title><sno>7</sno><firstname>F</firstname><middlename></middlename><lastname>"
              "</lastname><altemail></altemail><fax></fax><pager></pager><icq></icq><website></website>"
              "<companyname></companyname><comments>C</comments><birthdate>2000-01-02</birthdate></entry>");
    EXPECT_EQ(CServiceRequest::EntryElement(e, true),
              "<entry><sno>7</sno><name>N<&></name><email></email><voip></voip><mobile></mobile><home></home>"
              "<business></business><title></title><firstname>F</firstname><middlename></middlename><lastname>"
              "</lastname><altemail></altemail><fax></fax><pager></pager><icq></icq><website></website>"
              "<companyname></companyname><comments>C</comments><birthdate>2000-01-02</birthdate></entry>");
}

TEST(ServiceRequestLines, TimeStampsFollowTheLocalWallClockAndUtc) {
    const std::time_t t = 1700000123;  // 2023-11-14 22:15:23 UTC
    WithTimeZone("UTC0", [&] { EXPECT_EQ(CServiceRequest::LocalTimeStamp(t), "1700000123000"); });
    WithTimeZone("XYZ-2", [&] { EXPECT_EQ(CServiceRequest::LocalTimeStamp(t), "1700007323000"); });
    WithTimeZone("XYZ+5", [&] { EXPECT_EQ(CServiceRequest::LocalTimeStamp(t), "1699982123000"); });
    WithTimeZone("XYZ-2", [&] { EXPECT_EQ(CServiceRequest::UniversalTimeStamp(t), "1700000123000"); });
}

TEST(ServiceRequestLines, CipherSizesAndTheBodyBufferLimit) {
    std::string hex;
    EXPECT_EQ(CServiceRequest::EncipherMessage("abcde", hex), 48);  // 3 blocks of 8 bytes
    EXPECT_EQ(Decipher(hex), "abcde");
    EXPECT_EQ(CServiceRequest::EncipherMessage(std::string(1278, 'a'), hex), 10224);
    EXPECT_LT(CServiceRequest::EncipherMessage("", hex), 0);

    // The longest line fits the 10240-byte buffer as 4 + 10224 bytes on the
    // wire; one character more is refused before anything is sent.
    ASSERT_EQ(CVellINet::Init(), 1);
    RawHttpPeer peer(HttpReply("<result/>"));
    char body[CServiceRequest::kBodyBufferSize + 1];
    CallbackRecorder rec;
    {
        CVellINet client("quarvoFON_Main");
        client.SetClosed(0);
        const std::string line = "action=_getbal&x=" + std::string(1278 - 17, 'y');
        ASSERT_EQ(CServiceRequest::INetRequest(client, line, CallbackRecorder::Callback, &rec, body,
                                               CServiceRequest::kBodyBufferSize, "127.0.0.1", peer.Port()),
                  1);
        ASSERT_TRUE(rec.finished.Wait(5000));
        EXPECT_EQ(peer.Body().size(), 4u + 10224u);
        EXPECT_EQ(peer.Header("Content-Length"), "10228");
        EXPECT_EQ(Decipher(peer.Body().substr(4)), line);
        client.Close();

        client.SetClosed(0);
        EXPECT_EQ(CServiceRequest::INetRequest(client, line + "z", CallbackRecorder::Callback, &rec, body,
                                               CServiceRequest::kBodyBufferSize, "127.0.0.1", peer.Port()),
                  -1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(peer.Requests(), 1);
    CVellINet::Exit();
}

TEST(ServiceRequestLines, AutoLoginMessagesKeepTheirOrderAndTrailingAmpersand) {
    using P = CServiceRequest::AutoLoginParams;
    EXPECT_EQ(CServiceRequest::BuildAutoLoginMessage(P{}), "");

    P all;
    all.redirTo = "R";
    all.timestamp = "T";
    all.destinationNumber = "D";
    all.callerId = "C";
    all.userId = "U";
    all.apiUserName = "orbis";
    all.transId = "X";
    all.action = "A";
    EXPECT_EQ(Decipher(CServiceRequest::BuildAutoLoginMessage(all)),
              "action=A&transId=X&apiUserName=orbis&userId=U&callerId=C&destinationNumber=D&timestamp=T&redirTo=R&");

    const std::string outbox = CServiceRequest::FaxOutboxText(kUser);
    EXPECT_EQ(outbox.rfind("userId=5550001&timestamp=", 0), 0u);
    EXPECT_EQ(outbox.substr(outbox.size() - 25), "&redirTo=FaxOutboxViewBO&");
    const std::string sms = CServiceRequest::SmsInboxText(kUser);
    EXPECT_EQ(sms.rfind("redirTo=SmsInboxBO&userId=5550001&timestamp=", 0), 0u);
    EXPECT_NE(sms.back(), '&');
    EXPECT_EQ(CServiceRequest::NumberPageText(kUser).rfind("redirTo=ViewAssign2MeBO&userId=5550001&timestamp=", 0),
              0u);
    EXPECT_EQ(CServiceRequest::FaxMessageText(kUser, "0049301234", "1700000000000"),
              "action=_sendfax&transId=1700000000000&apiUserName=orbis&userId=5550001&callerId=5550001&"
              "destinationNumber=0049301234&timestamp=1700000000000&");
    EXPECT_EQ(CServiceRequest::AutoLoginUrl("web.example", "ABCD"),
              "http://web.example/sp/Trek/quarvo/AutoLogin?msg=ABCD");
    EXPECT_EQ(CServiceRequest::AutoLoginUrl("127.0.0.1", "ABCD", 8080),
              "http://127.0.0.1:8080/sp/Trek/quarvo/AutoLogin?msg=ABCD");
}

TEST(ServiceReplyRules, VersionOffersCompareByteByByte) {
    const std::pair<const char*, bool> cases[] = {
        {"quarvoFON Version 2.6.6 RC", false},
        {"quarvoFON Version 2.6.10", false},  // '1' < '6'
        {"quarvoFON Version 2.6.7", true},
        {"quarvoFON Version 2.6.6 RC2", true},
        {"quarvoFON Version 3", true},
        {"", false},
    };
    for (const auto& [offer, newer] : cases) EXPECT_EQ(CServiceReply::IsNewerVersion(offer), newer) << offer;
}

TEST(ServiceReplyRules, StatusEnvelopeAndCodeAreCheckedInOrder) {
    const std::string ok = CLabWebServer::Envelope("1", "0", "d", "<balance> 1 </balance>");
    const struct {
        int status;
        std::string body;
        int outcome;
    } cases[] = {
        {404, ok, CServiceReply::REPLY_HTTP_ERROR},
        {500, ok, CServiceReply::REPLY_HTTP_ERROR},
        {200, "<result><code>0</code>", CServiceReply::REPLY_INVALID_DATA},
        {200, CLabWebServer::Envelope("1", "-1", "d", ""), CServiceReply::REPLY_SERVER_ERROR},
        {200, ok, CServiceReply::REPLY_OK},
    };
    for (const auto& c : cases) {
        CVellXMLParser parser(nullptr);
        EXPECT_EQ(CServiceReply::Evaluate(c.status, c.body, parser), c.outcome) << c.status << " " << c.body;
    }
}

TEST(ServiceReplyRules, InboxCountChangesAndNotifications) {
    int last = 0;
    const struct {
        const char* balance;
        bool changed, notify;
        int last;
    } steps[] = {
        {"3", true, true, 3}, {"3", false, false, 3}, {"0", true, false, 0}, {"x", false, false, 0},
        {" 5", true, true, 5},
    };
    for (const auto& s : steps) {
        const auto u = CServiceReply::ApplyInboxCount(s.balance, last);
        EXPECT_EQ(u.changed, s.changed) << s.balance;
        EXPECT_EQ(u.notify, s.notify) << s.balance;
        EXPECT_EQ(last, s.last) << s.balance;
    }
    EXPECT_EQ(CServiceReply::InboxNotificationText(4), "You have 4 new SMS");
}

// ------------------------------------------------------------ over HTTP

class FakeSettings : public CAddressBookSettings {
public:
    int ReadIsFirstTime(int& value) override {
        value = 0;
        return 1;
    }
    int StoreLastCheckTS(const std::string& timestamp) override {
        std::lock_guard<std::mutex> lock(mutex);
        lastCheck = timestamp;
        return 1;
    }
    std::string LastCheck() {
        std::lock_guard<std::mutex> lock(mutex);
        return lastCheck;
    }
    std::mutex mutex;
    std::string lastCheck;
};

class ServiceExchangeTest : public LabWebTest {
protected:
    // One action over HTTP, read whole and evaluated.
    int Exchange(const std::string& line, CVellXMLParser& parser) {
        CVellINet client("quarvoFON_Main");
        CallbackRecorder rec;
        if (Send(client, rec, line) != 2) return -100;
        if (CServiceReply::ReadWhole(client, 5000) != 2) return -101;
        const int outcome = CServiceReply::Evaluate(client, parser);
        client.Close();
        return outcome;
    }
    // The lab's HTTP control interface, as a demo or script would use it.
    void Control(const std::string& query) {
        httplib::Client http("127.0.0.1", m_port);
        auto res = http.Get(("/lab/control?" + query).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
    }
};

TEST_F(ServiceExchangeTest, BalanceVersionAndInboxRoundTrips) {
    Control("user=5550001&balance=12.50&sms=3&version=quarvoFON%20Version%202.6.7&link=http://x/setup.exe");
    {
        CVellXMLParser parser(nullptr);
        ASSERT_EQ(Exchange(CServiceRequest::BuildBalanceRequest(kUser), parser), CServiceReply::REPLY_OK);
        EXPECT_EQ(parser.GetBalance(), "12.50");
        EXPECT_EQ(m_lab.LastRequestLine("_getbal").rfind(
                      "action=_getbal&transId=12345&apiUserName=orbis&userId=5550001&timeStamp=", 0),
                  0u);
    }
    {
        CVellXMLParser parser(nullptr);
        ASSERT_EQ(Exchange(CServiceRequest::BuildVersionRequest(kUser), parser), CServiceReply::REPLY_OK);
        EXPECT_TRUE(CServiceReply::IsNewerVersion(parser.GetVersionNumber()));
        EXPECT_EQ(parser.GetDownloadLink(), "http://x/setup.exe");
    }
    {
        CVellXMLParser parser(nullptr);
        ASSERT_EQ(Exchange(CServiceRequest::BuildInboxRequest(kUser), parser), CServiceReply::REPLY_OK);
        int last = 0;
        EXPECT_TRUE(CServiceReply::ApplyInboxCount(parser.GetBalance(), last).notify);
        EXPECT_EQ(last, 3);
    }
    Control("mode=404&count=1");
    CVellXMLParser parser(nullptr);
    EXPECT_EQ(Exchange(CServiceRequest::BuildBalanceRequest(kUser), parser), CServiceReply::REPLY_HTTP_ERROR);
    EXPECT_EQ(parser.GetBalance(), "");
}

TEST_F(ServiceExchangeTest, AddressBookIsReplacedOnCompleteRepliesAndMergedOnIncrementalOnes) {
    TempDir dir;
    FakeSettings settings;
    CAddressBookList book;
    book.SetAppDir(dir.path().string() + "/");
    book.SetUserNumber(kUser);
    book.SetSettings(&settings);
    book.Load();

    auto names = [&book] {
        std::vector<std::string> out;
        AddressBookEntry e;
        for (int i = book.NextEntry(-1, e); i >= 0; i = book.NextEntry(i, e))
            if (e.status == '1') out.push_back(std::string(e.serialNo) + ":" + e.name);
        return out;
    };
    auto fields = [](const std::string& name, const std::string& mobile) {
        std::array<std::string, CLabWebServer::kFieldCount> f{};
        f[1] = name;
        f[4] = mobile;
        f[8] = name;
        return f;
    };

    // A contact only the client knows, which a complete download removes.
    AddressBookEntry local;
    ClearEntry(local);
    SetEntryField(local.serialNo, "900");
    SetEntryField(local.name, "Stale");
    book.AddEntry(local);

    const int ann = m_lab.PutContact(kUser, fields("Ann", "111"));
    m_lab.PutContact(kUser, fields("Bob", "222"));
    {
        CVellXMLParser parser(&book);
        std::string lastCheck;
        ASSERT_EQ(Exchange(CServiceRequest::BuildAddressBookQuery(kUser, true, lastCheck), parser),
                  CServiceReply::REPLY_OK);
        EXPECT_EQ(parser.GetCode(), "1001");
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"1:Ann", "2:Bob"}));
    const std::string stamp = settings.LastCheck();
    ASSERT_FALSE(stamp.empty());

    // Changed on the service since then: Ann updated, Cid new. The client
    // also has a contact of its own; an incremental reply keeps it.
    auto changed = fields("Ann B.", "333");
    changed[0] = std::to_string(ann);
    m_lab.PutContact(kUser, changed);
    m_lab.PutContact(kUser, fields("Cid", "444"));
    AddressBookEntry mine;
    ClearEntry(mine);
    SetEntryField(mine.serialNo, "901");
    SetEntryField(mine.name, "Mine");
    book.AddEntry(mine);
    {
        CVellXMLParser parser(&book);
        std::string lastCheck = stamp;
        ASSERT_EQ(Exchange(CServiceRequest::BuildAddressBookQuery(kUser, false, lastCheck), parser),
                  CServiceReply::REPLY_OK);
        EXPECT_EQ(parser.GetCode(), "0");
        EXPECT_NE(m_lab.LastRequestLine("_qrylist").find("&lastcheckts=" + stamp + "&timeStamp="),
                  std::string::npos);
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"1:Ann B.", "2:Bob", "901:Mine", "3:Cid"}));
    EXPECT_NE(settings.LastCheck(), stamp);

    // A removal on the service makes the next query a complete one again.
    m_lab.RemoveContact(kUser, 2);
    {
        CVellXMLParser parser(&book);
        std::string lastCheck = settings.LastCheck();
        ASSERT_EQ(Exchange(CServiceRequest::BuildAddressBookQuery(kUser, false, lastCheck), parser),
                  CServiceReply::REPLY_OK);
        EXPECT_EQ(parser.GetCode(), "1001");
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"1:Ann B.", "3:Cid"}));
}

TEST_F(ServiceExchangeTest, ChangeRequestsFromTheDialogAreAppliedByTheService) {
    AddressBookEntry e;
    ClearEntry(e);
    SetEntryField(e.name, "Dora");
    SetEntryField(e.firstName, "Dora");
    std::string serial;
    {
        CVellXMLParser parser(nullptr);
        ASSERT_EQ(Exchange(CServiceRequest::BuildAddEntryRequest(kUser, e), parser), CServiceReply::REPLY_OK);
        serial = parser.GetSerialNo();
        ASSERT_FALSE(serial.empty());
    }
    {
        CVellXMLParser parser(nullptr);
        EXPECT_EQ(Exchange(CServiceRequest::BuildAddEntryRequest(kUser, e), parser),
                  CServiceReply::REPLY_SERVER_ERROR);
        EXPECT_EQ(parser.GetCodeValue(), -1005);
    }
    SetEntryField(e.serialNo, serial);
    SetEntryField(e.mobile, "555");
    {
        CVellXMLParser parser(nullptr);
        EXPECT_EQ(Exchange(CServiceRequest::BuildUpdateEntryRequest(kUser, e), parser), CServiceReply::REPLY_OK);
    }
    ASSERT_EQ(m_lab.GetAccount(kUser).book.size(), 1u);
    EXPECT_EQ(m_lab.GetAccount(kUser).book[0].fields[4], "555");
    {
        CVellXMLParser parser(nullptr);
        EXPECT_EQ(Exchange(CServiceRequest::BuildDeleteEntryRequest(kUser, e), parser), CServiceReply::REPLY_OK);
    }
    EXPECT_TRUE(m_lab.GetAccount(kUser).book.empty());
}

TEST_F(ServiceExchangeTest, DeploymentDataNamesTheWebHost) {
    const DeploymentData saved = CDeployment::Current();
    DeploymentData lab = saved;
    lab.webHost = "127.0.0.1";
    lab.webPort = m_port;
    CDeployment::Set(lab);
    CVellINet client("quarvoFON_Main");
    CallbackRecorder rec;
    client.SetClosed(0);
    const int sent = CServiceRequest::INetRequest(client, CServiceRequest::BuildBalanceRequest(kUser),
                                                  CallbackRecorder::Callback, &rec, m_body, sizeof(m_body) - 1);
    CDeployment::Set(saved);
    ASSERT_EQ(sent, 1);
    ASSERT_TRUE(rec.finished.Wait(5000));
    EXPECT_EQ(rec.Outcome().second, 2);
    client.Close();
}

TEST_F(ServiceExchangeTest, ConnectivityCheckReadsOnlyTheStatus) {
    CVellINet client("quarvoFON_MainPing");
    CallbackRecorder rec;
    client.SetClosed(0);
    ASSERT_EQ(CServiceRequest::PingRequest(client, CallbackRecorder::Callback, &rec, "127.0.0.1", m_port), 1);
    ASSERT_TRUE(rec.finished.Wait(5000));
    EXPECT_EQ(rec.Outcome().second, 2);
    int status = 0;
    ASSERT_TRUE(client.GetHttpStatusCode(status));
    EXPECT_EQ(status, 200);
    client.Close();

    // An unreachable site fails through the callback, as a failed check.
    CVellINet::SetTimeouts(1000, 1000);
    rec.Reset();
    client.SetClosed(0);
    ASSERT_EQ(CServiceRequest::PingRequest(client, CallbackRecorder::Callback, &rec, "127.0.0.1", UnusedPort()), 1);
    ASSERT_TRUE(rec.finished.Wait(5000));
    EXPECT_EQ(rec.Outcome().second, -1);
    client.ClosedByINet();
}

TEST_F(ServiceExchangeTest, AutoLoginPageOpensSignedIn) {
    const std::string message = CServiceRequest::BuildAutoLoginMessage([] {
        CServiceRequest::AutoLoginParams p;
        p.userId = kUser;
        p.timestamp = CServiceRequest::UniversalTimeStamp();
        p.redirTo = "FaxOutboxViewBO";
        return p;
    }());
    const std::string url = CServiceRequest::AutoLoginUrl("127.0.0.1", message, m_port);
    httplib::Client http("127.0.0.1", m_port);
    auto res = http.Get(url.substr(url.find("/sp/")).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("Signed in as 5550001"), std::string::npos);
    EXPECT_NE(res->body.find("FaxOutboxViewBO"), std::string::npos);
}

} // namespace
