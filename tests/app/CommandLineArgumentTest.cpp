#include "app/CommandLineArgument.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CommandLineArgumentTest, CalltoVariants) {
    struct Case { std::vector<const char*> args; int callTo; const char* number; } cases[] = {
        {{"callto:123"}, 1, "123"},
        {{"CALLTO: 0123 "}, 1, "0123"},
        {{"  CallTo:+49301234  "}, 1, "+49301234"},
        {{"callto:"}, 1, ""},
        {{"callto:12:34"}, 1, "12"},           // only the part after the keyword
        {{"callto::555"}, 1, "555"},           // empty parts are skipped
        {{"-callto:77"}, 1, "77"},             // a flag marker is stripped first
        {{"/callto:78"}, 1, "78"},
        {{"callto:1", "callto:2"}, 1, "1"},    // the first callto counts
        {{"--verbose", "callto:5"}, 1, "5"},   // other tokens are ignored
        {{"call:123"}, 0, ""},
        {{"callto123"}, 0, ""},
        {{"tel:123"}, 0, ""},
        {{""}, 0, ""},
        {{}, 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"quarvofon"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CCommandLineArgument cmd;
        cmd.m_bNumberDialled = 1;
        cmd.ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        const std::string label = c.args.empty() ? "<none>" : c.args[0];
        EXPECT_EQ(c.callTo, cmd.m_bCallTo) << label;
        EXPECT_EQ(c.callTo == 1, cmd.IsCallTo()) << label;
        EXPECT_EQ(c.number, cmd.GetNumber()) << label;
        EXPECT_EQ(c.callTo ? 0 : 1, cmd.m_bNumberDialled) << label;
    }
}

TEST(CommandLineArgumentTest, NullTokenIsHarmless) {
    CCommandLineArgument cmd;
    cmd.ParseParam(nullptr, false, true);
    EXPECT_EQ(0, cmd.m_bCallTo);
}

} // namespace
