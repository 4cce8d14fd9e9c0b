#pragma once
// The program's settings in the current user's key/value store (registry
// mode). Key texts, value names and types are those the program has always
// used, so an outside program that writes DialedFromWeb finds them.
//
// The rule that runs through this class: a setting-level read that finds
// its value missing writes the default (or the caller's current value)
// back, so after one run every value exists.
//
// Results: the primitives return 1/-1 (create) or 0/-1 (read, write);
// the setting-level operations 1 (or 2) on success and a negative code on
// failure, as documented per operation.
#include "platform/KeyValueStore.h"

#include <cstdint>
#include <string>
#include <vector>

class CRegistrySettings {
public:
    static constexpr const char* kMainKey = "Software\\quarvoFON\\quarvoFON\\";
    static constexpr const char* kCodecKey = "Software\\quarvoFON\\quarvoFON\\Codec\\";
    static constexpr const char* kConfigKey = "Software\\quarvoFON\\quarvoFON\\Config\\";
    static constexpr const char* kHttpProxyKey = "Software\\quarvoFON\\quarvoFON\\HttpProxy\\";
    static constexpr const char* kDefaultAudioSettings = "0,8,97,100,101,102,103,";
    static constexpr const char* kDefaultProxyPort = "5060";
    static constexpr const char* kRingToneFile = "ringin.wav";
    // String reads use a zero-filled buffer of this size; longer values
    // read as missing.
    static constexpr size_t kStringBufferSize = 255;
    static constexpr size_t kMaxPasswordBytes = 255;

    using Store = qf::platform::CKeyValueStore;

    explicit CRegistrySettings(Store& root = Store::CurrentUser()) : m_root(root) {}

    // Primitives (root is always the current user's store in the program).
    static int CreateKey(Store& root, const std::string& parentText, const std::string& name);
    static int ReadString(Store& root, const std::string& keyText, const std::string& valueName, char* buffer,
                          size_t size);
    static int ReadDWORD(Store& root, const std::string& keyText, const std::string& valueName, uint32_t& out);
    static int ReadBinary(Store& root, const std::string& keyText, const std::string& valueName,
                          unsigned char* buffer, size_t& inOutSize);
    static int WriteString(Store& root, const std::string& keyText, const std::string& valueName,
                           const std::string& value);
    static int WriteDWORD(Store& root, const std::string& keyText, const std::string& valueName, uint32_t value);
    static int WriteBinary(Store& root, const std::string& keyText, const std::string& valueName,
                           const unsigned char* data, size_t size);

    struct HttpSettings {
        uint32_t proxyPort = 0;
        uint32_t useProxy = 0;
        uint32_t useTunnel = 0;
        std::string proxyIp;
        std::string tunnelIp;
    };

    struct Credentials {
        std::string userName;                // Config1
        std::vector<unsigned char> password; // Config2: enciphered PIN bytes, not hex
        uint32_t autoLogin = 0;
        uint32_t rememberMe = 0;
    };

    // 1 with value when present, 2 (value untouched) when absent; then
    // always stores 0; -4 when that write fails.
    int ReadIsFirstTime(uint32_t& value);
    int WriteLastCheckTS(const std::string& ts);
    // inOut: the caller's current text, written when nothing is stored.
    int ReadLastCheckTS(std::string& inOut);
    // host and port: the caller's defaults in, the stored values out.
    int ReadSipServer(std::string& host, std::string& port);
    // hasNumber tells whether a number was stored.
    int ReadDialedFromWeb(std::string& number, bool& hasNumber);
    int ReadAppPath(std::string& inOut);
    // 1 with the stored order or the default; -1 / -2 when the Codec key or
    // the default cannot be written.
    int ReadCodecOrder(std::string& out);
    // appDir: used for the default when AppPath itself is not stored.
    int ReadRingTone(std::string& out, const std::string& appDir = "");
    int WriteRingTone(const std::string& path);
    int ReadHttpSettings(HttpSettings& inOut);
    int WriteHttpSettings(const HttpSettings& settings);
    int ReadCredentials(Credentials& inOut);
    int WriteCredentials(const Credentials& c);

private:
    // Reads a string value; true when present and non-empty.
    bool ReadNonEmpty(const char* keyText, const char* valueName, std::string& out);

    Store& m_root;
};
