#pragma once
// A registry-like key/value store kept in one text file.
//
// Keys are texts such as "Software\quarvoFON\quarvoFON\Codec\" (a trailing
// backslash is optional; key and value names compare case-insensitively,
// as the registry does). Each key holds named values of three types:
// string, DWORD and binary. Creating a key creates its parents; writes
// never create keys, so a write to a missing key fails.
//
// Every operation takes an exclusive file lock, reads the file, and for a
// change writes a new file beside it and renames it over the old one, so
// a crash never leaves a half-written store and two processes writing at
// once lose nothing. A file that cannot be parsed is reported once, moved
// aside as "<file>.damaged-<time>", and the store starts empty, so every
// setting falls back to its default.
//
// Two process-wide stores exist: the current user's (under
// $XDG_CONFIG_HOME/quarvofon) and the machine-wide one for the voice
// engine's version record (under $QF_MACHINE_STORE_DIR, else
// /var/lib/quarvofon when writable, else the user's data folder).
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qf::platform {

enum class ValueType { String, Dword, Binary };

class CKeyValueStore {
public:
    explicit CKeyValueStore(std::string filePath);

    static CKeyValueStore& CurrentUser();
    static CKeyValueStore& LocalMachine();
    static std::string DefaultUserStorePath();
    static std::string DefaultMachineStorePath();

    // Points the store at another file (tests, or a new $XDG_CONFIG_HOME).
    void SetPath(const std::string& filePath);
    std::string Path() const;

    // Creates (or opens) the key parentText followed by name; an empty
    // name means the parent itself. 1 on success, -1 on failure.
    int CreateKey(const std::string& parentText, const std::string& name);
    bool KeyExists(const std::string& keyText);

    // Reads: 0 on success, -1 when the key or value is missing, has another
    // type, or does not fit.
    //
    // A string fits when it is shorter than size, so the buffer always
    // ends in a NUL; the buffer is zero-filled first.
    int ReadString(const std::string& keyText, const std::string& valueName, char* buffer, size_t size);
    int ReadString(const std::string& keyText, const std::string& valueName, std::string& out,
                   size_t size = 255);
    int ReadDword(const std::string& keyText, const std::string& valueName, uint32_t& out);
    // inOutSize: room in buffer on entry, bytes stored on success.
    int ReadBinary(const std::string& keyText, const std::string& valueName, unsigned char* buffer,
                   size_t& inOutSize);

    // Writes: 0 on success, -1 on failure (missing key, file trouble).
    int WriteString(const std::string& keyText, const std::string& valueName, const std::string& value);
    int WriteDword(const std::string& keyText, const std::string& valueName, uint32_t value);
    int WriteBinary(const std::string& keyText, const std::string& valueName, const unsigned char* data,
                    size_t size);
    int DeleteValue(const std::string& keyText, const std::string& valueName);

    // Longest wait for another process's lock, in milliseconds.
    static constexpr int kLockTimeoutMs = 5000;

    struct Value {
        std::string name;
        ValueType type = ValueType::String;
        std::string data; // raw bytes; a DWORD as 4 little-endian bytes
    };
    struct Key {
        std::string name; // normalised: no trailing backslash
        std::vector<Value> values;
    };

    // The text form of the file (exposed for tests and tools).
    static std::string Serialise(const std::vector<Key>& keys);
    // false when the text is not a store file.
    static bool Parse(const std::string& text, std::vector<Key>& keys);
    static std::string NormaliseKey(const std::string& keyText);

private:
    template <typename Fn> int WithLockedFile(bool modify, Fn&& fn);
    int Load(const std::string& path, std::vector<Key>& keys);
    int Store(const std::string& path, const std::vector<Key>& keys);
    int WriteValue(const std::string& keyText, const std::string& valueName, ValueType type, std::string data);

    mutable std::mutex m_pathLock;
    std::string m_path;
};

} // namespace qf::platform
