#include "signalling/ua/DigestAuth.h"

#include <gtest/gtest.h>
#include <osipparser2/osip_parser.h>

using ua::CDigestAuth;

namespace {

osip_message_t* Parse(const std::string& text) {
    static bool once = (parser_init(), true);
    (void)once;
    osip_message_t* m = nullptr;
    osip_message_init(&m);
    if (osip_message_parse(m, text.c_str(), text.size()) != 0) {
        osip_message_free(m);
        return nullptr;
    }
    return m;
}

std::string Challenge(int status, const std::string& header) {
    return "SIP/2.0 " + std::to_string(status) + " Auth\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n" +
           "From: <sip:1001@127.0.0.1>;tag=1\r\nTo: <sip:1001@127.0.0.1>;tag=2\r\nCall-ID: c1\r\n" +
           "CSeq: 1 REGISTER\r\n" + header + "\r\nContent-Length: 0\r\n\r\n";
}

} // namespace

// The worked example of RFC 2617 section 3.5.
TEST(DigestAuthTest, MatchesTheRfcExample) {
    CDigestAuth::Challenge c;
    c.realm = "testrealm@host.com";
    c.nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    c.opaque = "5ccc069c403ebaf9f0171e9517f40e41";
    c.qop = "auth";
    std::string v = CDigestAuth::Answer(c, "Mufasa", "Circle Of Life", "", "GET", "/dir/index.html", 1, "0a4f113b");
    EXPECT_NE(v.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << v;
    EXPECT_NE(v.find("nc=00000001"), std::string::npos);
    EXPECT_NE(v.find("cnonce=\"0a4f113b\""), std::string::npos);
    EXPECT_NE(v.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos);
    // Without qop the response is MD5(HA1:nonce:HA2).
    c.qop.clear();
    std::string ha1 = CDigestAuth::Md5Hex("Mufasa:testrealm@host.com:Circle Of Life");
    std::string ha2 = CDigestAuth::Md5Hex("GET:/dir/index.html");
    std::string plain = CDigestAuth::Answer(c, "Mufasa", "Circle Of Life", "", "GET", "/dir/index.html", 1, "x");
    EXPECT_NE(plain.find("response=\"" + CDigestAuth::Md5Hex(ha1 + ":" + c.nonce + ":" + ha2) + "\""),
              std::string::npos);
    EXPECT_EQ(plain.find("qop="), std::string::npos);
    // A stored HA1 stands in for the password.
    EXPECT_EQ(plain, CDigestAuth::Answer(c, "Mufasa", "wrong", ha1, "GET", "/dir/index.html", 1, "x"));
}

TEST(DigestAuthTest, ReadsChallengesItCanAnswerAndRefusesOthers) {
    struct Case {
        int status;
        const char* header;
        int result;
        const char* qop;
        bool proxy;
        bool stale;
    } cases[] = {
        {407, "Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"n1\", qop=\"auth\"", 0, "auth", true, false},
        {401, "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", algorithm=MD5", 0, "", false, false},
        {401, "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", qop=\"auth-int,auth\", stale=true", 0, "auth",
         false, true},
        {401, "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", qop=\"auth-int\"", -1, "", false, false},
        {401, "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", algorithm=SHA-256", -1, "", false, false},
        {401, "WWW-Authenticate: Digest realm=\"r\"", -1, "", false, false},
        {401, "WWW-Authenticate: Basic realm=\"r\"", -1, "", false, false},
        // A 407 answers with Proxy-Authenticate; a WWW-Authenticate there is not ours.
        {407, "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\"", -1, "", false, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.header);
        osip_message_t* m = Parse(Challenge(k.status, k.header));
        ASSERT_NE(m, nullptr);
        CDigestAuth::Challenge c;
        EXPECT_EQ(k.result, CDigestAuth::ReadChallenge(m, &c));
        if (k.result == 0) {
            EXPECT_EQ(k.qop, c.qop);
            EXPECT_EQ(k.proxy, c.proxy);
            EXPECT_EQ(k.stale, c.stale);
            EXPECT_EQ("n1", c.nonce);
        }
        osip_message_free(m);
    }
}

TEST(DigestAuthTest, ApplyReplacesAnEarlierAnswer) {
    osip_message_t* req = Parse(
        "REGISTER sip:127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n"
        "From: <sip:1001@127.0.0.1>;tag=1\r\nTo: <sip:1001@127.0.0.1>\r\nCall-ID: c1\r\nCSeq: 2 REGISTER\r\n"
        "Proxy-Authorization: Digest username=\"old\", realm=\"r\", nonce=\"x\", uri=\"sip:a\", response=\"0\"\r\n"
        "Content-Length: 0\r\n\r\n");
    ASSERT_NE(req, nullptr);
    CDigestAuth::Challenge c;
    c.realm = "127.0.0.1";
    c.nonce = "n2";
    c.proxy = true;
    ASSERT_EQ(0, CDigestAuth::Apply(req, c, "1001", "1234", "", 1, "abc"));
    ASSERT_EQ(1, osip_list_size(&req->proxy_authorizations));
    auto* a = static_cast<osip_authorization_t*>(osip_list_get(&req->proxy_authorizations, 0));
    EXPECT_STREQ("\"1001\"", a->username);
    EXPECT_STREQ("\"sip:127.0.0.1:5060\"", a->uri);
    std::string ha1 = CDigestAuth::Md5Hex("1001:127.0.0.1:1234");
    std::string ha2 = CDigestAuth::Md5Hex("REGISTER:sip:127.0.0.1:5060");
    EXPECT_EQ("\"" + CDigestAuth::Md5Hex(ha1 + ":n2:" + ha2) + "\"", a->response);
    // A user name that would break the header is refused.
    EXPECT_EQ(-1, CDigestAuth::Apply(req, c, "10\"01", "1234", "", 1, "abc"));
    osip_message_free(req);
}
