// The lab web service as the program the demo runs: started as a child
// process on a free port, asked for a balance and a page, then stopped.
#include "WebTestSupport.h"

#include "web/VellXMLParser.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

using namespace qf::test;

namespace {

// Runs quarvo-lab-web and stops it again on every path.
class LabWebProcess {
public:
    LabWebProcess() {
        int out[2];
        if (pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(QF_LAB_WEB_BINARY, QF_LAB_WEB_BINARY, "--port", "0", "--host", "127.0.0.1",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // "quarvo-lab-web listening on 127.0.0.1:<port>"
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (f && fgets(line, sizeof(line), f)) {
            const char* colon = std::strrchr(line, ':');
            if (colon) m_port = std::atoi(colon + 1);
        }
        if (f) fclose(f);
        else close(out[0]);
    }
    ~LabWebProcess() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = -1;
};

TEST(LabWebProgram, ServesTheApiAndStopsOnRequest) {
    ASSERT_EQ(CVellINet::Init(), 1);
    {
        LabWebProcess lab;
        ASSERT_GT(lab.Port(), 0);
        CVellINet client("quarvoFON_Main");
        CallbackRecorder rec;
        char body[CServiceRequest::kBodyBufferSize + 1];
        client.SetClosed(0);
        ASSERT_EQ(CServiceRequest::INetRequest(client, CServiceRequest::BuildBalanceRequest("5550001"),
                                               CallbackRecorder::Callback, &rec, body, sizeof(body) - 1,
                                               "127.0.0.1", lab.Port()),
                  1);
        ASSERT_TRUE(rec.finished.Wait(5000));
        ASSERT_EQ(rec.Outcome().second, 2);
        ASSERT_EQ(CServiceReply::ReadWhole(client, 5000), 2);
        CVellXMLParser parser(nullptr);
        EXPECT_EQ(CServiceReply::Evaluate(client, parser), CServiceReply::REPLY_OK);
        EXPECT_EQ(parser.GetBalance(), "10.00");
        client.Close();

        rec.Reset();
        client.SetClosed(0);
        ASSERT_EQ(CServiceRequest::PingRequest(client, CallbackRecorder::Callback, &rec, "127.0.0.1", lab.Port()),
                  1);
        ASSERT_TRUE(rec.finished.Wait(5000));
        int status = 0;
        EXPECT_TRUE(client.GetHttpStatusCode(status));
        EXPECT_EQ(status, 200);
        client.Close();
    }
    CVellINet::Exit();
}

} // namespace
