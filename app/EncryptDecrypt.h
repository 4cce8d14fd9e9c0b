#pragma once
// The program's cipher: TEA (64-bit block, 128-bit key, 32 cycles) with a
// 16-character text key, where every block carries only two characters of
// the text, each widened to a 32-bit word. An n-character text becomes
// 8 * ceil(n / 2) bytes of ciphertext. There is no integrity check: the
// wrong key deciphers to garbage, not to an error.
//
// Ciphertext is raw bytes; callers that store or send it as text use the
// hex helpers in HexText.h.
#include <cstdint>
#include <string>
#include <vector>

class CEncryptDecrypt {
public:
    // The three keys the program uses.
    static constexpr const char* kSettingsFileKey = "OrrelVusKe358264"; // Settings.ini
    static constexpr const char* kServiceKey = "plumbwise@kv";          // stored PIN, service messages
    static constexpr const char* kTunnelKey = "t58nu6w3eK396158";       // tunnel credentials

    static constexpr int kMaxKeyLength = 16;

    CEncryptDecrypt() = default;
    virtual ~CEncryptDecrypt() = default;

    // Enciphers the NUL-terminated plainText into outBuffer, which must hold
    // at least 4 * (strlen(plainText) + 1) bytes. Returns the number of bytes
    // written; -1 for an empty text, -2 for a key that is not 1..16
    // characters, -3 when working memory cannot be obtained.
    int Encrypt(const char* plainText, const char* keyText, unsigned char* outBuffer);

    // Deciphers length bytes into outText (room for length / 4 + 1 bytes),
    // NUL-terminated and cut at the first NUL. Returns 0; -1 when length is
    // 0, -2 for a bad key, -3 when length is not a multiple of 8.
    int Decrypt(const unsigned char* cipherBytes, int length, const char* keyText, char* outText);

    // Loads the key (blank-padded to 16 characters, little-endian words).
    // 0, or -1 for an empty key or one longer than 16 characters.
    int SetKey(const char* keyText);

    // Loads the four key words directly (block-level use).
    void SetKeyWords(const uint32_t words[4]);

    // One TEA block in place with the current key.
    void EncipherBlock(uint32_t& L, uint32_t& R) const;
    void DecipherBlock(uint32_t& L, uint32_t& R) const;

    // Convenience forms over std::string / std::vector with the same result
    // codes (Encrypt returns the byte count, Decrypt 0).
    int Encrypt(const std::string& plainText, const std::string& keyText, std::vector<unsigned char>& out);
    int Decrypt(const std::vector<unsigned char>& cipherBytes, const std::string& keyText, std::string& out);

private:
    uint32_t k[4] = {0, 0, 0, 0};
};
