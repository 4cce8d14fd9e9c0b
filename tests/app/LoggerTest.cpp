#include "app/Logger.h"
#include "app/Trace.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using qf::test::ReadFile;
using qf::test::TempDir;

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CLogger::Exit();
        CLogger::SetLevel(7);
        CLogger::SetSizeLimit(1048576);
    }
    void TearDown() override {
        CLogger::Exit();
        CLogger::SetLevel(7);
        CLogger::SetSizeLimit(1048576);
    }
    std::vector<std::string> Lines(const std::string& path) {
        std::vector<std::string> out;
        std::istringstream in(ReadFile(path));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    TempDir dir;
};

TEST_F(LoggerTest, SilentUntilOpened) {
    EXPECT_EQ(2, CLogger::Log(1, "", 10, "CFoo::Bar", "nothing %d", 1));
    // Filtered lines count as handled even while closed.
    CLogger::SetLevel(3);
    EXPECT_EQ(1, CLogger::Log(7, "", 10, "CFoo::Bar", "filtered"));
}

TEST_F(LoggerTest, LineFormatAndLevelNames) {
    const std::string path = dir.file("q.log");
    ASSERT_EQ(1, CLogger::Open(path));
    struct Case { int level; const char* name; } cases[] = {
        {1, "LOG_ERROR"}, {2, "LOG_WARNING"}, {3, "LOG_DEBUG"}, {7, "LOG_INFO"}, {5, "Unknown"}, {0, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(1, CLogger::Log(c.level, "", 42, "CFoo::Bar", "value=%d", c.level));
    auto lines = Lines(path);
    ASSERT_EQ(std::size(cases), lines.size());
    const std::regex shape(R"(^\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\]\[([A-Za-z_]+)\]\[\]\[CFoo::Bar\]\[42\] value=(-?\d+)$)");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i];
        EXPECT_EQ(cases[i].name, m[1].str());
        EXPECT_EQ(std::to_string(cases[i].level), m[2].str());
    }
}

TEST_F(LoggerTest, ThresholdFiltersMoreVerboseLevels) {
    const std::string path = dir.file("q.log");
    ASSERT_EQ(1, CLogger::Open(path));
    CLogger::SetLevel(3);
    EXPECT_EQ(1, CLogger::Log(7, "", 1, "A::B", "info"));
    EXPECT_EQ(1, CLogger::Log(5, "", 1, "A::B", "five"));
    EXPECT_EQ(1, CLogger::Log(1, "", 1, "A::B", "error"));
    auto lines = Lines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[LOG_ERROR]"));
}

TEST_F(LoggerTest, RotatesToOldAtLimitReplacingOlderGeneration) {
    const std::string path = dir.file("q.log");
    qf::test::WriteFile(path + ".old", "ancient\n");
    qf::test::WriteFile(path, std::string(100, 'x') + "\n");
    CLogger::SetSizeLimit(100);
    ASSERT_EQ(1, CLogger::Open(path));
    EXPECT_EQ(1, CLogger::Log(1, "", 1, "A::B", "fresh"));
    EXPECT_EQ(std::string(100, 'x') + "\n", ReadFile(path + ".old"));
    auto lines = Lines(path);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("fresh"));
}

TEST_F(LoggerTest, FailedRotationClosesTheLog) {
    // A log file inside a folder that disappears cannot be reopened.
    const std::string sub = dir.file("gone");
    std::filesystem::create_directories(sub);
    const std::string path = sub + "/q.log";
    CLogger::SetSizeLimit(1);
    ASSERT_EQ(1, CLogger::Open(path));
    EXPECT_EQ(1, CLogger::Log(1, "", 1, "A::B", "first"));
    std::filesystem::remove_all(sub);
    EXPECT_EQ(-1, CLogger::Log(1, "", 1, "A::B", "second"));
    EXPECT_EQ(2, CLogger::Log(1, "", 1, "A::B", "third"));
}

TEST_F(LoggerTest, TraceHelperWritesEnteringAndLeaving) {
    const std::string path = dir.file("q.log");
    ASSERT_EQ(1, CLogger::Open(path));
    {
        QF_TRACE("CFoo::Bar");
        QF_LOG_DEBUG("After %s", "Step()");
        QF_LEAVE();
    }
    auto lines = Lines(path);
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[LOG_INFO][][CFoo::Bar]"));
    EXPECT_NE(std::string::npos, lines[0].find("] ********Entering********"));
    EXPECT_NE(std::string::npos, lines[1].find("[LOG_DEBUG][][CFoo::Bar]"));
    EXPECT_NE(std::string::npos, lines[1].find("] After Step()"));
    EXPECT_NE(std::string::npos, lines[2].find("] ########Leaving########"));
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleaveAcrossRotation) {
    const std::string path = dir.file("q.log");
    CLogger::SetSizeLimit(64 * 1024);
    ASSERT_EQ(1, CLogger::Open(path));
    constexpr int kThreads = 4, kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) CLogger::Log(3, "", t, "T::Run", "thread %d line %d %s", t, i, "payload");
        });
    for (auto& th : threads) th.join();
    const std::regex shape(R"(^\[[^\]]+\]\[LOG_DEBUG\]\[\]\[T::Run\]\[\d\] thread \d line \d+ payload$)");
    for (const auto& file : {path, path + ".old"})
        for (const auto& l : Lines(file)) ASSERT_TRUE(std::regex_match(l, shape)) << l;
}

} // namespace
