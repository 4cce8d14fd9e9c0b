#include "app/RegistrySettings.h"

#include "app/Trace.h"

#include <cstring>

int CRegistrySettings::CreateKey(Store& root, const std::string& parentText, const std::string& name) {
    return root.CreateKey(parentText, name) == 1 ? 1 : -1;
}

int CRegistrySettings::ReadString(Store& root, const std::string& keyText, const std::string& valueName,
                                  char* buffer, size_t size) {
    return root.ReadString(keyText, valueName, buffer, size) == 0 ? 0 : -1;
}

int CRegistrySettings::ReadDWORD(Store& root, const std::string& keyText, const std::string& valueName,
                                 uint32_t& out) {
    return root.ReadDword(keyText, valueName, out) == 0 ? 0 : -1;
}

int CRegistrySettings::ReadBinary(Store& root, const std::string& keyText, const std::string& valueName,
                                  unsigned char* buffer, size_t& inOutSize) {
    return root.ReadBinary(keyText, valueName, buffer, inOutSize) == 0 ? 0 : -1;
}

int CRegistrySettings::WriteString(Store& root, const std::string& keyText, const std::string& valueName,
                                   const std::string& value) {
    return root.WriteString(keyText, valueName, value) == 0 ? 0 : -1;
}

int CRegistrySettings::WriteDWORD(Store& root, const std::string& keyText, const std::string& valueName,
                                  uint32_t value) {
    return root.WriteDword(keyText, valueName, value) == 0 ? 0 : -1;
}

int CRegistrySettings::WriteBinary(Store& root, const std::string& keyText, const std::string& valueName,
                                   const unsigned char* data, size_t size) {
    return root.WriteBinary(keyText, valueName, data, size) == 0 ? 0 : -1;
}

bool CRegistrySettings::ReadNonEmpty(const char* keyText, const char* valueName, std::string& out) {
    char buf[kStringBufferSize];
    if (ReadString(m_root, keyText, valueName, buf, sizeof buf) != 0 || buf[0] == '\0') return false;
    out = buf;
    return true;
}

int CRegistrySettings::ReadIsFirstTime(uint32_t& value) {
    QF_TRACE("CRegistrySettings::ReadIsFirstTime");
    uint32_t v = 0;
    int result = 2;
    if (ReadDWORD(m_root, kMainKey, "IsFirstTime", v) == 0) {
        value = v;
        result = 1;
    }
    if (WriteDWORD(m_root, kMainKey, "IsFirstTime", 0) != 0) {
        QF_LOG_ERROR("Unable to write IsFirstTime");
        return -4;
    }
    QF_LEAVE();
    return result;
}

