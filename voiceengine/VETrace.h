#pragma once
// The engine's own trace: levels, its own line format and file, and an
// optional scrambling of the written text so that casual readers of a
// customer's trace file see nothing. Every component of the engine prints
// through the one trace object its engine owns; with mode 0 (the default)
// a print costs one lock and a compare.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class VETrace {
public:
    enum Level {
        kInfo = 1,
        kWarning = 2,
        kError = 4,
        kCritical = 8,
        kMemory = 16,
        kTimer = 32,
        kStream = 64,
        kApiCall = 128,
        kDebug = 256,
    };
    enum Mode { kModeOff = 0, kModeFile = 2, kModeCallback = 4 };
    enum { kKeyLength = 31, kMaxLinesPerFile = 100000, kMaxFileName = 256 };

    using Callback = void (*)(void* user, const char* text, int length);

    VETrace();
    virtual ~VETrace();

    // Closes any open file and opens (emptying) the named one; writes the
    // header. 0, or -1 without a name or when the file cannot be opened.
    virtual int OpenFile(const char* name);
    virtual int SetLevelFilter(int bits);
    // 0, 2 or 4; other values give -1.
    virtual int SetMode(int mode);
    virtual int SetScrambling(int flag);
    // Only in callback mode; -1 otherwise.
    virtual int SetCallback(Callback callback, void* user);
    virtual bool IsFileOpen() const;
    virtual void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void PrintV(int level, const char* format, va_list args);
    int GetMode() const;
    int GetLevelFilter() const;
    std::string GetFileName() const;

    // Scrambles text with the key sequence starting at position pos (which
    // advances, wrapping at 31). Unscramble reverses it; it returns false on
    // a truncated escape.
    static std::string Scramble(const std::string& text, int& pos);
    static bool Unscramble(const std::string& scrambled, int& pos, std::string& text);

    static const char* BuildInfo();

private:
    int OpenFileLocked(const char* name);
    void WriteHeaderLocked();

    mutable std::mutex m_lock;
    int m_mode = kModeOff;
    int m_filter = 223;
    FILE* m_file = nullptr;
    std::string m_fileName;
    Callback m_callback = nullptr;
    void* m_callbackUser = nullptr;
    bool m_scramble = true;
    int m_keyPos = 0;
    int64_t m_lastLineMs = 0;
    int64_t m_lastApiLineMs = 0;
    unsigned long m_lines = 0;
};
