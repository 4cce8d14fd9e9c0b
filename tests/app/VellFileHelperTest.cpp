#include "app/Deployment.h"
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"
#include "app/VellFileHelper.h"
#include "platform/MessageBox.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

std::string Decipher(const std::string& hex) {
    CEncryptDecrypt c;
    std::string plain;
    EXPECT_EQ(0, c.Decrypt(CHexText::HexStringToBytes(hex), CEncryptDecrypt::kSettingsFileKey, plain));
    return plain;
}

std::string Encipher(const std::string& plain, const char* key = CEncryptDecrypt::kSettingsFileKey) {
    CEncryptDecrypt c;
    std::vector<unsigned char> bytes;
    EXPECT_GT(c.Encrypt(plain, key, bytes), 0);
    return CHexText::MakeHexString(bytes);
}

class VellFileHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeploymentData d = CDeployment::BuiltIn();
        d.defaultSipServer = "sip.default";
        d.tunnelServer = "tunnel.default";
        CDeployment::Set(d);
        qf::platform::SetMessagePresenter([this](const std::string& text, const std::string&,
                                                 qf::platform::MsgIcon icon, qf::platform::MsgButtons) {
            messages.push_back(text);
            icons.push_back(icon);
            return qf::platform::MsgResult::Ok;
        });
    }
    void TearDown() override {
        qf::platform::SetMessagePresenter(nullptr);
        CDeployment::Set(CDeployment::BuiltIn());
    }
    int Load(PortableSettings& rec) {
        VellFileHelper h(rec);
        return h.LoadSettings(file.c_str(), appDir);
    }
    // A full plaintext from a record, with one field's text replaced.
    std::string PlainWith(const std::string& from, const std::string& to) {
        PortableSettings rec;
        VellFileHelper h(rec);
        h.SetDefaults(appDir);
        std::string plain = h.BuildPlainText();
        size_t pos = plain.find(from);
        EXPECT_NE(std::string::npos, pos) << from;
        return plain.replace(pos, from.size(), to);
    }
    TempDir dir;
    std::string appDir = dir.path().string() + "/";
    std::string file = dir.file("Settings.ini");
    std::vector<std::string> messages;
    std::vector<qf::platform::MsgIcon> icons;
};

TEST_F(VellFileHelperTest, FirstUseCreatesTheFileWithEveryDefault) {
    PortableSettings rec;
    rec.UserName = "left over";
    EXPECT_EQ(0, Load(rec));
    EXPECT_EQ(0, rec.IsFirstTime); // in memory for the rest of the run
    EXPECT_EQ("", rec.UserName);
    const std::string hex = ReadFile(file);
    EXPECT_TRUE(CHexText::IsHexString(hex));
    EXPECT_EQ(std::string::npos, hex.find_first_of("abcdef\n"));
    const std::string plain = Decipher(hex);
    EXPECT_EQ("<AppPath>" + appDir + "</AppPath><DialedFromWeb></DialedFromWeb><IsFirstTime>1</IsFirstTime>"
              "<LastCheckTS></LastCheckTS><ProxyIp>sip.default</ProxyIp><ProxyPort>5060</ProxyPort>"
              "<RingTonePath>" + appDir + "ringin.wav</RingTonePath>"
              "<AudioSettings>0,8,97,100,101,102,103,</AudioSettings><AutoLogin>0</AutoLogin>"
              "<UserName></UserName><UserPassword></UserPassword><RememberMe>0</RememberMe>"
              "<HttpProxyIp></HttpProxyIp><HttpProxyPort>0</HttpProxyPort>"
              "<HttpTunnelIp>tunnel.default</HttpTunnelIp><HttpUseProxy>0</HttpUseProxy>"
              "<HttpUseTunnel>0</HttpUseTunnel><LogLevel>1</LogLevel><LogSize>1</LogSize>"
              "<SMSRequestPage></SMSRequestPage><SMSServerIp></SMSServerIp><SMSServerPort>80</SMSServerPort>",
              plain);
    EXPECT_TRUE(messages.empty());

    // The next start reads it back: first use is over.
    PortableSettings again;
    EXPECT_EQ(1, Load(again));
    EXPECT_EQ(1, again.IsFirstTime); // as stored by the first run
    EXPECT_EQ("sip.default", again.ProxyIp);
}

