// Registration against real peers on 127.0.0.1: the lab's Kamailio on
// port 5060 (started and stopped here) and SIPp registrar scenarios for
// the answers Kamailio does not give.
#include "signalling/VellSipStack.h"
#include "signalling/ua/UserAgent.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const std::string kLab = QF_SOURCE_DIR "/lab";

[[maybe_unused]] std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// A child process that is always stopped, also when a test fails.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { Stop(); }
    bool Running() const { return m_pid > 0; }
    // Waits up to timeoutMs for the child to end by itself; its exit code,
    // or -1 when it had to be stopped.
    int Wait(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
        return -1;
    }
    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

int FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class Recorder {
public:
    static int Callback(int status, CquarvoFONDlg* owner, SipData*) {
        auto* self = reinterpret_cast<Recorder*>(owner);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_statuses.push_back(status);
        self->m_cv.notify_all();
        return 0;
    }
    CquarvoFONDlg* Owner() { return reinterpret_cast<CquarvoFONDlg*>(this); }
    // Statuses so far, after waiting up to timeoutMs for one equal to until
    // (or, with until 0, for count statuses).
    std::vector<int> WaitFor(int until, size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            if (until != 0)
                for (int s : m_statuses)
                    if (s == until) return true;
            return until == 0 && m_statuses.size() >= count;
        });
        return m_statuses;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<int> m_statuses;
};

CodecInfo g_codecs[2] = {{"PCMA", "", 8, 8000, 0}, {"PCMU", "", 0, 8000, 0}};

std::unique_ptr<CVellSipStack> NewStack(Recorder& r, const std::string& port) {
    auto stack = std::make_unique<CVellSipStack>();
    EXPECT_EQ(1, stack->Init("127.0.0.1", "127.0.0.1", port.c_str(), &Recorder::Callback, r.Owner(), nullptr,
                             g_codecs, 2, "quarvoFON Version 2.6.6 RC", 0));
    return stack;
}

#ifndef QF_SLOW_INTEROP
// ---------------------------------------------------------------- Kamailio

class KamailioTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_state = "/tmp/qf-kamailio-test-" + std::to_string(getpid());
        Shell(kLab + "/kamailio/stop.sh " + s_state);
        s_started = system((kLab + "/kamailio/start.sh " + s_state + " >/dev/null 2>&1").c_str()) == 0;
    }
    static void TearDownTestSuite() {
        Shell(kLab + "/kamailio/stop.sh " + s_state);
        Shell("rm -rf " + s_state);
    }
    void SetUp() override { ASSERT_TRUE(s_started) << "Kamailio did not start; is port 5060 free?"; }

    static std::string Ctl(const std::string& command) {
        return Shell("kamcmd -s unix:" + s_state + "/kamailio.ctl " + command + " 2>&1");
    }
    // Whether the location service holds a binding of user at our port.
    static bool Bound(const std::string& user, int port) {
        return Ctl("ul.lookup location s:" + user).find("127.0.0.1:" + std::to_string(port)) != std::string::npos;
    }
    static int CountLog(const std::string& needle) {
        std::ifstream in(s_state + "/kamailio.log");
        int n = 0;
        for (std::string line; std::getline(in, line);)
            if (line.find(needle) != std::string::npos) ++n;
        return n;
    }

    static std::string s_state;
    static bool s_started;
};

std::string KamailioTest::s_state;
bool KamailioTest::s_started = false;

TEST_F(KamailioTest, CorrectPinRegistersAndDestructionUnregisters) {
    Recorder r;
    auto stack = NewStack(r, "5060");
    ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    std::vector<int> seen = r.WaitFor(1, 0, 5000);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(1, seen.back()) << "the challenge is answered and the binding accepted";
    int port = stack->UserAgent()->LocalPort();
    EXPECT_TRUE(Bound("1001", port));

    int unregsBefore = CountLog("QF-REG user=1001 expires=0");
    auto start = std::chrono::steady_clock::now();
    stack.reset();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    EXPECT_FALSE(Bound("1001", port));
    EXPECT_EQ(unregsBefore + 1, CountLog("QF-REG user=1001 expires=0"));
}

