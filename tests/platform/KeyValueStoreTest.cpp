#include <cstring>
#include "platform/Diagnostics.h"
#include "platform/KeyValueStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using qf::platform::CKeyValueStore;
using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

const std::string kMain = "Software\\quarvoFON\\quarvoFON\\";

class KeyValueStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        qf::platform::SetDiagnosticSink([this](int level, const char*, const std::string& text) {
            reports.push_back(std::to_string(level) + " " + text);
        });
    }
    void TearDown() override { qf::platform::SetDiagnosticSink(nullptr); }
    TempDir dir;
    std::string path = dir.file("cfg/registry.store");
    CKeyValueStore store{path};
    std::vector<std::string> reports;
};

TEST_F(KeyValueStoreTest, ValuesOfEveryTypeSurviveInAFreshInstance) {
    ASSERT_EQ(1, store.CreateKey(kMain, "Config"));
    const std::string awkward = std::string(" lead\nline%20\r\x7f=tab\t trail ") + '\0' + "after";
    const unsigned char bin[] = {0x00, 0xFF, 0x0A, 0x25};
    EXPECT_EQ(0, store.WriteString(kMain + "Config\\", "Config1", "0123"));
    EXPECT_EQ(0, store.WriteString(kMain, "Odd Name=%", awkward));
    EXPECT_EQ(0, store.WriteDword(kMain + "Config", "AutoLogin", 0xFFFFFFFFu));
    EXPECT_EQ(0, store.WriteBinary(kMain + "Config\\", "Config2", bin, sizeof bin));
    EXPECT_EQ(0, store.WriteBinary(kMain + "Config\\", "Empty", nullptr, 0));

    CKeyValueStore again(path);
    std::string s;
    EXPECT_EQ(0, again.ReadString(kMain + "Config", "config1", s)); // names ignore case
    EXPECT_EQ("0123", s);
    EXPECT_EQ(0, again.ReadString("software\\QUARVOFON\\quarvoFON", "Odd Name=%", s));
    EXPECT_EQ(awkward, s);
    uint32_t d = 0;
    EXPECT_EQ(0, again.ReadDword(kMain + "Config\\", "AutoLogin", d));
    EXPECT_EQ(0xFFFFFFFFu, d);
    unsigned char out[255];
    size_t n = sizeof out;
    EXPECT_EQ(0, again.ReadBinary(kMain + "Config\\", "Config2", out, n));
    ASSERT_EQ(sizeof bin, n);
    EXPECT_EQ(0, std::memcmp(bin, out, n));
    n = sizeof out;
    EXPECT_EQ(0, again.ReadBinary(kMain + "Config\\", "Empty", out, n));
    EXPECT_EQ(0u, n);
    // Type mismatch and a too-small buffer fail like missing values.
    EXPECT_EQ(-1, again.ReadString(kMain + "Config\\", "AutoLogin", s));
    n = 2;
    EXPECT_EQ(-1, again.ReadBinary(kMain + "Config\\", "Config2", out, n));
}

TEST_F(KeyValueStoreTest, KeysMustExistBeforeWritesAndParentsComeWithChildren) {
    EXPECT_EQ(-1, store.WriteString(kMain, "AppPath", "/x/"));
    std::string s;
    EXPECT_EQ(-1, store.ReadString(kMain, "AppPath", s));
    EXPECT_FALSE(store.KeyExists(kMain));
    ASSERT_EQ(1, store.CreateKey(kMain, "HttpProxy"));
    EXPECT_TRUE(store.KeyExists("Software\\quarvoFON"));
    EXPECT_TRUE(store.KeyExists(kMain));
    EXPECT_TRUE(store.KeyExists(kMain + "HttpProxy\\"));
    EXPECT_EQ(1, store.CreateKey(kMain, "")); // the parent itself, already there
    EXPECT_EQ(0, store.WriteString(kMain, "AppPath", "/x/"));
    EXPECT_EQ(-1, store.CreateKey("", ""));
    EXPECT_EQ(0, store.DeleteValue(kMain, "AppPath"));
    EXPECT_EQ(-1, store.ReadString(kMain, "AppPath", s));
}

