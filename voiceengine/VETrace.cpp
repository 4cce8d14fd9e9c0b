#include "voiceengine/VETrace.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace {

// Our own key sequence. 0x75 is left out so that a scrambled newline never
// becomes the "unchanged input" escape.
const uint8_t kKey[VETrace::kKeyLength] = {0x5a, 0x13, 0xc7, 0x2e, 0x91, 0x68, 0x0f, 0xb4, 0x3d, 0xe2, 0x47,
                                           0x7c, 0x19, 0xa6, 0x53, 0xf8, 0x24, 0x8b, 0x6e, 0xd1, 0x32, 0x9f,
                                           0x04, 0xcb, 0x7a, 0x15, 0xe9, 0x40, 0xb7, 0x2c, 0x83};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char* PrefixFormat(int level) {
    switch (level) {
    case VETrace::kInfo: return "INFO     (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kWarning: return "WARNING  (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kError: return "ERROR    (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kCritical: return "CRITICAL (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kMemory: return "MEMORY   (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kTimer: return "TIMER    (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kStream: return "STREAM   (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    case VETrace::kApiCall: return "APICALL  (%2u:%2u:%2u:%2u:%3u |%5lu): ";
    default: return "DEBUG____(%2u:%2u:%2u:%2u:%3u |%5lu): ";
    }
}

} // namespace

VETrace::VETrace() = default;

VETrace::~VETrace() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
}

const char* VETrace::BuildInfo() { return "quarvoFON voice engine 2.4.1, " __DATE__; }

int VETrace::OpenFile(const char* name) {
    std::lock_guard<std::mutex> guard(m_lock);
    return OpenFileLocked(name);
}

int VETrace::OpenFileLocked(const char* name) {
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    if (!name || !*name)
        return -1;
    std::string copy(name, strnlen(name, kMaxFileName));
    m_file = fopen(copy.c_str(), "w+");
    if (!m_file)
        return -1;
    m_fileName = copy;
    m_lines = 0;
    m_keyPos = 0;
    m_lastLineMs = NowMs();
    m_lastApiLineMs = m_lastLineMs;
    WriteHeaderLocked();
    return 0;
}

void VETrace::WriteHeaderLocked() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char date[32];
    char clock[32];
    strftime(date, sizeof date, "%b %d, %Y", &local);
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    fprintf(m_file, "Date: %s\n", date);
    fprintf(m_file, "Time: %s\n\n", clock);
    fprintf(m_file, "Build info: %s\n", BuildInfo());
    fflush(m_file);
}

int VETrace::SetLevelFilter(int bits) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_filter = bits;
    return 0;
}

int VETrace::SetMode(int mode) {
    if (mode != kModeOff && mode != kModeFile && mode != kModeCallback)
        return -1;
    std::lock_guard<std::mutex> guard(m_lock);
    m_mode = mode;
    return 0;
}

int VETrace::SetScrambling(int flag) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_scramble = flag == 1;
    return 0;
}

int VETrace::SetCallback(Callback callback, void* user) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_mode != kModeCallback)
        return -1;
    m_callback = callback;
    m_callbackUser = user;
    return 0;
}

bool VETrace::IsFileOpen() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_file != nullptr;
}

int VETrace::GetMode() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_mode;
}

int VETrace::GetLevelFilter() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_filter;
}

std::string VETrace::GetFileName() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fileName;
}

void VETrace::Print(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintV(level, format, args);
    va_end(args);
}

void VETrace::PrintV(int level, const char* format, va_list args) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_mode == kModeOff)
        return;
    if (m_mode == kModeFile && !m_file)
        return;
    if (m_mode == kModeCallback && !m_callback)
        return;
    if ((m_filter & level) == 0)
        return;

    if (++m_lines > kMaxLinesPerFile) {
        m_lines = 0;
        if (m_mode == kModeFile) {
            std::string name = m_fileName;
            if (OpenFileLocked(name.c_str()) != 0)
                return;
        }
    }

    const int64_t nowMs = NowMs();
    unsigned long since;
    if (level == kApiCall) {
        since = static_cast<unsigned long>(nowMs - m_lastApiLineMs);
        m_lastApiLineMs = nowMs;
    } else {
        since = static_cast<unsigned long>(nowMs - m_lastLineMs);
    }
    m_lastLineMs = nowMs;

    auto wall = std::chrono::system_clock::now();
    time_t secs = std::chrono::system_clock::to_time_t(wall);
    unsigned ms = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000);
    struct tm utc {};
    gmtime_r(&secs, &utc);

    char line[1200];
    int n = snprintf(line, sizeof line, PrefixFormat(level), static_cast<unsigned>(utc.tm_mday),
                     static_cast<unsigned>(utc.tm_hour), static_cast<unsigned>(utc.tm_min),
                     static_cast<unsigned>(utc.tm_sec), ms, since);
    if (n < 0)
        return;
    int room = static_cast<int>(sizeof line) - n;
    int m = vsnprintf(line + n, static_cast<size_t>(room), format, args);
    if (m < 0)
        m = 0;
    int length = n + (m < room ? m : room - 1);

    if (!m_scramble) {
        if (m_mode == kModeFile) {
            fwrite(line, 1, static_cast<size_t>(length), m_file);
            fputc('\n', m_file);
            fflush(m_file);
        } else {
            m_callback(m_callbackUser, line, length);
        }
        return;
    }
    std::string scrambled = Scramble(std::string(line, static_cast<size_t>(length)), m_keyPos);
    if (m_mode == kModeFile) {
        fwrite(scrambled.data(), 1, scrambled.size(), m_file);
        fputc('\n', m_file);
        fflush(m_file);
    } else {
        m_callback(m_callbackUser, scrambled.c_str(), static_cast<int>(scrambled.size()));
    }
}

std::string VETrace::Scramble(const std::string& text, int& pos) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        const uint8_t in = static_cast<uint8_t>(c);
        const uint8_t r = in ^ kKey[pos];
        pos = (pos + 1) % kKeyLength;
        const int sr = static_cast<int8_t>(r);
        if (sr <= 31) {
            out.push_back(1);
            out.push_back(static_cast<char>(static_cast<uint8_t>(127 - sr)));
        } else if (r == 127) {
            out.push_back(2);
            out.push_back(static_cast<char>(in));
        } else {
            out.push_back(static_cast<char>(r));
        }
    }
    return out;
}

bool VETrace::Unscramble(const std::string& scrambled, int& pos, std::string& text) {
    text.clear();
    for (size_t i = 0; i < scrambled.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(scrambled[i]);
        if (b == 1 || b == 2) {
            if (i + 1 >= scrambled.size())
                return false;
            const uint8_t next = static_cast<uint8_t>(scrambled[++i]);
            if (b == 2) {
                text.push_back(static_cast<char>(next));
            } else {
                const int8_t r = static_cast<int8_t>(127 - static_cast<int>(next));
                text.push_back(static_cast<char>(static_cast<uint8_t>(r) ^ kKey[pos]));
            }
        } else {
            text.push_back(static_cast<char>(b ^ kKey[pos]));
        }
        pos = (pos + 1) % kKeyLength;
    }
    return true;
}
