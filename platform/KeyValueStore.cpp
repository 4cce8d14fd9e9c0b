#include "platform/KeyValueStore.h"

#include "platform/Diagnostics.h"
#include "platform/FileLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qf::platform {
namespace {

constexpr const char* kHeader = "quarvoFON key/value store 1";

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Percent-escapes bytes that would break the line format: controls
// (including NUL and line ends), '%', DEL, bytes listed in extra, and
// blanks at either end.
std::string Escape(const std::string& in, const char* extra) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        bool edgeBlank = c == ' ' && (i == 0 || i + 1 == in.size());
        if (c < 0x20 || c == 0x7F || c == '%' || edgeBlank || (c != 0 && std::strchr(extra, c) != nullptr)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = HexDigit(in[i + 1]), lo = HexDigit(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string HexOf(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 0x0F];
    }
    return out;
}

bool BytesOfHex(const std::string& text, std::string& out) {
    out.clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

std::string DwordBytes(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

uint32_t DwordOf(const std::string& s) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < s.size(); ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << (8 * i);
    return v;
}

using Key = CKeyValueStore::Key;
using Value = CKeyValueStore::Value;

Key* FindKey(std::vector<Key>& keys, const std::string& normalised) {
    for (auto& k : keys)
        if (EqualsNoCase(k.name, normalised)) return &k;
    return nullptr;
}

Value* FindValue(Key& key, const std::string& name) {
    for (auto& v : key.values)
        if (EqualsNoCase(v.name, name)) return &v;
    return nullptr;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && v[0] == '/') ? std::string(v) : fallback;
}

std::string HomeDir() {
    const char* h = std::getenv("HOME");
    return (h != nullptr && h[0] != '\0') ? std::string(h) : std::string("/tmp");
}

bool EnsureDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

std::string ParentDir(const std::string& path) {
    auto pos = path.find_last_of('/');
    return pos == std::string::npos ? std::string(".") : path.substr(0, pos == 0 ? 1 : pos);
}

} // namespace

CKeyValueStore::CKeyValueStore(std::string filePath) : m_path(std::move(filePath)) {}

CKeyValueStore& CKeyValueStore::CurrentUser() {
    static CKeyValueStore store(DefaultUserStorePath());
    return store;
}

CKeyValueStore& CKeyValueStore::LocalMachine() {
    static CKeyValueStore store(DefaultMachineStorePath());
    return store;
}

std::string CKeyValueStore::DefaultUserStorePath() {
    return EnvOr("XDG_CONFIG_HOME", HomeDir() + "/.config") + "/quarvofon/registry.store";
}

std::string CKeyValueStore::DefaultMachineStorePath() {
    const char* dir = std::getenv("QF_MACHINE_STORE_DIR");
    if (dir != nullptr && dir[0] != '\0') return std::string(dir) + "/machine.store";
    const std::string system = "/var/lib/quarvofon";
    // The folder itself is made by the first write.
    if (::access(system.c_str(), W_OK) == 0 || ::access("/var/lib", W_OK) == 0)
        return system + "/machine.store";
    return EnvOr("XDG_DATA_HOME", HomeDir() + "/.local/share") + "/quarvofon/machine.store";
}

void CKeyValueStore::SetPath(const std::string& filePath) {
    std::lock_guard<std::mutex> lk(m_pathLock);
    m_path = filePath;
}

std::string CKeyValueStore::Path() const {
    std::lock_guard<std::mutex> lk(m_pathLock);
    return m_path;
}

