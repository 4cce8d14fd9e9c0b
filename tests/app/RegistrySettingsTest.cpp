#include "app/RegistrySettings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using qf::platform::CKeyValueStore;
using qf::test::TempDir;
using Reg = CRegistrySettings;

namespace {

class RegistrySettingsTest : public ::testing::Test {
protected:
    std::string Str(const char* key, const char* name) {
        std::string s = "<missing>";
        store.ReadString(key, name, s, 4096);
        return s;
    }
    int64_t Dword(const char* key, const char* name) {
        uint32_t v = 0;
        return store.ReadDword(key, name, v) == 0 ? int64_t(v) : -1;
    }
    TempDir dir;
    CKeyValueStore store{dir.file("registry.store")};
    Reg reg{store};
};

TEST_F(RegistrySettingsTest, FirstRunCreatesEveryValueWithItsDefault) {
    std::string appPath = "/opt/quarvofon/";
    EXPECT_EQ(1, reg.ReadAppPath(appPath));
    EXPECT_EQ("/opt/quarvofon/", appPath);

    std::string host = "sip.default", port = "5060";
    EXPECT_EQ(1, reg.ReadSipServer(host, port));
    std::string number = "x";
    bool hasNumber = true;
    EXPECT_EQ(1, reg.ReadDialedFromWeb(number, hasNumber));
    EXPECT_FALSE(hasNumber);
    std::string ts = "20260101";
    EXPECT_EQ(1, reg.ReadLastCheckTS(ts));
    EXPECT_EQ("20260101", ts);
    std::string ring;
    EXPECT_EQ(1, reg.ReadRingTone(ring));
    EXPECT_EQ("/opt/quarvofon/ringin.wav", ring);
    std::string codecs;
    EXPECT_EQ(1, reg.ReadCodecOrder(codecs));
    EXPECT_EQ("0,8,97,100,101,102,103,", codecs);
    Reg::HttpSettings http;
    http.tunnelIp = "tunnel.default";
    EXPECT_EQ(1, reg.ReadHttpSettings(http));
    Reg::Credentials cred;
    cred.userName = "stale";
    cred.autoLogin = 1;
    EXPECT_EQ(1, reg.ReadCredentials(cred));
    EXPECT_EQ("", cred.userName);
    EXPECT_TRUE(cred.password.empty());
    // Values the program did not write keep what the caller had.
    EXPECT_EQ(0u, cred.autoLogin);

    // Everything now exists in the store with the right type and default.
    EXPECT_EQ("/opt/quarvofon/", Str(Reg::kMainKey, "AppPath"));
    EXPECT_EQ("sip.default", Str(Reg::kMainKey, "ProxyIp"));
    EXPECT_EQ("5060", Str(Reg::kMainKey, "ProxyPort"));
    EXPECT_EQ("", Str(Reg::kMainKey, "DialedFromWeb"));
    EXPECT_EQ("20260101", Str(Reg::kMainKey, "LastCheckTS"));
    EXPECT_EQ("/opt/quarvofon/ringin.wav", Str(Reg::kMainKey, "RingTone"));
    EXPECT_EQ("0,8,97,100,101,102,103,", Str(Reg::kCodecKey, "AudioSettings"));
    EXPECT_EQ(0, Dword(Reg::kHttpProxyKey, "HttpProxyPort"));
    EXPECT_EQ(0, Dword(Reg::kHttpProxyKey, "HttpUseProxy"));
    EXPECT_EQ(0, Dword(Reg::kHttpProxyKey, "HttpUseTunnel"));
    EXPECT_EQ("", Str(Reg::kHttpProxyKey, "HttpProxyIP"));
    EXPECT_EQ("tunnel.default", Str(Reg::kHttpProxyKey, "HttpTunnelIP"));
    EXPECT_EQ("", Str(Reg::kConfigKey, "Config1"));
    unsigned char pin[255];
    size_t n = sizeof pin;
    EXPECT_EQ(0, store.ReadBinary(Reg::kConfigKey, "Config2", pin, n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0, Dword(Reg::kConfigKey, "AutoLogin"));
    EXPECT_EQ(0, Dword(Reg::kConfigKey, "RememberMe"));
}

TEST_F(RegistrySettingsTest, StoredValuesWinOverCallerDefaults) {
    ASSERT_EQ(1, store.CreateKey(Reg::kMainKey, ""));
    store.WriteString(Reg::kMainKey, "AppPath", "/media/stick/q/");
    store.WriteString(Reg::kMainKey, "ProxyPort", "5070");
    store.WriteString(Reg::kMainKey, "ProxyIp", "sip2.example");
    store.WriteString(Reg::kMainKey, "DialedFromWeb", "0049301234");
    std::string appPath = "/opt/q/", host = "d", port = "5060", number;
    bool has = false;
    EXPECT_EQ(1, reg.ReadAppPath(appPath));
    EXPECT_EQ("/media/stick/q/", appPath);
    EXPECT_EQ(1, reg.ReadSipServer(host, port));
    EXPECT_EQ("sip2.example", host);
    EXPECT_EQ("5070", port);
    EXPECT_EQ(1, reg.ReadDialedFromWeb(number, has));
    EXPECT_TRUE(has);
    EXPECT_EQ("0049301234", number);
    // The ring tone default follows the stored AppPath.
    std::string ring;
    EXPECT_EQ(1, reg.ReadRingTone(ring, "/opt/q/"));
    EXPECT_EQ("/media/stick/q/ringin.wav", ring);
    EXPECT_EQ(1, reg.WriteRingTone("/home/u/bell.wav"));
    EXPECT_EQ(1, reg.ReadRingTone(ring));
    EXPECT_EQ("/home/u/bell.wav", ring);
}

TEST_F(RegistrySettingsTest, IsFirstTimeReadsAbsentThenZero) {
    ASSERT_EQ(1, store.CreateKey(Reg::kMainKey, ""));
    uint32_t v = 77;
    EXPECT_EQ(2, reg.ReadIsFirstTime(v));
    EXPECT_EQ(77u, v);
    EXPECT_EQ(1, reg.ReadIsFirstTime(v));
    EXPECT_EQ(0u, v);
    store.WriteDword(Reg::kMainKey, "IsFirstTime", 1);
    EXPECT_EQ(1, reg.ReadIsFirstTime(v));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(0, Dword(Reg::kMainKey, "IsFirstTime"));
}

TEST_F(RegistrySettingsTest, OverlongStringReadsAsMissingAndIsReplaced) {
    ASSERT_EQ(1, store.CreateKey(Reg::kMainKey, ""));
    store.WriteString(Reg::kMainKey, "AppPath", "/opt/q/");
    for (size_t len : {254u, 255u}) {
        const std::string stored = "/" + std::string(len - 1, 'r');
        store.WriteString(Reg::kMainKey, "RingTone", stored);
        std::string ring;
        EXPECT_EQ(1, reg.ReadRingTone(ring));
        EXPECT_EQ(len < 255 ? stored : "/opt/q/ringin.wav", ring) << len;
    }
}

TEST_F(RegistrySettingsTest, CredentialsAndHttpSettingsRoundTrip) {
    Reg::Credentials c;
    EXPECT_EQ(-2, reg.WriteCredentials(c)); // no Config key yet: writes never create keys
    ASSERT_EQ(1, reg.ReadCredentials(c));
    c.userName = "0049123";
    c.password = {0x00, 0x81, 0xFF, 0x10, 1, 2, 3, 4};
    c.autoLogin = 1;
    c.rememberMe = 1;
    EXPECT_EQ(1, reg.WriteCredentials(c));
    Reg::Credentials back;
    EXPECT_EQ(1, reg.ReadCredentials(back));
    EXPECT_EQ(c.userName, back.userName);
    EXPECT_EQ(c.password, back.password);
    EXPECT_EQ(1u, back.autoLogin);
    EXPECT_EQ(1u, back.rememberMe);
    c.password.assign(256, 0x55);
    EXPECT_EQ(-5, reg.WriteCredentials(c));

    Reg::HttpSettings h;
    EXPECT_EQ(-4, reg.WriteHttpSettings(h));
    ASSERT_EQ(1, reg.ReadHttpSettings(h));
    h = {8080, 1, 1, "proxy.lan", "tunnel.lan"};
    EXPECT_EQ(1, reg.WriteHttpSettings(h));
    Reg::HttpSettings got;
    EXPECT_EQ(1, reg.ReadHttpSettings(got));
    EXPECT_EQ(8080u, got.proxyPort);
    EXPECT_EQ(1u, got.useProxy);
    EXPECT_EQ(1u, got.useTunnel);
    EXPECT_EQ("proxy.lan", got.proxyIp);
    EXPECT_EQ("tunnel.lan", got.tunnelIp);
}

TEST_F(RegistrySettingsTest, CodecOrderKeepsAStoredValueAndFailsCleanlyWithoutAStore) {
    ASSERT_EQ(1, store.CreateKey(Reg::kCodecKey, ""));
    store.WriteString(Reg::kCodecKey, "AudioSettings", "8,0,");
    std::string order;
    EXPECT_EQ(1, reg.ReadCodecOrder(order));
    EXPECT_EQ("8,0,", order);

    // A store that cannot be created (its folder is a file): reads fail,
    // callers keep their defaults.
    qf::test::WriteFile(dir.file("blocker"), "x");
    CKeyValueStore broken(dir.file("blocker/registry.store"));
    Reg bad(broken);
    EXPECT_EQ(-1, bad.ReadCodecOrder(order));
    EXPECT_EQ("0,8,97,100,101,102,103,", order);
    std::string host = "h", port = "5060";
    EXPECT_EQ(-4, bad.ReadSipServer(host, port));
    EXPECT_EQ("h", host);
    Reg::Credentials c;
    EXPECT_EQ(-1, bad.ReadCredentials(c));
}

} // namespace