TEST_F(KamailioTest, WrongPinIsAFailureAfterTheRetries) {
    Recorder r;
    auto stack = NewStack(r, "5060");
    ASSERT_EQ(1, stack->Register("1003", "1003", "9999", 3600, nullptr, nullptr, 0));
    std::vector<int> seen = r.WaitFor(0, 3, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    seen = r.WaitFor(0, 4, 0);
    EXPECT_EQ((std::vector<int>{2, 2, 2}), seen);
    EXPECT_EQ(0, stack->registered.load());
    EXPECT_FALSE(Bound("1003", stack->UserAgent()->LocalPort()));
}

TEST_F(KamailioTest, UnknownAccountIsRefused) {
    Recorder r;
    auto stack = NewStack(r, "5060");
    ASSERT_EQ(1, stack->Register("7777", "7777", "1234", 3600, nullptr, nullptr, 0));
    EXPECT_EQ((std::vector<int>{3}), r.WaitFor(0, 1, 5000));
}

TEST_F(KamailioTest, ShortRegistrationIsRenewedBeforeItExpires) {
    Recorder r;
    auto stack = NewStack(r, "5060");
    int before = CountLog("QF-REG user=1002 expires=4");
    ASSERT_EQ(1, stack->Register("1002", "1002", "2345", 4, nullptr, nullptr, 0));
    ASSERT_FALSE(r.WaitFor(1, 0, 5000).empty());
    int port = stack->UserAgent()->LocalPort();
    // Granted 4 s: renewed every 2 s, so after 6 s (past the first expiry)
    // the binding is still there and has been renewed at least twice.
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    EXPECT_TRUE(Bound("1002", port));
    EXPECT_GE(CountLog("QF-REG user=1002 expires=4") - before, 3);
}

TEST_F(KamailioTest, KeepAliveIsAccepted) {
    Recorder r;
    auto stack = NewStack(r, "5060");
    ASSERT_EQ(1, stack->Register("1004", "1004", "4567", 3600, nullptr, nullptr, 0));
    ASSERT_FALSE(r.WaitFor(1, 0, 5000).empty());
    ASSERT_EQ(1, stack->SendPing());
    std::vector<int> seen = r.WaitFor(VellSS_STATUS_OTHER_SIP_MESSAGE, 0, 3000);
    EXPECT_EQ(VellSS_STATUS_OTHER_SIP_MESSAGE, seen.back());
}

// The headless driver, as tests and benchmarks use it.
TEST_F(KamailioTest, CliPrintsOneLinePerEvent) {
    std::string cli = QF_CLI_PATH;
    std::string out = Shell("(echo register; sleep 1.5; echo bogus; echo quit) | timeout 20 " + cli +
                          " --server 127.0.0.1 --user 1001 --pin 1234 2>&1");
    EXPECT_NE(out.find("result init 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("result register 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("event 1 REGISTRATION_SUCCESSFUL cid=0 did=0 tid=0 code=0 reason=\"\"\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("result bogus unknown\n"), std::string::npos) << out;
    EXPECT_EQ(out.size() - 4, out.rfind("bye\n")) << out;

    std::string wrong = Shell("(echo register; sleep 1.5; echo quit) | timeout 20 " + cli +
                            " --server 127.0.0.1 --user 1001 --pin 0 2>&1");
    EXPECT_NE(wrong.find("event 2 REGISTRATION_FAILURE"), std::string::npos) << wrong;
    EXPECT_EQ(std::string::npos, wrong.find("event 1 ")) << wrong;
}

// ---------------------------------------------------------------- no server, SIPp

TEST(RegistrationPeerTest, NoServerGivesTimeout) {
    Recorder r;
    auto stack = NewStack(r, std::to_string(FreeUdpPort()));
    ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    EXPECT_EQ((std::vector<int>{3}), r.WaitFor(0, 1, 5000));
}
#endif

struct SippCase {
    const char* name;
    const char* scenario;
    std::vector<int> statuses;
    int waitMs;
};

class SippRegistrarTest : public ::testing::TestWithParam<SippCase> {};

TEST_P(SippRegistrarTest, AnswerGivesStatus) {
    const SippCase& k = GetParam();
    int port = FreeUdpPort();
    std::string log = "/tmp/qf-sipp-" + std::to_string(getpid()) + ".log";
    Child sipp({"sipp", "-sf", kLab + "/sipp/" + k.scenario, "-i", "127.0.0.1", "-p", std::to_string(port), "-m", "1",
                "-nostdin", "-timeout", "60s"},
               log);
    ASSERT_TRUE(sipp.Running());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it bind
    Recorder r;
    auto stack = NewStack(r, std::to_string(port));
    ASSERT_EQ(1, stack->Register("1001", "1001", "1234", 3600, nullptr, nullptr, 0));
    std::vector<int> seen = r.WaitFor(0, k.statuses.size(), k.waitMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    seen = r.WaitFor(0, k.statuses.size() + 1, 0);
    EXPECT_EQ(k.statuses, seen);
    stack.reset();
    sipp.Stop();
    unlink(log.c_str());
}

#ifndef QF_SLOW_INTEROP
INSTANTIATE_TEST_SUITE_P(Registrar, SippRegistrarTest,
                         ::testing::Values(SippCase{"Forbidden", "registrar-403.xml", {3}, 5000},
                                           SippCase{"ChallengeForEver", "registrar-407.xml", {2, 2, 2}, 5000}),
                         [](const auto& info) { return std::string(info.param.name); });
#else
// The transaction gives up after 64*T1 = 32 s without any answer.
INSTANTIATE_TEST_SUITE_P(Registrar, SippRegistrarTest,
                         ::testing::Values(SippCase{"Silent", "registrar-silent.xml", {3}, 40000}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

} // namespace
