#include "app/PortableSettings.h"
#include "app/RegistrySettings.h"
#include "app/quarvoFONApp.h"
#include "platform/KeyValueStore.h"
#include "platform/SingleInstance.h"
#include "platform/UiThread.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using qf::platform::CKeyValueStore;
using qf::test::ReadFile;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace fs = std::filesystem;

namespace {

// A temp folder whose file system the fake sysfs calls a USB fixed disk
// (or, with usb false, an internal disk).
struct FakeInstall {
    explicit FakeInstall(bool usb) {
        fs::create_directories(bin);
        WriteFile(exe, "not really a program");
        struct stat st{};
        ::stat(exe.c_str(), &st);
        const std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
        const std::string disk = sys + "/devices/pci0000:00/" + (usb ? "0000:00:14.0/usb2/2-1/host6" : "ata1/host0") + "/block/sdx";
        fs::create_directories(disk + "/sdx1");
        fs::create_directories(sys + "/dev/block");
        WriteFile(disk + "/removable", "0\n");
        WriteFile(disk + "/sdx1/partition", "1\n");
        fs::create_symlink(disk + "/sdx1", sys + "/dev/block/" + number);
    }
    CquarvoFONApp::Options Options(CKeyValueStore& store) const {
        CquarvoFONApp::Options o;
        o.exePath = exe;
        o.sysfsRoot = sys;
        o.mountInfo = dir.file("none");
        o.userStore = &store;
        o.instanceDir = dir.file("run");
        o.logPath = dir.file("q.log");
        return o;
    }
    TempDir dir;
    std::string bin = dir.file("stick/quarvofon");
    std::string exe = bin + "/quarvofon";
    std::string sys = dir.file("sys");
};

TEST(ApplicationStartupTest, UsbDiskSelectsTheSettingsFileBesideTheProgram) {
    unsetenv("QF_DEPLOYMENT_FILE");
    FakeInstall inst(true);
    CKeyValueStore store(inst.dir.file("cfg/registry.store"));
    {
        CquarvoFONApp app(inst.Options(store));
        EXPECT_EQ(1, app.m_bOnUsbDrive);
        EXPECT_EQ(inst.bin + "/", app.m_strAppDir);
        EXPECT_EQ(inst.exe, app.m_strExePath);
        EXPECT_EQ(inst.bin + "/Settings.ini", app.SettingsLocation());
        EXPECT_EQ(0, app.SettingsLoadResult()); // created on first use
        EXPECT_TRUE(fs::exists(inst.bin + "/Settings.ini"));
        EXPECT_EQ(inst.bin + "/", g_PortableSettings.AppPath);
        EXPECT_EQ(0, g_PortableSettings.IsFirstTime);
        EXPECT_EQ(&app, CquarvoFONApp::Instance());
    }
    EXPECT_EQ(nullptr, CquarvoFONApp::Instance());
    EXPECT_FALSE(fs::exists(store.Path())); // the registry stays untouched
    EXPECT_NE(std::string::npos, ReadFile(inst.dir.file("q.log")).find("[CquarvoFONApp::CquarvoFONApp]"));

    // The next start from the stick loads what the first one wrote.
    CquarvoFONApp again(inst.Options(store));
    EXPECT_EQ(1, again.SettingsLoadResult());
}

TEST(ApplicationStartupTest, InternalDiskUsesTheRegistryWhereAStoredAppPathWins) {
    unsetenv("QF_DEPLOYMENT_FILE");
    FakeInstall inst(false);
    CKeyValueStore store(inst.dir.file("cfg/registry.store"));
    {
        CquarvoFONApp app(inst.Options(store));
        EXPECT_EQ(0, app.m_bOnUsbDrive);
        EXPECT_EQ(inst.bin + "/", app.m_strAppDir);
        EXPECT_FALSE(fs::exists(inst.bin + "/Settings.ini"));
    }
    std::string stored;
    ASSERT_EQ(0, store.ReadString(CRegistrySettings::kMainKey, "AppPath", stored));
    EXPECT_EQ(inst.bin + "/", stored);

    // A stored path wins, and gains its separator.
    ASSERT_EQ(0, store.WriteString(CRegistrySettings::kMainKey, "AppPath", "/opt/quarvofon"));
    CquarvoFONApp app(inst.Options(store));
    EXPECT_EQ("/opt/quarvofon/", app.m_strAppDir);
}

// The in-process receiving side, with a fake window.
class FakeWindow : public IRunningInstanceWindow {
public:
    void BringToFront() override { events.push_back("front"); }
    int OnCopyData(uint32_t dwData, uint32_t cbData, const unsigned char* data) override {
        if (cbData != 256) return 0;
        events.push_back("dial " + std::to_string(dwData) + " " + reinterpret_cast<const char*>(data));
        return 1;
    }
    int OnDialFromWeb() override {
        events.push_back("web");
        return 3;
    }
    std::vector<std::string> events;
};

TEST(ApplicationStartupTest, SecondInstanceInProcessHandsOverThroughTheUiThread) {
    FakeInstall inst(false);
    CKeyValueStore store(inst.dir.file("cfg/registry.store"));
    auto opts = inst.Options(store);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    const std::string selfPath(self, static_cast<size_t>(n));
    opts.expectedExeName = selfPath.substr(selfPath.find_last_of('/') + 1);

    CquarvoFONApp first(opts);
    FakeWindow window;
    std::vector<std::string> secondResults;
    CquarvoFONApp::Hooks hooks;
    hooks.runMainWindow = [&](CquarvoFONApp& app) -> int {
        app.SetRunningInstanceWindow(&window);
        // Later starts arrive while this "window" runs its loop.
        std::thread later([&] {
            for (const char* arg : {"callto:" "0123456789", "", "callto:"}) {
                CquarvoFONApp::Options o = opts;
                o.logPath = inst.dir.file("second.log");
                CquarvoFONApp second(o);
                const char* argv[] = {"quarvofon", arg};
                EXPECT_FALSE(second.InitInstance(arg[0] ? 2 : 1, argv, CquarvoFONApp::Hooks{}));
                EXPECT_FALSE(second.IsFirstInstance());
                secondResults.push_back(std::to_string(second.m_bInstanceFound));
            }
            // An outside program's dial-from-web notice.
            qf::platform::CSingleInstance outside(CquarvoFONApp::kInstanceName, opts.instanceDir);
            qf::platform::HandOverMessage notice;
            notice.dialFromWeb = true;
            int32_t answer = 0;
            EXPECT_EQ(1, outside.HandOver(opts.expectedExeName, notice, 5000, &answer));
            secondResults.push_back(std::to_string(answer));
        });
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (window.events.size() < 6 && std::chrono::steady_clock::now() < end)
            qf::platform::CUiThread::WaitAndRun(100);
        later.join();
        app.SetRunningInstanceWindow(nullptr);
        return 0;
    };
    const char* argv[] = {"quarvofon"};
    EXPECT_FALSE(first.InitInstance(1, argv, hooks));
    EXPECT_TRUE(first.IsFirstInstance());
    EXPECT_EQ((std::vector<std::string>{"front", "dial 0 0123456789", "front", "front", "dial 0 ", "web"}),
              window.events);
    EXPECT_EQ((std::vector<std::string>{"1", "1", "1", "3"}), secondResults);
}

// The real program, two processes.
class Program {
public:
    Program(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out) {
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) envStore.push_back(*e);
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&m_pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Program() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        if (Wait(5000) == -2) {
            ::kill(m_pid, SIGKILL);
            Wait(5000);
        }
    }
    // Exit code, -2 on timeout, -1 on a signal.
    int Wait(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (m_pid > 0) {
            int status = 0;
            pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > end) return -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    bool Started() const { return m_pid > 0; }
    void Kill(int sig) {
        if (m_pid > 0) ::kill(m_pid, sig);
    }

private:
    pid_t m_pid = -1;
};

bool WaitForText(const std::string& file, const std::string& text, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (ReadFile(file).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class TwoProcessTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"XDG_RUNTIME_DIR=" + dir.file("run"), "XDG_CONFIG_HOME=" + dir.file("cfg"),
                "QF_LOG_FILE=" + dir.file("q.log"), "QF_HEADLESS_SECONDS=60"};
    }
    void SetUp() override { fs::create_directories(dir.file("run")); }
    TempDir dir;
    const std::string program = std::string(QF_BINARY_DIR) + "/app/quarvofon";
};

