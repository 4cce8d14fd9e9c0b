#pragma once
// The application object: built once, before anything else. Its
// constructor finds the program, decides portable mode (the executable on
// a USB-attached fixed disk) and with it where the settings live, opens
// the log and loads the deployment data. InitInstance parses the command
// line, makes sure only one instance runs (a later one hands its callto
// number to the running one and ends) and runs the main window.
#include "app/CommandLineArgument.h"
#include "app/RunningInstanceWindow.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace qf::platform {
class CKeyValueStore;
class CSingleInstance;
struct HandOverMessage;
} // namespace qf::platform

class CquarvoFONApp {
public:
    // The name the running instance's executable must have to be found.
    static constexpr const char* kExecutableName = "quarvofon";
    // Name of the single-instance lock.
    static constexpr const char* kInstanceName = "JUSTTOCHECK";
    static constexpr const char* kLogFileName = "quarvoFON.log";
    // Size of the hand-over block that carries the callto number.
    static constexpr uint32_t kHandOverSize = 256;
    // Longest wait for the running instance to take a hand-over.
    static constexpr int kHandOverTimeoutMs = 15000;

    // Where things are; every field has a real default. Tests replace them.
    struct Options {
        std::string exePath;                          // "" = this process's executable
        std::string sysfsRoot = "/sys";
        std::string mountInfo = "/proc/self/mountinfo";
        qf::platform::CKeyValueStore* userStore = nullptr; // null = the current user's store
        std::string instanceDir;                      // "" = the user's runtime folder
        std::string expectedExeName = kExecutableName;
        std::string logPath;                          // "" = $QF_LOG_FILE or the default place
    };

    // What InitInstance needs from the rest of the program.
    struct Hooks {
        std::function<int()> netInit;                  // shared HTTP handle; result ignored
        std::function<void()> netExit;
        std::function<int(CquarvoFONApp&)> runMainWindow; // modal; result ignored
    };

    CquarvoFONApp();
    explicit CquarvoFONApp(const Options& options);
    ~CquarvoFONApp();
    CquarvoFONApp(const CquarvoFONApp&) = delete;
    CquarvoFONApp& operator=(const CquarvoFONApp&) = delete;

    // The application object of this process (the last one built).
    static CquarvoFONApp* Instance();

    // The start-up sequence; always returns false, so the process ends
    // when it returns.
    bool InitInstance(int argc, const char* const* argv, const Hooks& hooks);

    // The main window registers itself to receive hand-overs (null when it
    // goes away). Hand-overs run on the UI thread.
    void SetRunningInstanceWindow(IRunningInstanceWindow* window) { m_window.store(window); }

    std::string m_strAppDir;  // program directory, always ending in '/'
    std::string m_strExePath; // full path of the executable
    std::string m_strDrive;   // block device of the executable's file system ("major:minor")
    int m_bOnUsbDrive = 0;    // portable mode
    int m_bInstanceFound = 0; // a later start found the running instance
    CCommandLineArgument m_cmdInfo;

    // What start-up decided, for the program to report.
    bool IsFirstInstance() const { return m_firstInstance; }
    std::string LogPath() const { return m_logPath; }
    std::string SettingsLocation() const { return m_settingsLocation; }
    int SettingsLoadResult() const { return m_settingsResult; }

private:
    void Construct(const Options& options);
    int32_t ReceiveHandOver(const qf::platform::HandOverMessage& msg);
    void HandOverToRunningInstance();

    Options m_options;
    std::unique_ptr<qf::platform::CSingleInstance> m_instance;
    std::atomic<IRunningInstanceWindow*> m_window{nullptr};
    bool m_firstInstance = false;
    std::string m_logPath;
    std::string m_settingsLocation;
    int m_settingsResult = 0;
};
