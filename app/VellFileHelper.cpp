#include "app/VellFileHelper.h"

#include "app/Deployment.h"
#include "app/EncryptDecrypt.h"
#include "app/HexText.h"
#include "app/Trace.h"
#include "platform/MessageBox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

using qf::platform::MsgIcon;
using qf::platform::ShowMessageBox;

PortableSettings g_PortableSettings;

std::recursive_mutex& PortableSettingsLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

enum class Kind { Text, Int };

struct Field {
    const char* tag;
    Kind kind;
    std::string PortableSettings::*text;
    int PortableSettings::*number;
};

// File order.
const Field kFields[] = {
    {"AppPath", Kind::Text, &PortableSettings::AppPath, nullptr},
    {"DialedFromWeb", Kind::Text, &PortableSettings::DialedFromWeb, nullptr},
    {"IsFirstTime", Kind::Int, nullptr, &PortableSettings::IsFirstTime},
    {"LastCheckTS", Kind::Text, &PortableSettings::LastCheckTS, nullptr},
    {"ProxyIp", Kind::Text, &PortableSettings::ProxyIp, nullptr},
    {"ProxyPort", Kind::Text, &PortableSettings::ProxyPort, nullptr},
    {"RingTonePath", Kind::Text, &PortableSettings::RingTonePath, nullptr},
    {"AudioSettings", Kind::Text, &PortableSettings::AudioSettings, nullptr},
    {"AutoLogin", Kind::Int, nullptr, &PortableSettings::AutoLogin},
    {"UserName", Kind::Text, &PortableSettings::UserName, nullptr},
    {"UserPassword", Kind::Text, &PortableSettings::UserPassword, nullptr},
    {"RememberMe", Kind::Int, nullptr, &PortableSettings::RememberMe},
    {"HttpProxyIp", Kind::Text, &PortableSettings::HttpProxyIp, nullptr},
    {"HttpProxyPort", Kind::Int, nullptr, &PortableSettings::HttpProxyPort},
    {"HttpTunnelIp", Kind::Text, &PortableSettings::HttpTunnelIp, nullptr},
    {"HttpUseProxy", Kind::Int, nullptr, &PortableSettings::HttpUseProxy},
    {"HttpUseTunnel", Kind::Int, nullptr, &PortableSettings::HttpUseTunnel},
    {"LogLevel", Kind::Int, nullptr, &PortableSettings::LogLevel},
    {"LogSize", Kind::Int, nullptr, &PortableSettings::LogSize},
    {"SMSRequestPage", Kind::Text, &PortableSettings::SMSRequestPage, nullptr},
    {"SMSServerIp", Kind::Text, &PortableSettings::SMSServerIp, nullptr},
    {"SMSServerPort", Kind::Text, &PortableSettings::SMSServerPort, nullptr},
};

// A copy of a file we could not read, so that the next save (which
// rewrites the whole file from what was loaded) does not lose it for good.
void KeepCopy(const std::string& fileName) {
    std::error_code ec;
    std::filesystem::copy_file(fileName, fileName + ".damaged", std::filesystem::copy_options::overwrite_existing, ec);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

} // namespace

void VellFileHelper::SetDefaults(const std::string& appDir) {
    const DeploymentData d = CDeployment::Current();
    PortableSettings fresh;
    fresh.AppPath = appDir;
    fresh.ProxyIp = d.defaultSipServer;
    fresh.RingTonePath = appDir + "ringin.wav";
    fresh.HttpTunnelIp = d.tunnelServer;
    m_record = fresh;
}

