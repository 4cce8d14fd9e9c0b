#include "platform/ProfileFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

using namespace qf::platform;
using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    std::string Read(const std::string& section, const std::string& key, const std::string& def = "<none>") {
        return GetPrivateProfileString(section, key, def, path);
    }
    TempDir dir;
    std::string path = dir.file("test.ini");
};

TEST_F(ProfileFileTest, WriteCreatesFileAndSectionsReadBackWithDefaults) {
    EXPECT_EQ("<none>", Read("A", "k"));
    EXPECT_FALSE(std::filesystem::exists(path));

    ASSERT_TRUE(WritePrivateProfileString("A", "k1", "one", path));
    ASSERT_TRUE(WritePrivateProfileString("B", "k1", "bee", path));
    ASSERT_TRUE(WritePrivateProfileString("A", "k2", "", path));
    ASSERT_TRUE(WritePrivateProfileString("A", "k1", "uno", path)); // replaced in place

    EXPECT_EQ("[A]\nk1=uno\nk2=\n[B]\nk1=bee\n", ReadFile(path));
    EXPECT_EQ("uno", Read("A", "k1"));
    EXPECT_EQ("uno", Read("a", "K1")); // names ignore letter case
    EXPECT_EQ("bee", Read("B", "k1"));
    EXPECT_EQ("<none>", Read("B", "k2"));
    EXPECT_EQ("<none>", Read("C", "k1"));

    // A present but empty value is found, and is not the default.
    std::string value;
    EXPECT_TRUE(GetPrivateProfileString("A", "k2", "dflt", value, path));
    EXPECT_EQ("", value);
    EXPECT_FALSE(GetPrivateProfileString("A", "k3", "dflt", value, path));
    EXPECT_EQ("dflt", value);

    EXPECT_EQ((std::vector<std::string>{"A", "B"}), GetPrivateProfileSectionNames(path));
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), GetPrivateProfileKeys("a", path));
}

TEST_F(ProfileFileTest, ValuesReadBackByteForByteWhateverTheirLength) {
    const std::string cases[] = {
        " leading and trailing blanks ",
        "a=b=c",
        "\"quoted\"",
        "; not a comment",
        "[not a section]",
        "tab\there",
        std::string(765, 'x'),
        std::string(200000, 'y') + "|end",
        "\x1b\x7f\xc3\xa9\xff",
    };
    int i = 0;
    for (const auto& v : cases) ASSERT_TRUE(WritePrivateProfileString("S", ("K" + std::to_string(i++)).c_str(), v.c_str(), path));
    i = 0;
    for (const auto& v : cases) EXPECT_EQ(v, Read("S", "K" + std::to_string(i++))) << "case " << i;
}

TEST_F(ProfileFileTest, ReadsFilesWrittenByOthers) {
    WriteFile(path,
              "; comment\r\n"
              "orphan=outside any section\r\n"
              "[First]\r\n"
              "  Spaced Key  =value with CRLF\r\n"
              "no equals sign here\r\n"
              "[ Second ]\r\n"
              "x=1\r\n"
              "x=2\r\n"
              "[first]\r\n"
              "late=ignored, only the first copy of a section counts\r\n"
              "[Unclosed\n"
              "u=3");
    EXPECT_EQ("<none>", Read("", "orphan"));
    EXPECT_EQ("value with CRLF", Read("first", "spaced key"));
    EXPECT_EQ("1", Read("Second", "x")); // first key of a name wins
    EXPECT_EQ("<none>", Read("First", "late"));
    EXPECT_EQ("3", Read("Unclosed", "u"));
    EXPECT_EQ((std::vector<std::string>{"First", "Second", "Unclosed"}), GetPrivateProfileSectionNames(path));

    // An outside change is seen by the next read.
    WriteFile(path, "[Second]\nx=changed\n");
    EXPECT_EQ("changed", Read("Second", "x"));
    EXPECT_EQ("<none>", Read("First", "spaced key"));
}

