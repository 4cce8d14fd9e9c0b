// quarvoFON program entry. Until the phone window is in place the program
// runs its start-up (storage decision, command line, single instance, log)
// with a console stand-in for the window, says what it did, and stays up
// for $QF_HEADLESS_SECONDS seconds (default 0) taking hand-overs from later
// starts, or until it is interrupted.
#include "app/Deployment.h"
#include "app/Logger.h"
#include "app/Trace.h"
#include "app/quarvoFONApp.h"
#include "platform/UiThread.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

class CConsoleWindow : public IRunningInstanceWindow {
public:
    void BringToFront() override {
        std::printf("quarvoFON: a later start brought the window to the front\n");
        std::fflush(stdout);
    }
    int OnCopyData(uint32_t dwData, uint32_t cbData, const unsigned char* data) override {
        // Same rule as the phone window: only the 256-byte block counts.
        if (cbData != CquarvoFONApp::kHandOverSize || data == nullptr) {
            std::printf("quarvoFON: ignored a hand-over of %u bytes\n", cbData);
            std::fflush(stdout);
            return 0;
        }
        const std::string number(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), cbData));
        std::printf("quarvoFON: received callto number %s (dwData %u), dialling it\n", number.c_str(), dwData);
        std::fflush(stdout);
        return 1;
    }
    int OnDialFromWeb() override {
        std::printf("quarvoFON: asked to dial the number stored by a web page\n");
        std::fflush(stdout);
        return 1;
    }
};

int RunConsoleWindow(CquarvoFONApp& app) {
    CConsoleWindow window;
    app.SetRunningInstanceWindow(&window);
    const char* env = std::getenv("QF_HEADLESS_SECONDS");
    const int seconds = env ? std::atoi(env) : 0;
    std::printf("quarvoFON: running as the first instance%s\n",
                seconds > 0 ? (", taking hand-overs for " + std::to_string(seconds) + " s").c_str() : "");
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_stop && std::chrono::steady_clock::now() < end) qf::platform::CUiThread::WaitAndRun(100);
    qf::platform::CUiThread::RunPending();
    app.SetRunningInstanceWindow(nullptr);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    CquarvoFONApp app;
    const DeploymentData d = CDeployment::Current();
    std::printf("quarvoFON: executable %s\n", app.m_strExePath.c_str());
    std::printf("quarvoFON: program directory %s\n", app.m_strAppDir.c_str());
    std::printf("quarvoFON: %s; settings in %s\n",
                app.m_bOnUsbDrive ? "portable mode (USB-attached disk)" : "installed mode (not on a USB disk)",
                app.SettingsLocation().c_str());
    std::printf("quarvoFON: SIP server %s:%d, tunnel %s:%d, web %s:%d\n", d.defaultSipServer.c_str(), d.sipPort,
                d.tunnelServer.c_str(), d.tunnelPort, d.webHost.c_str(), d.webPort);
    std::printf("quarvoFON: log file %s\n", app.LogPath().c_str());
    std::fflush(stdout);

    CquarvoFONApp::Hooks hooks;
    hooks.runMainWindow = RunConsoleWindow;
    app.InitInstance(argc, argv, hooks);

    if (app.m_cmdInfo.IsCallTo())
        std::printf("quarvoFON: command line asks to dial %s\n", app.m_cmdInfo.GetNumber().c_str());
    if (!app.IsFirstInstance())
        std::printf("quarvoFON: another instance is running; %s\n",
                    app.m_bInstanceFound ? "handed over to it and leaving" : "its window was not found, leaving");
    std::printf("quarvoFON: done\n");
    return 0;
}
