// quarvofon-cli placing and answering calls against SIPp: the commands
// and the media fields of its event lines.
#include "CallTestSupport.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace std::chrono_literals;
using qf::test::ChildProcess;
using qf::test::FreeUdpPort;
using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

const std::string kCli = std::string(QF_BINARY_DIR) + "/tools/quarvofon-cli/quarvofon-cli";
const std::string kScenarios = std::string(QF_SOURCE_DIR) + "/lab/sipp/calls/";

class CliCallTest : public ::testing::Test {
protected:
    // Runs SIPp with the scenario and the CLI with the commands; returns
    // the CLI's output.
    std::string Run(const std::string& scenario, const std::string& commands) {
        const int cliPort = FreeUdpPort();
        const int sippPort = FreeUdpPort();
        const bool callsUs = scenario.rfind("uac-", 0) == 0;
        std::vector<std::string> sippArgs = {"sipp", "-sf", kScenarios + scenario, "-m", "1", "-i", "127.0.0.1",
                                             "-p", std::to_string(sippPort), "-mp", std::to_string(FreeUdpPort()),
                                             "-s", "1002", "-timeout", "20", "-timeout_error", "-nostdin"};
        if (callsUs) sippArgs.push_back("127.0.0.1:" + std::to_string(cliPort));
        WriteFile(m_dir.file("commands"), commands);
        const std::string shell = "exec " + kCli + " --server 127.0.0.1 --port " + std::to_string(sippPort) +
                                  " --user 1001 --pin 1234 --local-port " + std::to_string(cliPort) + " < " +
                                  m_dir.file("commands");
        if (callsUs) {
            EXPECT_TRUE(m_cli.Start({"sh", "-c", shell}, m_dir.file("cli.out")));
            std::this_thread::sleep_for(300ms);
            EXPECT_TRUE(m_sipp.Start(sippArgs, m_dir.file("sipp.out")));
        } else {
            EXPECT_TRUE(m_sipp.Start(sippArgs, m_dir.file("sipp.out")));
            std::this_thread::sleep_for(300ms);
            EXPECT_TRUE(m_cli.Start({"sh", "-c", shell}, m_dir.file("cli.out")));
        }
        EXPECT_EQ(0, m_cli.Wait(30s));
        EXPECT_EQ(0, m_sipp.Wait(30s)) << ReadFile(m_dir.file("sipp.out"));
        return ReadFile(m_dir.file("cli.out"));
    }

    static bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

    TempDir m_dir;
    ChildProcess m_sipp;
    ChildProcess m_cli;
};

TEST_F(CliCallTest, CallCommandPrintsTheAgreedMedia) {
    const std::string out = Run("uas-answer-peer-bye.xml", "call 1002\nsleep 2500\nquit\n");
    EXPECT_TRUE(Has(out, "result call 1\n")) << out;
    EXPECT_TRUE(Has(out, " code=183 reason=\"Session Progress\" codec=PCMA/8/8000 rtp=127.0.0.1:6000 dtmf=0/0\n"))
        << out;
    EXPECT_TRUE(Has(out, "event 9 OUTGOING_CALL_ANSWERED cid=1 did=1 ")) << out;
    EXPECT_TRUE(Has(out, "event 17 CALL_CLOSED ")) << out;
    EXPECT_TRUE(Has(out, "event 18 CALL_RELEASED ")) << out;
}

TEST_F(CliCallTest, AnswerCommandAndDigitsInTheCall) {
    const std::string out = Run("uac-info-dtmf.xml", "sleep 1000\nring\nanswer\nsleep 3000\nquit\n");
    EXPECT_TRUE(Has(out, "codec=PCMU/0/8000 rtp=127.0.0.1:4000 dtmf=0/0\n")) << out;
    EXPECT_TRUE(Has(out, "result ring 1\nresult answer 1\n")) << out;
    EXPECT_TRUE(Has(out, "event 19 INFO_MESSAGE ")) << out;
    EXPECT_TRUE(Has(out, " dtmf=11/160\n")) << out;
    EXPECT_TRUE(Has(out, " dtmf=5/0\n")) << out;
    EXPECT_TRUE(Has(out, "event 17 CALL_CLOSED ")) << out;
}

TEST_F(CliCallTest, RejectAndHangUpCommands) {
    std::string out = Run("uac-rejected.xml", "sleep 1000\nreject\nsleep 1500\nquit\n");
    EXPECT_TRUE(Has(out, "result reject 1\n")) << out;
    EXPECT_TRUE(Has(out, "event 18 CALL_RELEASED ")) << out;
    out = Run("uas-cancel.xml", "call 1002\nsleep 700\nhangup\nsleep 1500\nquit\n");
    EXPECT_TRUE(Has(out, "result hangup 1\n")) << out;
    EXPECT_TRUE(Has(out, "event 11 CALL_REQUESTFAILURE cid=1 did=1 tid=1 code=487 ")) << out;
}

} // namespace