TEST_F(VellFileHelperTest, SavedFieldsComeBackAndTheTunnelHostRuleApplies) {
    PortableSettings rec;
    VellFileHelper h(rec);
    ASSERT_EQ(0, h.LoadSettings(file.c_str(), appDir));
    rec.UserName = "0049301234";
    rec.UserPassword = "1234";
    rec.AutoLogin = 1;
    rec.RememberMe = 1;
    rec.LastCheckTS = "2026-12-11 07:00:00";
    rec.HttpTunnelIp = "my.tunnel";
    rec.HttpProxyPort = 3128;
    rec.SMSServerPort = "8080";
    ASSERT_EQ(0, h.SaveSettings());

    // With no proxy host the stored tunnel host is replaced by the default.
    PortableSettings back;
    EXPECT_EQ(1, Load(back));
    EXPECT_EQ("0049301234", back.UserName);
    EXPECT_EQ("1234", back.UserPassword);
    EXPECT_EQ(1, back.AutoLogin);
    EXPECT_EQ(1, back.RememberMe);
    EXPECT_EQ("2026-12-11 07:00:00", back.LastCheckTS);
    EXPECT_EQ(3128, back.HttpProxyPort);
    EXPECT_EQ("8080", back.SMSServerPort);
    EXPECT_EQ("tunnel.default", back.HttpTunnelIp);

    for (const char* proxy : {"  ", "proxy.lan"}) {
        rec.HttpProxyIp = proxy;
        ASSERT_EQ(0, h.SaveSettings());
        PortableSettings b;
        EXPECT_EQ(1, Load(b));
        EXPECT_EQ(std::string(proxy) == "  " ? "tunnel.default" : "my.tunnel", b.HttpTunnelIp) << proxy;
    }
}

TEST_F(VellFileHelperTest, ValuesAreTrimmedCutAndConverted) {
    std::string plain = PlainWith("<UserName></UserName>", "<UserName>  0049 123 \t</UserName>");
    plain.replace(plain.find("<AutoLogin>0"), 12, "<AutoLogin> 1x");
    plain.replace(plain.find("<HttpProxyPort>0"), 16, "<HttpProxyPort>abc");
    plain.replace(plain.find("<SMSRequestPage>"), 16, "<SMSRequestPage>" + std::string(300, 'p'));
    // Plaintext above the writer's limit is still read.
    WriteFile(file, Encipher(plain));
    PortableSettings rec;
    EXPECT_EQ(1, Load(rec));
    EXPECT_EQ("0049 123", rec.UserName);
    EXPECT_EQ(1, rec.AutoLogin);
    EXPECT_EQ(0, rec.HttpProxyPort);
    EXPECT_EQ(std::string(254, 'p'), rec.SMSRequestPage);
    EXPECT_TRUE(messages.empty());
}

TEST_F(VellFileHelperTest, MissingTagKeepsEarlierFieldsAndReports) {
    std::string plain = PlainWith("<UserName></UserName>", "<UserName>42</UserName>");
    plain = plain.substr(0, plain.find("<SMSServerPort>"));
    plain.replace(plain.find("<SMSServerIp></SMSServerIp>"), 27, "<SMSServerIp>10.0.0.1</SMSServerIp>");
    WriteFile(file, Encipher(plain));
    PortableSettings rec;
    EXPECT_EQ(-1, Load(rec));
    EXPECT_EQ("42", rec.UserName);
    EXPECT_EQ("10.0.0.1", rec.SMSServerIp);
    EXPECT_EQ("80", rec.SMSServerPort);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Unable to parse settings...", messages[0]);
}

