#include <cstring>
#include <sys/wait.h>
#include "platform/SingleInstance.h"
#include "platform/UiThread.h"
#include "platform/UrlOpener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using qf::platform::CSingleInstance;
using qf::platform::CUiThread;
using qf::platform::CUrlOpener;
using qf::platform::HandOverMessage;
using qf::test::TempDir;

namespace {

std::string OwnExeName() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(p.find_last_of('/') + 1);
}

TEST(SingleInstanceTest, OnlyOneOwnerAndTheLockDiesWithIt) {
    TempDir dir;
    auto first = std::make_unique<CSingleInstance>("JUSTTOCHECK", dir.path().string());
    CSingleInstance second("JUSTTOCHECK", dir.path().string());
    EXPECT_TRUE(first->TryBecomeFirst());
    EXPECT_FALSE(second.TryBecomeFirst());
    first.reset();
    EXPECT_TRUE(second.TryBecomeFirst());

    // A crashed owner: the lock file and socket file stay behind, the
    // lock itself does not.
    TempDir crash;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSingleInstance owner("JUSTTOCHECK", crash.path().string());
        if (!owner.TryBecomeFirst() || !owner.StartListening(nullptr)) _exit(1);
        _exit(0); // no destructors: like a crash
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CSingleInstance next("JUSTTOCHECK", crash.path().string());
    EXPECT_TRUE(std::filesystem::exists(next.SocketPath()));
    EXPECT_EQ(0, next.HandOver(OwnExeName(), HandOverMessage{}, 500)); // nobody answers
    ASSERT_TRUE(next.TryBecomeFirst());
    EXPECT_TRUE(next.StartListening([](const HandOverMessage&) { return 5; }));
    int32_t answer = 0;
    CSingleInstance later("JUSTTOCHECK", crash.path().string());
    EXPECT_EQ(1, later.HandOver(OwnExeName(), HandOverMessage{}, 2000, &answer));
    EXPECT_EQ(5, answer);
}

TEST(SingleInstanceTest, HandOverCarriesTheBlockAndTheAnswer) {
    TempDir dir;
    CSingleInstance first("JUSTTOCHECK", dir.path().string());
    ASSERT_TRUE(first.TryBecomeFirst());
    std::vector<HandOverMessage> got;
    ASSERT_TRUE(first.StartListening([&](const HandOverMessage& m) {
        got.push_back(m);
        return static_cast<int32_t>(m.data.size());
    }));
    CSingleInstance second("JUSTTOCHECK", dir.path().string());
    HandOverMessage msg;
    msg.hasData = true;
    msg.dwData = 7;
    msg.data.assign(256, 0);
    std::memcpy(msg.data.data(), "0123", 4);
    int32_t answer = 0;
    EXPECT_EQ(1, second.HandOver(OwnExeName(), msg, 2000, &answer));
    EXPECT_EQ(256, answer);
    EXPECT_EQ(1, second.HandOver(OwnExeName(), HandOverMessage{}, 2000, &answer));
    EXPECT_EQ(0, answer);
    // A running instance under another executable name is not the one.
    EXPECT_EQ(0, second.HandOver("quarvofon-other", msg, 2000, &answer));
    msg.data.resize(CSingleInstance::kMaxData + 1);
    EXPECT_EQ(-1, second.HandOver(OwnExeName(), msg, 2000, &answer));
    first.StopListening();
    ASSERT_EQ(2u, got.size());
    EXPECT_TRUE(got[0].hasData);
    EXPECT_EQ(7u, got[0].dwData);
    EXPECT_STREQ("0123", reinterpret_cast<const char*>(got[0].data.data()));
    EXPECT_FALSE(got[1].hasData);
    EXPECT_FALSE(std::filesystem::exists(first.SocketPath()));
}

TEST(SingleInstanceTest, MalformedRecordsAreDroppedAndTheListenerCarriesOn) {
    TempDir dir;
    CSingleInstance first("JUSTTOCHECK", dir.path().string());
    ASSERT_TRUE(first.TryBecomeFirst());
    std::atomic<int> calls{0};
    ASSERT_TRUE(first.StartListening([&](const HandOverMessage&) { return ++calls; }));
    auto sendRaw = [&](const std::string& bytes) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, first.SocketPath().c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        if (!bytes.empty()) {
            ASSERT_EQ(ssize_t(bytes.size()), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
        }
        shutdown(fd, SHUT_WR);
        char c;
        EXPECT_LE(recv(fd, &c, 1, 0), 0); // closed (or reset) without an answer
        close(fd);
    };
    sendRaw("");
    sendRaw("HELLO");
    sendRaw(std::string("QFHO\x01\x01\0\0\0\0\0\0\xff\xff\xff\x7f", 16)); // absurd size
    sendRaw(std::string("QFHO\x01\x00\0\0\0\0\0\0\x04\0\0\0", 16));      // data without the flag
    sendRaw(std::string("QFHO\x01\x01\0\0\0\0\0\0\x08\0\0\0abc", 19));   // cut short
    sendRaw(std::string("QFHO\x01\x03\0\0\0\0\0\0\x01\0\0\0x", 17));    // notice with data
    EXPECT_EQ(0, calls.load());
    CSingleInstance second("JUSTTOCHECK", dir.path().string());
    EXPECT_EQ(1, second.HandOver(OwnExeName(), HandOverMessage{}, 2000));
    EXPECT_EQ(1, calls.load());
}

TEST(UiThreadTest, TasksPostedFromOtherThreadsRunOnTheOwner) {
    const auto owner = std::this_thread::get_id();
    std::atomic<int> ran{0};
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i)
        posters.emplace_back([&] {
            for (int j = 0; j < 25; ++j)
                CUiThread::Post([&] {
                    EXPECT_EQ(owner, std::this_thread::get_id());
                    ++ran;
                });
        });
    for (auto& t : posters) t.join();
    int total = 0;
    while (total < 100) {
        int n = CUiThread::WaitAndRun(1000);
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(100, ran.load());
    EXPECT_EQ(0, CUiThread::WaitAndRun(10));

    // An installed poster takes over.
    std::vector<CUiThread::Task> captured;
    CUiThread::SetPoster([&](CUiThread::Task t) { captured.push_back(std::move(t)); });
    CUiThread::Post([&] { ++ran; });
    CUiThread::SetPoster(nullptr);
    ASSERT_EQ(1u, captured.size());
    EXPECT_EQ(0, CUiThread::RunPending());
    captured[0]();
    EXPECT_EQ(101, ran.load());
}

TEST(UrlOpenerTest, RefusesAddressesThatCouldBeMisread) {
    std::vector<std::string> opened;
    CUrlOpener::SetOpener([&](const std::string& url) {
        opened.push_back(url);
        return 1;
    });
    EXPECT_EQ(1, CUrlOpener::Open("http://127.0.0.1/shop?a=1&b=2;$(x)"));
    for (const char* bad : {"", "--help", "http://x/\nsecond"}) EXPECT_EQ(-1, CUrlOpener::Open(bad)) << bad;
    CUrlOpener::SetOpener(nullptr);
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ("http://127.0.0.1/shop?a=1&b=2;$(x)", opened[0]);
}

} // namespace