TEST_F(ProfileFileTest, RemovesKeysAndSectionsAndKeepsTheRest) {
    WriteFile(path, "[A]\na=1\nb=2\n\n[B]\nc=3\n[A]\nd=4\n[C]\ne=5\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "a", nullptr, path));
    EXPECT_EQ("<none>", Read("A", "a"));
    EXPECT_EQ("2", Read("A", "b"));

    // A new key goes under the section's last key, before the blank line.
    ASSERT_TRUE(WritePrivateProfileString("A", "z", "26", path));
    EXPECT_EQ("[A]\nb=2\nz=26\n\n[B]\nc=3\n[A]\nd=4\n[C]\ne=5\n", ReadFile(path));

    // Removing a section removes every copy of it, with its lines.
    ASSERT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, path));
    EXPECT_EQ("[B]\nc=3\n[C]\ne=5\n", ReadFile(path));
    EXPECT_EQ((std::vector<std::string>{"B", "C"}), GetPrivateProfileSectionNames(path));

    // Removing what is not there succeeds without creating anything.
    const std::string other = dir.file("absent.ini");
    EXPECT_TRUE(WritePrivateProfileString("X", nullptr, nullptr, other));
    EXPECT_TRUE(WritePrivateProfileString("X", "k", nullptr, other));
    EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(ProfileFileTest, RefusesWhatWouldBreakTheLineFormat) {
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    const std::string before = ReadFile(path);
    struct {
        const char* section;
        const char* key;
        const char* value;
    } bad[] = {
        {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},  {"S", "a=b", "v"}, {"S", "[x", "v"},
        {"S", ";c", "v"},         {"S", "", "v"},      {"S", "k\n", "v"}, {"a]b", "k", "v"},
        {"", "k", "v"},           {"two\nlines", "k", "v"},
    };
    for (const auto& b : bad) EXPECT_FALSE(WritePrivateProfileString(b.section, b.key, b.value, path)) << b.key;
    EXPECT_FALSE(WritePrivateProfileStrings("S", {{"ok", "v"}, {"bad", "x\ny"}}, path));
    EXPECT_EQ(before, ReadFile(path));
}

TEST_F(ProfileFileTest, BatchWriteUpdatesInPlaceAndAppendsNewKeysInOrder) {
    WriteFile(path, "[S]\nk1=old\n\n[T]\nx=1\n");
    ASSERT_TRUE(WritePrivateProfileStrings("S", {{"k3", "c"}, {"k1", "new"}, {"k2", "b"}, {"k3", "c2"}}, path));
    EXPECT_EQ("[S]\nk1=new\nk3=c2\nk2=b\n\n[T]\nx=1\n", ReadFile(path));
    ASSERT_TRUE(WritePrivateProfileStrings("U", {{"a", "1"}}, path));
    EXPECT_EQ("1", Read("U", "a"));
}

TEST_F(ProfileFileTest, FailedWriteLeavesOldFileAndNoStrayFiles) {
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    if (::geteuid() != 0) {
        ::chmod(dir.path().c_str(), 0500);
        EXPECT_FALSE(WritePrivateProfileString("S", "k", "w", path));
        ::chmod(dir.path().c_str(), 0700);
        EXPECT_EQ("v", Read("S", "k"));
    }
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", dir.file("no/such/folder.ini")));
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(1, files);
}

// A writer killed at an arbitrary moment leaves a file that holds one of the
// complete values it wrote, never a mixture or a cut-off one.
TEST_F(ProfileFileTest, WriterKilledMidWriteLeavesACompleteFile) {
    constexpr size_t kLen = 300000;
    for (int round = 0; round < 4; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                std::string v(kLen, static_cast<char>('a' + i % 26));
                WritePrivateProfileString("S", "k", v.c_str(), path);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 17 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ForgetProfileFile(path);
        std::string v = Read("S", "k", "");
        if (v.empty()) continue; // killed before the first write finished
        ASSERT_EQ(kLen, v.size());
        EXPECT_EQ(std::string::npos, v.find_first_not_of(v[0]));
    }
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kKeys = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "T" + std::to_string(t) + "K" + std::to_string(k);
                WritePrivateProfileString("S" + std::to_string(t % 2), key.c_str(), key.c_str(), path);
                GetPrivateProfileString("S0", "T0K0", "", path);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k) {
            std::string key = "T" + std::to_string(t) + "K" + std::to_string(k);
            EXPECT_EQ(key, Read("S" + std::to_string(t % 2), key));
        }
}

} // namespace
