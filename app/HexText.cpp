#include "app/HexText.h"

#include <cstring>

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

int CHexText::MakeHexString(const unsigned char* bytes, int n, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    if (bytes == nullptr || out == nullptr || n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return 2 * n;
}

int CHexText::HexStringToBytes(const char* hex, unsigned char* out, size_t outSize) {
    if (hex == nullptr || out == nullptr) return 0;
    const size_t pairs = std::strlen(hex) / 2;
    size_t n = 0;
    for (; n < pairs && n < outSize; ++n) {
        int hi = DigitValue(hex[2 * n]);
        int lo = DigitValue(hex[2 * n + 1]);
        out[n] = static_cast<unsigned char>(16 * (hi < 0 ? 0 : hi) + (lo < 0 ? 0 : lo));
    }
    return static_cast<int>(n);
}

bool CHexText::IsHexString(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) return false;
    for (char c : text)
        if (DigitValue(c) < 0) return false;
    return true;
}

std::string CHexText::MakeHexString(const std::vector<unsigned char>& bytes) {
    std::string out(2 * bytes.size(), '\0');
    if (!bytes.empty()) MakeHexString(bytes.data(), static_cast<int>(bytes.size()), out.data());
    return out;
}

std::vector<unsigned char> CHexText::HexStringToBytes(const std::string& hex) {
    std::vector<unsigned char> out(hex.size() / 2);
    out.resize(static_cast<size_t>(HexStringToBytes(hex.c_str(), out.data(), out.size())));
    return out;
}