int VellFileHelper::LoadSettings(const char* fileName, const std::string& appDir) {
    QF_TRACE("VellFileHelper::LoadSettings");
    std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
    SetDefaults(appDir);
    if (fileName == nullptr || fileName[0] == '\0' || std::strlen(fileName) > 4095) {
        QF_LOG_ERROR("Invalid settings file name");
        return -1;
    }
    m_fileName = fileName;

    std::FILE* f = std::fopen(m_fileName.c_str(), "r");
    if (f == nullptr) {
        if (errno != ENOENT) {
            // There is a file we may not read: keep the defaults, and do
            // not overwrite what we could not see.
            QF_LOG_ERROR("Unable to open %s errno = %d", m_fileName.c_str(), errno);
            return -1;
        }
        m_record.IsFirstTime = 1;
        int r = SaveSettings();
        m_record.IsFirstTime = 0;
        QF_LEAVE();
        return r;
    }
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    if (size <= 0) {
        std::fclose(f);
        QF_LEAVE();
        return 0;
    }
    // Only the first line counts; a settings file is far below a megabyte.
    const long cap = size < (1L << 20) ? size : (1L << 20);
    std::string line(static_cast<size_t>(cap), '\0');
    size_t got = std::fread(line.data(), 1, line.size(), f);
    std::fclose(f);
    line.resize(got);
    line = line.substr(0, line.find('\n'));
    line = Trim(line);

    CEncryptDecrypt cipher;
    std::string plain;
    int rc;
    if (!CHexText::IsHexString(line) || line.size() / 2 > 0x7FFFFFF0u)
        rc = -3; // not ciphertext at all: damaged hex or an odd digit count
    else
        rc = cipher.Decrypt(CHexText::HexStringToBytes(line), CEncryptDecrypt::kSettingsFileKey, plain);
    if (rc < 0) {
        QF_LOG_ERROR("Unable to decrypt %s nRet = %d", m_fileName.c_str(), rc);
        KeepCopy(m_fileName);
        ShowMessageBox("Unable to decrypt file", "quarvoFON", MsgIcon::Error);
        return rc;
    }
    if (ParseSettings(plain) != 1) {
        KeepCopy(m_fileName);
        ShowMessageBox("Unable to parse settings...", "quarvoFON", MsgIcon::None);
        return -1;
    }
    if (Trim(m_record.HttpProxyIp).empty()) m_record.HttpTunnelIp = CDeployment::Current().tunnelServer;
    QF_LEAVE();
    return 1;
}

int VellFileHelper::ParseSettings(const std::string& text) {
    QF_TRACE("VellFileHelper::ParseSettings");
    std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
    m_text = text;
    for (const Field& field : kFields) {
        const std::string open = std::string("<") + field.tag + ">";
        const std::string close = std::string("</") + field.tag + ">";
        char value[kValueBufferSize];
        if (GetNextTag(open.c_str(), close.c_str(), value, sizeof value) < 0) {
            QF_LOG_ERROR("Unable to find %s %s tag", open.c_str(), close.c_str());
            return -1;
        }
        if (field.kind == Kind::Text)
            m_record.*field.text = value;
        else
            m_record.*field.number = std::atoi(value);
    }
    m_text.clear();
    QF_LEAVE();
    return 1;
}

int VellFileHelper::GetNextTag(const char* openTag, const char* closeTag, char* buffer, size_t size) {
    if (openTag == nullptr || closeTag == nullptr || buffer == nullptr || size == 0) return -1;
    const size_t open = m_text.find(openTag);
    if (open == std::string::npos) return -1;
    const size_t start = open + std::strlen(openTag);
    const size_t close = m_text.find(closeTag, start);
    if (close == std::string::npos) return -1;
    const std::string raw = m_text.substr(start, close - start);
    const std::string value = Trim(raw).substr(0, size - 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<int>(raw.size());
}

std::string VellFileHelper::BuildPlainText() const {
    std::string plain;
    for (const Field& field : kFields) {
        plain += std::string("<") + field.tag + ">";
        plain += field.kind == Kind::Text ? m_record.*field.text : std::to_string(m_record.*field.number);
        plain += std::string("</") + field.tag + ">";
    }
    return plain;
}

int VellFileHelper::SaveSettings() {
    QF_TRACE("VellFileHelper::SaveSettings");
    std::string plain;
    {
        std::lock_guard<std::recursive_mutex> lk(PortableSettingsLock());
        plain = BuildPlainText();
    }
    if (plain.size() > kMaxPlainText) {
        QF_LOG_ERROR("Settings too long to save: %zu characters", plain.size());
        ShowMessageBox("Unable to Save data", "quarvoFON", MsgIcon::Error);
        return kErrTooLong;
    }
    CEncryptDecrypt cipher;
    std::vector<unsigned char> bytes;
    int rc = cipher.Encrypt(plain, CEncryptDecrypt::kSettingsFileKey, bytes);
    if (rc < 0) {
        QF_LOG_ERROR("Unable to encrypt data");
        ShowMessageBox("Unable to Save data", "quarvoFON", MsgIcon::Error);
        return rc;
    }
    const std::string hex = CHexText::MakeHexString(bytes);

    // Written beside the old file and renamed over it, so the file is
    // always either the old settings or the new ones.
    if (m_fileName.empty()) return -1;
    const std::string tmp = m_fileName + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < hex.size()) {
        ssize_t n = ::write(fd, hex.data() + done, hex.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == hex.size() && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), m_fileName.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return -1;
    }
    QF_LEAVE();
    return 0;
}
