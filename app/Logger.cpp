#include "app/Logger.h"

#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

// The lock exists from program start; everything else is guarded by it,
// except the level and open tests, which are deliberately made before
// taking it so that a filtered call costs one comparison.
std::mutex g_lock;
std::FILE* g_file = nullptr;
std::atomic<bool> g_open{false};
std::string g_fileName;
std::atomic<int> g_threshold{7};
std::atomic<long> g_sizeLimit{1048576};

} // namespace

const char* CLogger::LevelName(int level) {
    switch (level) {
    case LEVEL_ERROR: return "LOG_ERROR";
    case LEVEL_WARNING: return "LOG_WARNING";
    case LEVEL_DEBUG: return "LOG_DEBUG";
    case LEVEL_INFO: return "LOG_INFO";
    default: return "Unknown";
    }
}

int CLogger::Log(int level, const char* module, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = LogV(level, module, line, function, format, args);
    va_end(args);
    return r;
}

int CLogger::LogV(int level, const char* module, int line, const char* function, const char* format,
                  va_list args) {
    if (level > g_threshold.load(std::memory_order_relaxed)) return 1;
    if (!g_open.load(std::memory_order_acquire)) return 2;

    std::unique_lock<std::mutex> lk(g_lock);
    if (g_file == nullptr) return 2; // closed by a failed rotation or Exit meanwhile
    if (IsNewLogFileRequired() == 1 && RotateLogFile() != 1) {
        std::printf("[%s][%s][%d] RotateLogFile failed\n", ".\\Logger", "CLogger::Log", 111);
        return -1;
    }

    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &tmNow) == nullptr) {
        // The lock goes first: whoever shows the box may well log.
        lk.unlock();
        qf::platform::ShowMessageBox("Invalid date", "quarvoFON", qf::platform::MsgIcon::Error);
        return -2;
    }
    char stamp[256];
    std::strftime(stamp, sizeof stamp, "%d-%m-%y %H:%M:%S", &tmNow);

    std::fprintf(g_file, "[%s][%s][%s][%s][%d] ", stamp, LevelName(level), module ? module : "",
                 function ? function : "", line);
    std::vfprintf(g_file, format, args);
    std::fputs("\n", g_file);
    std::fflush(g_file);
    return 1;
}

int CLogger::IsNewLogFileRequired() {
    if (g_file == nullptr) return 0;
    long pos = std::ftell(g_file);
    std::fseek(g_file, 0, SEEK_END);
    long size = std::ftell(g_file);
    std::fseek(g_file, pos, SEEK_SET);
    long limit = g_sizeLimit.load();
    if (size >= limit) {
        std::printf("[%s][%s][%d]%ld >= %ld\n", ".\\Logger", "CLogger::IsNewLogFileRequired", 264, size, limit);
        return 1;
    }
    return 0;
}

int CLogger::RotateLogFile() {
    if (g_file != nullptr) {
        int rc = std::fclose(g_file);
        g_file = nullptr;
        g_open.store(false, std::memory_order_release);
        if (rc != 0) {
            std::printf("########### Unable to close log file %s #############\n", g_fileName.c_str());
            return -1;
        }
    }
    std::string old = g_fileName.substr(0, 251) + ".old";
    std::remove(old.c_str());
    std::rename(g_fileName.c_str(), old.c_str());
    std::printf("########### Create new log file %s #############\n", g_fileName.c_str());
    g_file = std::fopen(g_fileName.c_str(), "a");
    if (g_file == nullptr) {
        std::printf("[%s][%s][%d] Unable to open log file %s\n", ".\\Logger", "CLogger::RotateLogFile", 236,
                    g_fileName.c_str());
        return -1;
    }
    g_open.store(true, std::memory_order_release);
    return 1;
}

void CLogger::Exit() {
    std::printf("[%s][%s][%d] Entering\n", ".\\Logger", "CLogger::Exit", 38);
    std::printf("[%s][%s][%d] Shutting down log system.\n", ".\\Logger", "CLogger::Exit", 39);
    std::printf("[%s][%s][%d] Leaving\n", ".\\Logger", "CLogger::Exit", 45);
    // Unlike the original design we do take the lock here: closing the
    // stream under a writer on another thread would be a use after free.
    std::lock_guard<std::mutex> lk(g_lock);
    g_open.store(false, std::memory_order_release);
    if (g_file != nullptr) {
        std::fclose(g_file);
        g_file = nullptr;
    }
}

int CLogger::Open(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_file != nullptr) {
        std::fclose(g_file);
        g_file = nullptr;
    }
    g_open.store(false, std::memory_order_release);
    g_fileName = path.substr(0, 255);
    g_file = std::fopen(g_fileName.c_str(), "a");
    if (g_file == nullptr) return -1;
    g_open.store(true, std::memory_order_release);
    return 1;
}

void CLogger::SetLevel(int threshold) { g_threshold.store(threshold); }
int CLogger::GetLevel() { return g_threshold.load(); }
void CLogger::SetSizeLimit(long bytes) { g_sizeLimit.store(bytes); }
long CLogger::GetSizeLimit() { return g_sizeLimit.load(); }
bool CLogger::IsOpen() { return g_open.load(); }
std::string CLogger::GetFileName() {
    std::lock_guard<std::mutex> lk(g_lock);
    return g_fileName;
}