TEST_F(TwoProcessTest, SecondStartHandsItsNumberToTheFirstAndExits) {
    const std::string firstOut = dir.file("first.out");
    Program first(program, {}, Env(), firstOut);
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitForText(firstOut, "running as the first instance", 20000)) << ReadFile(firstOut);

    Program second(program, {"CALLTO: 0123 "}, Env(), dir.file("second.out"));
    EXPECT_EQ(0, second.Wait(30000));
    EXPECT_NE(std::string::npos, ReadFile(dir.file("second.out")).find("handed over to it and leaving"));
    EXPECT_TRUE(WaitForText(firstOut, "received callto number 0123 (dwData 0)", 5000)) << ReadFile(firstOut);

    Program third(program, {}, Env(), dir.file("third.out"));
    EXPECT_EQ(0, third.Wait(30000));
    EXPECT_NE(std::string::npos, ReadFile(dir.file("third.out")).find("handed over to it and leaving"));
    ASSERT_TRUE(WaitForText(firstOut, "", 100));
    const std::string text = ReadFile(firstOut);
    EXPECT_EQ(2u, Count(text, "brought the window to the front"));
    EXPECT_EQ(1u, Count(text, "received callto number"));
}

TEST_F(TwoProcessTest, ARunningCopyUnderAnotherNameIsNotFound) {
    const std::string copy = dir.file("quarvoFON-old");
    fs::copy_file(program, copy);
    fs::permissions(copy, fs::perms::owner_all);
    const std::string firstOut = dir.file("first.out");
    Program first(copy, {}, Env(), firstOut);
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitForText(firstOut, "running as the first instance", 20000)) << ReadFile(firstOut);

    Program second(program, {"callto:999"}, Env(), dir.file("second.out"));
    EXPECT_EQ(0, second.Wait(30000));
    EXPECT_NE(std::string::npos, ReadFile(dir.file("second.out")).find("its window was not found, leaving"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(std::string::npos, ReadFile(firstOut).find("brought the window"));
}

TEST_F(TwoProcessTest, AKilledFirstInstanceDoesNotBlockTheNext) {
    {
        Program first(program, {}, Env(), dir.file("first.out"));
        ASSERT_TRUE(WaitForText(dir.file("first.out"), "running as the first instance", 20000));
        // Killed outright: no clean-up of the lock or socket files.
        first.Kill(SIGKILL);
        EXPECT_EQ(-1, first.Wait(5000));
    }
    EXPECT_TRUE(fs::exists(dir.file("run/quarvofon/JUSTTOCHECK.lock")));
    Program next(program, {}, Env(), dir.file("next.out"));
    EXPECT_TRUE(WaitForText(dir.file("next.out"), "running as the first instance", 20000)) << ReadFile(dir.file("next.out"));
}

} // namespace