TEST_F(VellFileHelperTest, UndecipherableFilesKeepDefaults) {
    const std::string good = Encipher(PlainWith("<UserName></UserName>", "<UserName>42</UserName>"));
    struct Case { std::string content; int rc; const char* message; } cases[] = {
        {"ZZ" + good.substr(2), -3, "Unable to decrypt file"},                // damaged hex
        {good.substr(0, 24), -3, "Unable to decrypt file"},                   // 12 bytes
        {good.substr(0, good.size() - 1), -3, "Unable to decrypt file"},      // odd digit count
        {Encipher(PlainWith("<UserName></UserName>", "<UserName>42</UserName>"), CEncryptDecrypt::kServiceKey),
         -1, "Unable to parse settings..."},                                  // wrong key: garbage text
        {"", 0, nullptr},                                                     // empty: defaults, silently
    };
    for (const auto& c : cases) {
        messages.clear();
        icons.clear();
        WriteFile(file, c.content);
        PortableSettings rec;
        rec.UserName = "before";
        EXPECT_EQ(c.rc, Load(rec)) << c.content;
        EXPECT_EQ("", rec.UserName);
        if (c.message) {
            ASSERT_EQ(1u, messages.size());
            EXPECT_EQ(c.message, messages[0]);
        } else {
            EXPECT_TRUE(messages.empty());
        }
        if (c.rc == -3) {
            EXPECT_EQ(qf::platform::MsgIcon::Error, icons[0]);
        }
        // Nothing is rewritten on a failed load, and a copy of an unreadable
        // file survives the next save.
        EXPECT_EQ(c.content, ReadFile(file));
        if (c.message) {
            EXPECT_EQ(c.content, ReadFile(file + ".damaged"));
        }
    }
}

TEST_F(VellFileHelperTest, OverlongSettingsAreRefusedAndTheOldFileStays) {
    PortableSettings rec;
    VellFileHelper h(rec);
    ASSERT_EQ(0, h.LoadSettings(file.c_str(), appDir));
    const std::string before = ReadFile(file);
    const size_t base = h.BuildPlainText().size();
    rec.SMSRequestPage = std::string(VellFileHelper::kMaxPlainText - base, 's');
    EXPECT_EQ(0, h.SaveSettings()); // exactly at the limit
    EXPECT_EQ(VellFileHelper::kMaxPlainText * 8, ReadFile(file).size());
    const std::string atLimit = ReadFile(file);
    rec.SMSRequestPage += "s";
    EXPECT_EQ(VellFileHelper::kErrTooLong, h.SaveSettings());
    EXPECT_EQ(atLimit, ReadFile(file));
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Unable to Save data", messages[0]);
    EXPECT_NE(before, atLimit);
}

TEST_F(VellFileHelperTest, UnwritableAndUnnamedFilesFail) {
    PortableSettings rec;
    VellFileHelper h(rec);
    EXPECT_EQ(-1, h.LoadSettings(nullptr, appDir));
    EXPECT_EQ(appDir, rec.AppPath); // defaults are set regardless
    const std::string nowhere = dir.file("no/such/folder/Settings.ini");
    EXPECT_EQ(-1, h.LoadSettings(nowhere.c_str(), appDir));
    EXPECT_TRUE(messages.empty());
}

TEST_F(VellFileHelperTest, GetNextTagSearchesFromTheStartEachTime) {
    PortableSettings rec;
    VellFileHelper h(rec);
    // Order in the text does not matter, and the first occurrence wins.
    std::string plain = PlainWith("<AppPath>", "<ProxyPort> 5070 </ProxyPort><AppPath>");
    EXPECT_EQ(1, h.ParseSettings(plain));
    EXPECT_EQ("5070", rec.ProxyPort);
    char buf[4];
    EXPECT_EQ(-1, h.GetNextTag("<A>", "</A>", buf, sizeof buf));
}

} // namespace