int CRegistrySettings::WriteLastCheckTS(const std::string& ts) {
    QF_TRACE("CRegistrySettings::WriteLastCheckTS");
    if (WriteString(m_root, kMainKey, "LastCheckTS", ts) != 0) {
        QF_LOG_ERROR("Unable to write LastCheckTS");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadLastCheckTS(std::string& inOut) {
    QF_TRACE("CRegistrySettings::ReadLastCheckTS");
    if (!ReadNonEmpty(kMainKey, "LastCheckTS", inOut) && WriteString(m_root, kMainKey, "LastCheckTS", inOut) != 0) {
        QF_LOG_ERROR("Unable to write LastCheckTS");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadSipServer(std::string& host, std::string& port) {
    QF_TRACE("CRegistrySettings::ReadSipServer");
    std::string storedPort;
    if (ReadNonEmpty(kMainKey, "ProxyPort", storedPort)) {
        port = storedPort;
        char buf[kStringBufferSize];
        if (ReadString(m_root, kMainKey, "ProxyIp", buf, sizeof buf) == 0) host = buf;
        QF_LEAVE();
        return 1;
    }
    CreateKey(m_root, kMainKey, "");
    if (WriteString(m_root, kMainKey, "ProxyPort", port) != 0 || WriteString(m_root, kMainKey, "ProxyIp", host) != 0) {
        QF_LOG_ERROR("Unable to write the SIP server");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadDialedFromWeb(std::string& number, bool& hasNumber) {
    QF_TRACE("CRegistrySettings::ReadDialedFromWeb");
    hasNumber = ReadNonEmpty(kMainKey, "DialedFromWeb", number);
    if (!hasNumber) {
        CreateKey(m_root, kMainKey, "");
        if (WriteString(m_root, kMainKey, "DialedFromWeb", "") != 0) {
            QF_LOG_ERROR("Unable to write DialedFromWeb");
            return -4;
        }
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadAppPath(std::string& inOut) {
    QF_TRACE("CRegistrySettings::ReadAppPath");
    if (!ReadNonEmpty(kMainKey, "AppPath", inOut)) {
        CreateKey(m_root, kMainKey, "");
        if (WriteString(m_root, kMainKey, "AppPath", inOut) != 0) {
            QF_LOG_ERROR("Unable to write AppPath");
            return -4;
        }
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadCodecOrder(std::string& out) {
    QF_TRACE("CRegistrySettings::ReadCodecOrder");
    out = kDefaultAudioSettings;
    char buf[kStringBufferSize];
    if (ReadString(m_root, kCodecKey, "AudioSettings", buf, sizeof buf) == 0) {
        out = buf;
    } else {
        if (CreateKey(m_root, kCodecKey, "") != 1) {
            QF_LOG_ERROR("Unable to create the Codec key");
            return -1;
        }
        if (WriteString(m_root, kCodecKey, "AudioSettings", out) != 0) {
            QF_LOG_ERROR("Unable to write AudioSettings");
            return -2;
        }
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadRingTone(std::string& out, const std::string& appDir) {
    QF_TRACE("CRegistrySettings::ReadRingTone");
    if (ReadNonEmpty(kMainKey, "RingTone", out)) {
        QF_LEAVE();
        return 1;
    }
    CreateKey(m_root, kMainKey, "");
    std::string appPath = appDir;
    ReadNonEmpty(kMainKey, "AppPath", appPath);
    out = appPath + kRingToneFile;
    if (WriteString(m_root, kMainKey, "RingTone", out) != 0) {
        QF_LOG_ERROR("Unable to write RingTone");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::WriteRingTone(const std::string& path) {
    QF_TRACE("CRegistrySettings::WriteRingTone");
    if (WriteString(m_root, kMainKey, "RingTone", path) != 0) {
        QF_LOG_ERROR("Unable to write RingTone");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadHttpSettings(HttpSettings& inOut) {
    QF_TRACE("CRegistrySettings::ReadHttpSettings");
    uint32_t port = 0;
    if (ReadDWORD(m_root, kHttpProxyKey, "HttpProxyPort", port) != 0) {
        CreateKey(m_root, kHttpProxyKey, "");
        if (WriteHttpSettings(inOut) != 1) {
            QF_LOG_ERROR("Unable to write the HTTP settings");
            return -4;
        }
    }
    // A value that fails to read leaves the caller's.
    ReadDWORD(m_root, kHttpProxyKey, "HttpProxyPort", inOut.proxyPort);
    ReadDWORD(m_root, kHttpProxyKey, "HttpUseProxy", inOut.useProxy);
    ReadDWORD(m_root, kHttpProxyKey, "HttpUseTunnel", inOut.useTunnel);
    char buf[kStringBufferSize];
    if (ReadString(m_root, kHttpProxyKey, "HttpProxyIP", buf, sizeof buf) == 0) inOut.proxyIp = buf;
    if (ReadString(m_root, kHttpProxyKey, "HttpTunnelIP", buf, sizeof buf) == 0) inOut.tunnelIp = buf;
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::WriteHttpSettings(const HttpSettings& s) {
    QF_TRACE("CRegistrySettings::WriteHttpSettings");
    if (WriteDWORD(m_root, kHttpProxyKey, "HttpProxyPort", s.proxyPort) != 0 ||
        WriteDWORD(m_root, kHttpProxyKey, "HttpUseTunnel", s.useTunnel) != 0 ||
        WriteDWORD(m_root, kHttpProxyKey, "HttpUseProxy", s.useProxy) != 0 ||
        WriteString(m_root, kHttpProxyKey, "HttpProxyIP", s.proxyIp) != 0 ||
        WriteString(m_root, kHttpProxyKey, "HttpTunnelIP", s.tunnelIp) != 0) {
        QF_LOG_ERROR("Unable to write the HTTP settings");
        return -4;
    }
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::ReadCredentials(Credentials& inOut) {
    QF_TRACE("CRegistrySettings::ReadCredentials");
    char buf[kStringBufferSize];
    if (ReadString(m_root, kConfigKey, "Config1", buf, sizeof buf) == 0) {
        inOut.userName = buf;
    } else {
        if (CreateKey(m_root, kConfigKey, "") != 1) {
            QF_LOG_ERROR("Unable to create the Config key");
            return -1;
        }
        if (WriteCredentials(Credentials{}) != 1) {
            QF_LOG_ERROR("Unable to write empty credentials");
            return -1;
        }
        inOut.userName.clear();
    }
    unsigned char pin[kMaxPasswordBytes];
    size_t size = sizeof pin;
    if (ReadBinary(m_root, kConfigKey, "Config2", pin, size) == 0)
        inOut.password.assign(pin, pin + size);
    else
        inOut.password.clear();
    ReadDWORD(m_root, kConfigKey, "AutoLogin", inOut.autoLogin);
    ReadDWORD(m_root, kConfigKey, "RememberMe", inOut.rememberMe);
    QF_LEAVE();
    return 1;
}

int CRegistrySettings::WriteCredentials(const Credentials& c) {
    QF_TRACE("CRegistrySettings::WriteCredentials");
    if (WriteDWORD(m_root, kConfigKey, "AutoLogin", c.autoLogin) != 0) {
        QF_LOG_ERROR("Unable to write AutoLogin");
        return -2;
    }
    if (WriteDWORD(m_root, kConfigKey, "RememberMe", c.rememberMe) != 0) {
        QF_LOG_ERROR("Unable to write RememberMe");
        return -3;
    }
    if (WriteString(m_root, kConfigKey, "Config1", c.userName) != 0) {
        QF_LOG_ERROR("Unable to write Config1");
        return -4;
    }
    // The stored PIN is at most 255 bytes, the size every reader allows.
    if (c.password.size() > kMaxPasswordBytes ||
        WriteBinary(m_root, kConfigKey, "Config2", c.password.data(), c.password.size()) != 0) {
        QF_LOG_ERROR("Unable to write Config2");
        return -5;
    }
    QF_LEAVE();
    return 1;
}
