#include "app/EncryptDecrypt.h"

#include "app/Trace.h"

#include <cstring>
#include <new>

namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr uint32_t kDecipherSum = 0xC6EF3720u; // kDelta * 32, wrapped
constexpr int kCycles = 32;

void PutLe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

int CEncryptDecrypt::SetKey(const char* keyText) {
    if (keyText == nullptr) return -1;
    const size_t len = std::strlen(keyText);
    if (len == 0 || len > static_cast<size_t>(kMaxKeyLength)) return -1;
    unsigned char padded[kMaxKeyLength];
    std::memset(padded, ' ', sizeof padded);
    std::memcpy(padded, keyText, len);
    for (int i = 0; i < 4; ++i) k[i] = GetLe32(padded + 4 * i);
    return 0;
}

void CEncryptDecrypt::SetKeyWords(const uint32_t words[4]) {
    for (int i = 0; i < 4; ++i) k[i] = words[i];
}

void CEncryptDecrypt::EncipherBlock(uint32_t& L, uint32_t& R) const {
    uint32_t sum = 0;
    for (int i = 0; i < kCycles; ++i) {
        sum += kDelta;
        L += ((R << 4) + k[0]) ^ (R + sum) ^ ((R >> 5) + k[1]);
        R += ((L << 4) + k[2]) ^ (L + sum) ^ ((L >> 5) + k[3]);
    }
}

void CEncryptDecrypt::DecipherBlock(uint32_t& L, uint32_t& R) const {
    uint32_t sum = kDecipherSum;
    for (int i = 0; i < kCycles; ++i) {
        R -= ((L << 4) + k[2]) ^ (L + sum) ^ ((L >> 5) + k[3]);
        L -= ((R << 4) + k[0]) ^ (R + sum) ^ ((R >> 5) + k[1]);
        sum -= kDelta;
    }
}

int CEncryptDecrypt::Encrypt(const char* plainText, const char* keyText, unsigned char* outBuffer) {
    QF_TRACE("CEncryptDecrypt::Encrypt");
    const size_t n = plainText ? std::strlen(plainText) : 0;
    if (n == 0) {
        QF_LOG_ERROR("Nothing to encrypt");
        return -1;
    }
    if (SetKey(keyText) != 0) {
        QF_LOG_ERROR("Invalid key");
        return -2;
    }
    // The byte count must fit the int result.
    if (n > 0x1FFFFFF0u) {
        QF_LOG_ERROR("Text too long: %zu", n);
        return -3;
    }
    // Zero-filled working copy; an odd length gains one NUL character.
    unsigned char* work = new (std::nothrow) unsigned char[n + 4]();
    if (work == nullptr) {
        QF_LOG_ERROR("Unable to allocate %zu bytes", n + 4);
        return -3;
    }
    std::memcpy(work, plainText, n);
    const size_t even = (n + 1) & ~static_cast<size_t>(1);
    size_t out = 0;
    for (size_t i = 0; i < even; i += 2) {
        uint32_t L = work[i];
        uint32_t R = work[i + 1];
        EncipherBlock(L, R);
        PutLe32(outBuffer + out, L);
        PutLe32(outBuffer + out + 4, R);
        out += 8;
    }
    delete[] work;
    QF_LEAVE();
    return static_cast<int>(out);
}

int CEncryptDecrypt::Decrypt(const unsigned char* cipherBytes, int length, const char* keyText, char* outText) {
    QF_TRACE("CEncryptDecrypt::Decrypt");
    if (length == 0 || cipherBytes == nullptr) {
        QF_LOG_ERROR("Nothing to decrypt");
        return -1;
    }
    if (SetKey(keyText) != 0) {
        QF_LOG_ERROR("Invalid key");
        return -2;
    }
    if (length < 0 || length % 8 != 0) {
        QF_LOG_ERROR("Invalid length %d", length);
        return -3;
    }
    size_t o = 0;
    bool ended = false;
    for (int i = 0; i < length && !ended; i += 8) {
        uint32_t L = GetLe32(cipherBytes + i);
        uint32_t R = GetLe32(cipherBytes + i + 4);
        DecipherBlock(L, R);
        // Everything from the first NUL on is dropped: the padding of an
        // odd-length text, or the tail of a wrong-key result.
        for (char c : {static_cast<char>(L & 0xFF), static_cast<char>(R & 0xFF)}) {
            if (c == '\0') {
                ended = true;
                break;
            }
            outText[o++] = c;
        }
    }
    outText[o] = '\0';
    QF_LEAVE();
    return 0;
}

int CEncryptDecrypt::Encrypt(const std::string& plainText, const std::string& keyText,
                             std::vector<unsigned char>& out) {
    // The C form stops at a NUL, so does this one.
    const std::string text(plainText.c_str());
    out.assign(4 * (text.size() + 1), 0);
    int n = Encrypt(text.c_str(), keyText.c_str(), out.data());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n;
}

int CEncryptDecrypt::Decrypt(const std::vector<unsigned char>& cipherBytes, const std::string& keyText,
                             std::string& out) {
    out.clear();
    if (cipherBytes.size() > static_cast<size_t>(0x7FFFFFF0)) return -3;
    std::vector<char> buf(cipherBytes.size() / 4 + 1, '\0');
    int r = Decrypt(cipherBytes.empty() ? nullptr : cipherBytes.data(), static_cast<int>(cipherBytes.size()),
                    keyText.c_str(), buf.data());
    if (r == 0) out = buf.data();
    return r;
}
