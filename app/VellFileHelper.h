#pragma once
// Owner of the portable-mode settings file "Settings.ini": one line of
// upper-case hex digits, the ciphertext (settings-file key) of the 22
// fields written as <Tag>value</Tag> in a fixed order.
//
// LoadSettings fills the record with defaults, then loads the file,
// creating it on first use; SaveSettings rewrites the whole file from the
// record. The file format allows at most 1280 plaintext characters (10240
// hex digits); a save that would exceed that is refused and the old file
// stays as it was. A file that does not decipher or parse is copied to
// "<file>.damaged" before the program goes on with defaults.
#include "app/PortableSettings.h"

#include <string>

class VellFileHelper {
public:
    static constexpr const char* kFileName = "Settings.ini";
    static constexpr size_t kMaxPlainText = 1280;
    static constexpr size_t kValueBufferSize = 255;
    // SaveSettings: the settings do not fit the file format.
    static constexpr int kErrTooLong = -10;

    explicit VellFileHelper(PortableSettings& record = g_PortableSettings) : m_record(record) {}

    // Defaults from appDir (AppPath, ring tone) and the deployment data,
    // then the file. 1 loaded; 0 created on first use or found empty;
    // -1 no name, unreadable file or a tag missing; a negative cipher code
    // when the file does not decipher.
    int LoadSettings(const char* fileName, const std::string& appDir);

    // 0 on success; -1 when the file cannot be written; the cipher's
    // negative code when enciphering fails; kErrTooLong when the
    // plaintext would exceed the format's limit.
    int SaveSettings();

    // 1, or -1 at the first missing tag.
    int ParseSettings(const std::string& text);

    // Finds openTag, then closeTag after it, in the text being parsed; the
    // value between them, trimmed, goes to buffer cut to size - 1
    // characters. Returns the untrimmed length, or -1.
    int GetNextTag(const char* openTag, const char* closeTag, char* buffer, size_t size);

    // The plaintext SaveSettings would encipher.
    std::string BuildPlainText() const;
    void SetDefaults(const std::string& appDir);
    const std::string& FileName() const { return m_fileName; }

private:
    PortableSettings& m_record;
    std::string m_text;     // text being parsed
    std::string m_fileName; // file named at load time
};