std::string CKeyValueStore::NormaliseKey(const std::string& keyText) {
    // Collapse doubled separators and drop leading/trailing ones, so that
    // "A\B\" + "C" and "A\B\C\" name the same key.
    std::string out;
    for (char c : keyText) {
        if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return out;
}

std::string CKeyValueStore::Serialise(const std::vector<Key>& keys) {
    std::string out = std::string(kHeader) + "\n";
    for (const auto& k : keys) {
        out += "[" + Escape(k.name, "[]") + "]\n";
        for (const auto& v : k.values) {
            const std::string name = Escape(v.name, "=");
            switch (v.type) {
            case ValueType::String: out += "sz " + name + "=" + Escape(v.data, "") + "\n"; break;
            case ValueType::Dword: out += "dword " + name + "=" + std::to_string(DwordOf(v.data)) + "\n"; break;
            case ValueType::Binary: out += "binary " + name + "=" + HexOf(v.data) + "\n"; break;
            }
        }
    }
    return out;
}

bool CKeyValueStore::Parse(const std::string& text, std::vector<Key>& keys) {
    keys.clear();
    size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) return false; // every line ends in a line feed; a cut file does not
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (first) {
            if (line != kHeader) return false;
            first = false;
            continue;
        }
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 2) return false;
            Key k;
            if (!Unescape(line.substr(1, line.size() - 2), k.name)) return false;
            k.name = NormaliseKey(k.name);
            if (k.name.empty() || FindKey(keys, k.name) != nullptr) return false;
            keys.push_back(std::move(k));
            continue;
        }
        if (keys.empty()) return false;
        size_t sp = line.find(' ');
        size_t eq = line.find('=');
        if (sp == std::string::npos || eq == std::string::npos || eq < sp) return false;
        const std::string type = line.substr(0, sp);
        Value v;
        if (!Unescape(line.substr(sp + 1, eq - sp - 1), v.name)) return false;
        const std::string data = line.substr(eq + 1);
        if (type == "sz") {
            v.type = ValueType::String;
            if (!Unescape(data, v.data)) return false;
        } else if (type == "dword") {
            v.type = ValueType::Dword;
            if (data.empty() || data.size() > 10 || data.find_first_not_of("0123456789") != std::string::npos)
                return false;
            unsigned long long n = std::strtoull(data.c_str(), nullptr, 10);
            if (n > 0xFFFFFFFFull) return false;
            v.data = DwordBytes(static_cast<uint32_t>(n));
        } else if (type == "binary") {
            v.type = ValueType::Binary;
            if (!BytesOfHex(data, v.data)) return false;
        } else {
            return false;
        }
        Key& k = keys.back();
        if (FindValue(k, v.name) != nullptr) return false;
        k.values.push_back(std::move(v));
    }
    return !first || text.empty();
}

int CKeyValueStore::Load(const std::string& path, std::vector<Key>& keys) {
    keys.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return -1;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > 16u * 1024 * 1024) break; // not ours: far beyond any settings store
    }
    ::close(fd);
    if (Parse(text, keys)) return 0;

    // Keep the damaged file for inspection and start again from nothing.
    keys.clear();
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmNow);
    std::string aside = path + ".damaged-" + stamp;
    for (int i = 1; std::filesystem::exists(aside) && i < 100; ++i)
        aside = path + ".damaged-" + stamp + "-" + std::to_string(i);
    if (::rename(path.c_str(), aside.c_str()) == 0) {
        ReportDiagnostic(1, "CKeyValueStore::Load",
                         "Settings store " + path + " is damaged; kept as " + aside + ", defaults in use");
        return 0;
    }
    // Cannot move it (read-only folder): report once per file and carry on
    // with defaults; writes will fail the same way.
    static std::mutex reportedLock;
    static std::vector<std::string> reported;
    std::lock_guard<std::mutex> lk(reportedLock);
    for (const auto& p : reported)
        if (p == path) return 0;
    reported.push_back(path);
    ReportDiagnostic(1, "CKeyValueStore::Load", "Settings store " + path + " is damaged and cannot be moved aside");
    return 0;
}

int CKeyValueStore::Store(const std::string& path, const std::vector<Key>& keys) {
    const std::string text = Serialise(keys);
    const std::string tmp = path + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(tmp.c_str());
        return -1;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return -1;
    }
    // Make the rename itself durable.
    int dfd = ::open(ParentDir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

template <typename Fn> int CKeyValueStore::WithLockedFile(bool modify, Fn&& fn) {
    const std::string path = Path();
    if (path.empty()) return -1;
    if (modify && !EnsureDir(ParentDir(path))) return -1;
    CFileLock lock;
    if (!lock.Acquire(path + ".lock", kLockTimeoutMs)) {
        // No lock file possible (missing or read-only folder): reading an
        // existing file unlocked is still better than failing outright.
        if (modify) return -1;
    }
    std::vector<Key> keys;
    if (Load(path, keys) != 0) return -1;
    bool changed = false;
    int r = fn(keys, changed);
    if (r >= 0 && changed && Store(path, keys) != 0) return -1;
    return r;
}

int CKeyValueStore::CreateKey(const std::string& parentText, const std::string& name) {
    std::string full = parentText;
    if (!name.empty()) full += "\\" + name;
    const std::string key = NormaliseKey(full);
    if (key.empty()) return -1;
    int r = WithLockedFile(true, [&](std::vector<Key>& keys, bool& changed) {
        // Parents come into being with their child, as in the registry.
        size_t pos = 0;
        for (;;) {
            size_t next = key.find('\\', pos);
            const std::string part = key.substr(0, next);
            if (FindKey(keys, part) == nullptr) {
                keys.push_back(Key{part, {}});
                changed = true;
            }
            if (next == std::string::npos) break;
            pos = next + 1;
        }
        return 1;
    });
    return r == 1 ? 1 : -1;
}

bool CKeyValueStore::KeyExists(const std::string& keyText) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(false, [&](std::vector<Key>& keys, bool&) { return FindKey(keys, key) ? 1 : 0; }) == 1;
}

