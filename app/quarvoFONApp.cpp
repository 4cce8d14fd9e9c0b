#include "app/quarvoFONApp.h"

#include "app/Deployment.h"
#include "app/Logger.h"
#include "app/RegistrySettings.h"
#include "app/Trace.h"
#include "app/VellFileHelper.h"
#include "platform/Diagnostics.h"
#include "platform/KeyValueStore.h"
#include "platform/SingleInstance.h"
#include "platform/UiThread.h"
#include "platform/UsbDriveScanner.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using qf::platform::CKeyValueStore;
using qf::platform::CSingleInstance;
using qf::platform::CUiThread;
using qf::platform::HandOverMessage;

namespace {

std::atomic<CquarvoFONApp*> g_app{nullptr};

std::string SelfExePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string DefaultLogDir() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/quarvofon/";
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] ? home : "/tmp") + "/.local/state/quarvofon/";
}

} // namespace

CquarvoFONApp::CquarvoFONApp() { Construct(Options{}); }

CquarvoFONApp::CquarvoFONApp(const Options& options) { Construct(options); }

CquarvoFONApp::~CquarvoFONApp() {
    m_instance.reset();
    CquarvoFONApp* self = this;
    g_app.compare_exchange_strong(self, nullptr);
    qf::platform::SetDiagnosticSink(nullptr);
    CLogger::Exit();
}

CquarvoFONApp* CquarvoFONApp::Instance() { return g_app.load(); }

void CquarvoFONApp::Construct(const Options& options) {
    m_options = options;
    g_app.store(this);

    // 1. The executable and its file system.
    m_strExePath = options.exePath.empty() ? SelfExePath() : options.exePath;
    struct stat st{};
    if (::stat(m_strExePath.c_str(), &st) == 0)
        m_strDrive = std::to_string(::major(st.st_dev)) + ":" + std::to_string(::minor(st.st_dev));

    // 2-3. Portable mode when that file system lies on a USB-attached disk.
    qf::platform::CUsbDriveScanner scanner(options.sysfsRoot, options.mountInfo);
    m_bOnUsbDrive = scanner.IsUsbDrive(m_strExePath) ? 1 : 0;

    // 4. The program directory, up to and including the last separator.
    const size_t slash = m_strExePath.find_last_of('/');
    std::string dir = slash == std::string::npos ? std::string("./") : m_strExePath.substr(0, slash + 1);

    // The log: beside the program in portable mode (nothing is left on the
    // host machine), else in the user's state folder.
    const char* envLog = std::getenv("QF_LOG_FILE");
    m_logPath = !options.logPath.empty() ? options.logPath
                : (envLog && envLog[0]) ? std::string(envLog)
                : (m_bOnUsbDrive ? dir : DefaultLogDir()) + kLogFileName;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(m_logPath).parent_path(), ec);
    CLogger::Open(m_logPath);
    qf::platform::SetDiagnosticSink([](int level, const char* function, const std::string& text) {
        CLogger::Log(level, "", 0, function ? function : "", "%s", text.c_str());
    });

    QF_TRACE("CquarvoFONApp::CquarvoFONApp");
    QF_LOG_DEBUG("Executable %s on device %s, USB disk %d", m_strExePath.c_str(), m_strDrive.c_str(), m_bOnUsbDrive);
    int dep = CDeployment::Load(dir);
    QF_LOG_DEBUG("Deployment data %s", dep == 1 ? CDeployment::FindFile(dir).c_str() : "built in");

    // 5. Settings: the file beside the program, or the user's store.
    if (m_bOnUsbDrive) {
        VellFileHelper helper;
        m_settingsLocation = dir + VellFileHelper::kFileName;
        m_settingsResult = helper.LoadSettings(m_settingsLocation.c_str(), dir);
        std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
        g_PortableSettings.AppPath = dir;
    } else {
        CKeyValueStore& store = options.userStore ? *options.userStore : CKeyValueStore::CurrentUser();
        m_settingsLocation = store.Path();
        CRegistrySettings reg(store);
        m_settingsResult = reg.ReadAppPath(dir);
        if (dir.empty() || dir.back() != '/') dir += '/';
    }
    // 6.
    m_strAppDir = dir;
    QF_LOG_DEBUG("Program directory %s, settings in %s", m_strAppDir.c_str(), m_settingsLocation.c_str());
    QF_LEAVE();
}

bool CquarvoFONApp::InitInstance(int argc, const char* const* argv, const Hooks& hooks) {
    QF_TRACE("CquarvoFONApp::InitInstance");
    m_cmdInfo.ParseCommandLine(argc, argv);

    m_instance = std::make_unique<CSingleInstance>(kInstanceName, m_options.instanceDir);
    if (!m_instance->TryBecomeFirst()) {
        m_firstInstance = false;
        m_bInstanceFound = 0;
        HandOverToRunningInstance();
        QF_LEAVE();
        return false;
    }
    // The lock stays ours for the life of the process; later starts find it.
    m_firstInstance = true;
    if (!m_instance->StartListening([this](const HandOverMessage& msg) { return ReceiveHandOver(msg); }))
        QF_LOG_ERROR("Unable to listen for later instances at %s", m_instance->SocketPath().c_str());

    if (hooks.netInit) hooks.netInit();
    if (hooks.runMainWindow) hooks.runMainWindow(*this);
    if (hooks.netExit) hooks.netExit();
    m_instance->StopListening();
    QF_LEAVE();
    return false;
}

void CquarvoFONApp::HandOverToRunningInstance() {
    QF_TRACE("CquarvoFONApp::HandOverToRunningInstance");
    HandOverMessage msg;
    if (m_cmdInfo.m_bCallTo) {
        msg.hasData = true;
        msg.dwData = 0;
        msg.data.assign(kHandOverSize, 0);
        const std::string number = m_cmdInfo.m_strNumber.substr(0, kHandOverSize - 1);
        std::memcpy(msg.data.data(), number.data(), number.size());
    }
    int32_t answer = 0;
    int r = m_instance->HandOver(m_options.expectedExeName, msg, kHandOverTimeoutMs, &answer);
    if (r == 1) {
        m_bInstanceFound = 1;
        QF_LOG_DEBUG("Handed over to the running instance, answer %d", answer);
    } else {
        QF_LOG_DEBUG("No running instance window found (%d)", r);
    }
    QF_LEAVE();
}

int32_t CquarvoFONApp::ReceiveHandOver(const HandOverMessage& msg) {
    // Runs on the listener thread; the window is only touched on the UI
    // thread, and the sender waits for its answer.
    struct Shared {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        int32_t result = 0;
    };
    auto shared = std::make_shared<Shared>();
    CUiThread::Post([this, shared, msg] {
        int32_t result = 0;
        if (IRunningInstanceWindow* w = m_window.load()) {
            if (msg.dialFromWeb) {
                result = w->OnDialFromWeb();
            } else {
                w->BringToFront();
            result = msg.hasData ? w->OnCopyData(msg.dwData, static_cast<uint32_t>(msg.data.size()), msg.data.data())
                                 : 1;
            }
        }
        std::lock_guard<std::mutex> lk(shared->lock);
        shared->result = result;
        shared->finished = true;
        shared->done.notify_all();
    });
    std::unique_lock<std::mutex> lk(shared->lock);
    if (!shared->done.wait_for(lk, std::chrono::milliseconds(kHandOverTimeoutMs), [&] { return shared->finished; }))
        return -1;
    return shared->result;
}
