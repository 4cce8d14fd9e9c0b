#include "support/TempDir.h"
#include "voiceengine/VEAPI.h"
#include "voiceengine/VETrace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

TEST(VETraceTest, ModeOffWritesNothingAndFilterDropsTimerLines) {
    qf::test::TempDir dir;
    VETrace trace;
    ASSERT_EQ(0, trace.OpenFile(dir.file("t.txt").c_str()));
    trace.SetScrambling(0);
    trace.Print(VETrace::kInfo, "while off %d", 1); // mode 0
    trace.SetMode(VETrace::kModeFile);
    trace.Print(VETrace::kTimer, "timer line");       // not in 223
    trace.Print(VETrace::kDebug, "debug line");       // not in 223
    trace.Print(VETrace::kWarning, "kept %s", "line");
    const auto lines = Lines(dir.file("t.txt"));
    ASSERT_EQ(5u, lines.size()); // Date, Time, empty, Build info, the one line
    EXPECT_EQ(0u, lines[0].rfind("Date: ", 0));
    EXPECT_EQ(0u, lines[1].rfind("Time: ", 0));
    EXPECT_EQ("", lines[2]);
    EXPECT_EQ(0u, lines[3].rfind("Build info: ", 0));
    EXPECT_EQ(0u, lines[4].rfind("WARNING  (", 0));
    EXPECT_NE(std::string::npos, lines[4].find("): kept line"));
    EXPECT_EQ(-1, trace.SetMode(3));
    EXPECT_EQ(-1, trace.OpenFile(nullptr));
    EXPECT_FALSE(trace.IsFileOpen());
}

TEST(VETraceTest, ScramblingEscapesAndReverses) {
    // Every byte value goes through, including controls and high bytes.
    std::string text;
    for (int i = 1; i < 256; ++i)
        text.push_back(static_cast<char>(i));
    int pos = 0;
    const std::string scrambled = VETrace::Scramble(text, pos);
    EXPECT_EQ(static_cast<int>(text.size() % VETrace::kKeyLength), pos);
    EXPECT_GE(scrambled.size(), text.size());
    EXPECT_LE(scrambled.size(), 2 * text.size());
    for (size_t i = 0; i < scrambled.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(scrambled[i]);
        if (b == 1) {
            ASSERT_LT(i + 1, scrambled.size());
            EXPECT_GE(static_cast<uint8_t>(scrambled[i + 1]), 96);
            ++i;
        } else if (b == 2) {
            ++i;
        } else {
            EXPECT_GT(b, 31);
            EXPECT_LT(b, 128);
        }
    }
    int back = 0;
    std::string restored;
    ASSERT_TRUE(VETrace::Unscramble(scrambled, back, restored));
    EXPECT_EQ(text, restored);
    // The key position carries from line to line.
    int p1 = 0;
    const std::string a = VETrace::Scramble("abc", p1);
    const std::string b = VETrace::Scramble("abc", p1);
    EXPECT_NE(a, b);
    EXPECT_FALSE(VETrace::Unscramble(std::string(1, '\x01'), back, restored));
}

TEST(VETraceTest, ScrambledFileLinesReadBack) {
    qf::test::TempDir dir;
    VETrace trace;
    trace.SetMode(VETrace::kModeFile);
    ASSERT_EQ(0, trace.OpenFile(dir.file("s.txt").c_str()));
    trace.Print(VETrace::kError, "first %d", 42);
    trace.Print(VETrace::kApiCall, "VEobj.VE_StartSend(%d);", 0);
    const auto lines = Lines(dir.file("s.txt"));
    ASSERT_EQ(6u, lines.size());
    int pos = 0;
    std::string first, second;
    ASSERT_TRUE(VETrace::Unscramble(lines[4], pos, first));
    ASSERT_TRUE(VETrace::Unscramble(lines[5], pos, second));
    EXPECT_EQ(0u, first.rfind("ERROR    (", 0));
    EXPECT_NE(std::string::npos, first.find("): first 42"));
    EXPECT_EQ(0u, second.rfind("APICALL  (", 0));
    EXPECT_NE(std::string::npos, second.find("VEobj.VE_StartSend(0);"));
}

TEST(VETraceTest, FileStartsAgainAfterHundredThousandLines) {
    qf::test::TempDir dir;
    VETrace trace;
    trace.SetMode(VETrace::kModeFile);
    trace.SetScrambling(0);
    ASSERT_EQ(0, trace.OpenFile(dir.file("r.txt").c_str()));
    for (int i = 1; i <= VETrace::kMaxLinesPerFile; ++i)
        trace.Print(VETrace::kInfo, "n%d", i);
    EXPECT_EQ(4u + VETrace::kMaxLinesPerFile, Lines(dir.file("r.txt")).size());
    trace.Print(VETrace::kInfo, "after");
    const auto lines = Lines(dir.file("r.txt"));
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("Date: ", 0));
    EXPECT_NE(std::string::npos, lines[4].find("after"));
}

TEST(VETraceTest, CallbackModeAndEngineTraceFile) {
    struct Seen {
        static void Cb(void* user, const char* text, int length) {
            static_cast<std::vector<std::string>*>(user)->emplace_back(text, static_cast<size_t>(length));
        }
    };
    std::vector<std::string> seen;
    VETrace trace;
    EXPECT_EQ(-1, trace.SetCallback(&Seen::Cb, &seen)); // only in callback mode
    trace.SetMode(VETrace::kModeCallback);
    trace.SetScrambling(0);
    ASSERT_EQ(0, trace.SetCallback(&Seen::Cb, &seen));
    trace.Print(VETrace::kCritical, "x=%d", 7);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(0u, seen[0].rfind("CRITICAL (", 0));

    // The engine names its file after its construction number.
    qf::test::TempDir dir;
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    {
        VEAPI engine;
        EXPECT_EQ(-1, engine.VE_SetTrace(1));
        EXPECT_EQ(8005, engine.VE_GetLastError());
        ASSERT_EQ(0, engine.VE_SetTrace(2));
        const std::string name = "VoiceTrace_" + std::to_string(VEAPI::ConstructedEngines()) + ".txt";
        EXPECT_TRUE(std::filesystem::exists(dir.path() / name));
        EXPECT_EQ(0u, Lines((dir.path() / name).string())[0].rfind("Date: ", 0));
        EXPECT_EQ(0, engine.VE_SetTrace(0));
    }
    std::filesystem::current_path(old);
}

} // namespace