int CKeyValueStore::ReadString(const std::string& keyText, const std::string& valueName, char* buffer,
                               size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    std::memset(buffer, 0, size);
    std::string value;
    if (ReadString(keyText, valueName, value, size) != 0) return -1;
    std::memcpy(buffer, value.data(), value.size());
    return 0;
}

int CKeyValueStore::ReadString(const std::string& keyText, const std::string& valueName, std::string& out,
                               size_t size) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(false, [&](std::vector<Key>& keys, bool&) {
        Key* k = FindKey(keys, key);
        Value* v = k ? FindValue(*k, valueName) : nullptr;
        // Room is needed for the terminator, so a value of size bytes or
        // more does not fit and reads as missing.
        if (v == nullptr || v->type != ValueType::String || v->data.size() >= size) return -1;
        out = v->data;
        return 0;
    });
}

int CKeyValueStore::ReadDword(const std::string& keyText, const std::string& valueName, uint32_t& out) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(false, [&](std::vector<Key>& keys, bool&) {
        Key* k = FindKey(keys, key);
        Value* v = k ? FindValue(*k, valueName) : nullptr;
        if (v == nullptr || v->type != ValueType::Dword) return -1;
        out = DwordOf(v->data);
        return 0;
    });
}

int CKeyValueStore::ReadBinary(const std::string& keyText, const std::string& valueName, unsigned char* buffer,
                               size_t& inOutSize) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(false, [&](std::vector<Key>& keys, bool&) {
        Key* k = FindKey(keys, key);
        Value* v = k ? FindValue(*k, valueName) : nullptr;
        if (v == nullptr || v->type != ValueType::Binary || v->data.size() > inOutSize) return -1;
        if (!v->data.empty()) std::memcpy(buffer, v->data.data(), v->data.size());
        inOutSize = v->data.size();
        return 0;
    });
}

int CKeyValueStore::WriteValue(const std::string& keyText, const std::string& valueName, ValueType type,
                               std::string data) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(true, [&](std::vector<Key>& keys, bool& changed) {
        Key* k = FindKey(keys, key);
        if (k == nullptr) return -1; // writes never create keys
        Value* v = FindValue(*k, valueName);
        if (v == nullptr) {
            k->values.push_back(Value{valueName, type, std::move(data)});
        } else {
            v->type = type;
            v->data = std::move(data);
        }
        changed = true;
        return 0;
    });
}

int CKeyValueStore::WriteString(const std::string& keyText, const std::string& valueName, const std::string& value) {
    return WriteValue(keyText, valueName, ValueType::String, value);
}

int CKeyValueStore::WriteDword(const std::string& keyText, const std::string& valueName, uint32_t value) {
    return WriteValue(keyText, valueName, ValueType::Dword, DwordBytes(value));
}

int CKeyValueStore::WriteBinary(const std::string& keyText, const std::string& valueName, const unsigned char* data,
                                size_t size) {
    if (data == nullptr && size != 0) return -1;
    return WriteValue(keyText, valueName, ValueType::Binary,
                      size ? std::string(reinterpret_cast<const char*>(data), size) : std::string());
}

int CKeyValueStore::DeleteValue(const std::string& keyText, const std::string& valueName) {
    const std::string key = NormaliseKey(keyText);
    return WithLockedFile(true, [&](std::vector<Key>& keys, bool& changed) {
        Key* k = FindKey(keys, key);
        if (k == nullptr) return -1;
        for (auto it = k->values.begin(); it != k->values.end(); ++it)
            if (EqualsNoCase(it->name, valueName)) {
                k->values.erase(it);
                changed = true;
                return 0;
            }
        return -1;
    });
}

} // namespace qf::platform
