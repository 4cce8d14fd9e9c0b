#pragma once
// Hex text form of ciphertext: two upper-case digits per byte, high nibble
// first. The HTTP client class exposes these as its own statics; everyone
// who stores or sends ciphertext as text uses them.
#include <cstddef>
#include <string>
#include <vector>

class CHexText {
public:
    // Writes 2 * n upper-case hex digits to out (no terminator) and returns
    // 2 * n.
    static int MakeHexString(const unsigned char* bytes, int n, char* out);

    // Turns pairs of hex digits ("0".."9", "A".."F", "a".."f") into bytes;
    // returns the number of bytes written. A trailing odd digit is ignored;
    // a character that is not a hex digit counts as 0. At most outSize
    // bytes are written.
    static int HexStringToBytes(const char* hex, unsigned char* out, size_t outSize);

    // True when text is a non-empty, even-length run of hex digits only.
    static bool IsHexString(const std::string& text);

    static std::string MakeHexString(const std::vector<unsigned char>& bytes);
    static std::vector<unsigned char> HexStringToBytes(const std::string& hex);
};