TEST_F(KeyValueStoreTest, StringsMustLeaveRoomForTheTerminator) {
    ASSERT_EQ(1, store.CreateKey(kMain, ""));
    char buf[255];
    for (size_t len : {0u, 1u, 254u, 255u, 300u}) {
        ASSERT_EQ(0, store.WriteString(kMain, "RingTone", std::string(len, 'r')));
        int rc = store.ReadString(kMain, "RingTone", buf, sizeof buf);
        if (len < 255) {
            EXPECT_EQ(0, rc) << len;
            EXPECT_EQ(std::string(len, 'r'), std::string(buf)) << len;
        } else {
            EXPECT_EQ(-1, rc) << len;
        }
    }
}

TEST_F(KeyValueStoreTest, DamagedFileIsReportedOnceKeptAsideAndDefaultsApply) {
    ASSERT_EQ(1, store.CreateKey(kMain, ""));
    ASSERT_EQ(0, store.WriteString(kMain, "ProxyIp", "a.example"));
    const std::string good = ReadFile(path);
    const std::string damaged[] = {
        good.substr(0, good.size() - 3),            // cut short
        "garbage\n",                                // not a store at all
        good + "dword X=notanumber\n",              // bad value
        good + "binary B=ABC\n",                    // odd hex
        good + "sz NoKeyBefore\n",                  // no '='
        good + "sz ProxyIp=again\n",                // duplicate value
    };
    for (const auto& text : damaged) {
        reports.clear();
        std::filesystem::remove_all(dir.file("cfg"));
        std::filesystem::create_directories(dir.file("cfg"));
        WriteFile(path, text);
        std::string s;
        EXPECT_EQ(-1, store.ReadString(kMain, "ProxyIp", s));
        EXPECT_EQ(-1, store.ReadString(kMain, "ProxyIp", s));
        ASSERT_EQ(1u, reports.size()) << text;
        EXPECT_EQ('1', reports[0][0]);
        int aside = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("cfg")))
            if (e.path().filename().string().rfind("registry.store.damaged-", 0) == 0) {
                ++aside;
                EXPECT_EQ(text, ReadFile(e.path().string()));
            }
        EXPECT_EQ(1, aside);
        // The store starts afresh.
        ASSERT_EQ(1, store.CreateKey(kMain, ""));
        EXPECT_EQ(0, store.WriteString(kMain, "ProxyIp", "b.example"));
        EXPECT_EQ(0, store.ReadString(kMain, "ProxyIp", s));
        EXPECT_EQ("b.example", s);
    }
}

TEST_F(KeyValueStoreTest, ConcurrentWritersFromTwoProcessesAndThreadsLoseNothing) {
    ASSERT_EQ(1, store.CreateKey(kMain, ""));
    constexpr int kEach = 60;
    auto writeMany = [this](const std::string& tag) {
        CKeyValueStore own(path);
        for (int i = 0; i < kEach; ++i) own.WriteDword(kMain, tag + std::to_string(i), static_cast<uint32_t>(i));
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeMany("child");
        _exit(0);
    }
    std::thread other([&] { writeMany("thread"); });
    writeMany("parent");
    other.join();
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    for (const char* tag : {"child", "thread", "parent"})
        for (int i = 0; i < kEach; ++i) {
            uint32_t v = 999;
            ASSERT_EQ(0, store.ReadDword(kMain, tag + std::to_string(i), v)) << tag << i;
            EXPECT_EQ(static_cast<uint32_t>(i), v);
        }
    EXPECT_TRUE(reports.empty());
}

TEST(KeyValueStorePaths, FollowTheEnvironment) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(dir.file("quarvofon/registry.store"), CKeyValueStore::DefaultUserStorePath());
    setenv("QF_MACHINE_STORE_DIR", dir.file("machine").c_str(), 1);
    EXPECT_EQ(dir.file("machine") + "/machine.store", CKeyValueStore::DefaultMachineStorePath());
    unsetenv("QF_MACHINE_STORE_DIR");
    setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    const std::string fallback = CKeyValueStore::DefaultMachineStorePath();
    EXPECT_TRUE(fallback == "/var/lib/quarvofon/machine.store" || fallback == dir.file("quarvofon/machine.store"))
        << fallback;
}

} // namespace
