#include "voiceengine/G711.h"

namespace g711 {

namespace {
constexpr int kUlawBias = 0x84;
constexpr int kUlawClip = 32635;

// Position of the highest set bit of a 15-bit magnitude, as a segment.
int Segment(int magnitude, int firstShift) {
    int seg = 0;
    int v = magnitude >> firstShift;
    while (v > 1 && seg < 7) {
        v >>= 1;
        ++seg;
    }
    return seg;
}
} // namespace

uint8_t LinearToUlaw(int16_t sample) {
    int s = sample;
    int sign = 0;
    if (s < 0) {
        s = -s;
        sign = 0x80;
    }
    if (s > kUlawClip)
        s = kUlawClip;
    s += kUlawBias;
    // Segment = position of the top bit above bit 7.
    int seg = Segment(s, 7);
    int mantissa = (s >> (seg + 3)) & 0x0f;
    return static_cast<uint8_t>(~(sign | (seg << 4) | mantissa));
}

int16_t UlawToLinear(uint8_t code) {
    int c = ~code & 0xff;
    int sign = c & 0x80;
    int seg = (c >> 4) & 0x07;
    int mantissa = c & 0x0f;
    int magnitude = ((mantissa << 3) + kUlawBias) << seg;
    magnitude -= kUlawBias;
    return static_cast<int16_t>(sign ? -magnitude : magnitude);
}

uint8_t LinearToAlaw(int16_t sample) {
    int s = sample;
    int sign = 0x80; // A-law marks positive values with the top bit set
    if (s < 0) {
        s = -s - 1;
        sign = 0;
    }
    s >>= 3; // 13-bit magnitude
    if (s > 0x0fff)
        s = 0x0fff;
    uint8_t code;
    if (s < 32) {
        code = static_cast<uint8_t>(s >> 1);
    } else {
        int seg = Segment(s, 5) + 1; // 1..7
        code = static_cast<uint8_t>((seg << 4) | ((s >> seg) & 0x0f));
    }
    return static_cast<uint8_t>((code | sign) ^ 0x55);
}

int16_t AlawToLinear(uint8_t code) {
    int c = code ^ 0x55;
    int sign = c & 0x80;
    int seg = (c >> 4) & 0x07;
    int mantissa = c & 0x0f;
    int magnitude;
    if (seg == 0)
        magnitude = (mantissa << 4) + 8;
    else
        magnitude = ((mantissa << 4) + 0x108) << (seg - 1);
    return static_cast<int16_t>(sign ? magnitude : -magnitude);
}

void EncodeUlaw(const int16_t* in, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = LinearToUlaw(in[i]);
}

void DecodeUlaw(const uint8_t* in, size_t count, int16_t* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = UlawToLinear(in[i]);
}

void EncodeAlaw(const int16_t* in, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = LinearToAlaw(in[i]);
}

void DecodeAlaw(const uint8_t* in, size_t count, int16_t* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = AlawToLinear(in[i]);
}

} // namespace g711
