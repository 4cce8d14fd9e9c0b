#pragma once
// Test signals and measures for the audio tests and benchmarks: WAV files
// written byte by byte (so tests can make odd ones), a speech-like signal,
// tone detection and segmental SNR.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qf::test {

inline void PutLe16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}
inline void PutLe32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct WavSpec {
    uint16_t formatTag = 1;
    uint16_t channels = 1;
    uint32_t rate = 16000;
    uint16_t bits = 16;
    std::string extraChunkBeforeData; // raw chunk bytes (id, size, body)
    uint16_t fmtExtra = 0;            // extra bytes in the fmt chunk
};

// A WAV file image around raw sample bytes.
inline std::string MakeWav(const WavSpec& w, const std::string& data) {
    std::string fmt;
    PutLe16(fmt, w.formatTag);
    PutLe16(fmt, w.channels);
    PutLe32(fmt, w.rate);
    const uint16_t align = static_cast<uint16_t>(w.channels * std::max<int>(1, w.bits / 8));
    PutLe32(fmt, w.rate * align);
    PutLe16(fmt, align);
    PutLe16(fmt, w.bits);
    if (w.fmtExtra) {
        PutLe16(fmt, static_cast<uint16_t>(w.fmtExtra - 2));
        fmt.append(w.fmtExtra - 2, '\0');
    }
    std::string body = "WAVE";
    body += "fmt ";
    PutLe32(body, static_cast<uint32_t>(fmt.size()));
    body += fmt;
    body += w.extraChunkBeforeData;
    body += "data";
    PutLe32(body, static_cast<uint32_t>(data.size()));
    body += data;
    std::string out = "RIFF";
    PutLe32(out, static_cast<uint32_t>(body.size()));
    return out + body;
}

inline std::string Pcm16Bytes(const std::vector<int16_t>& x) {
    std::string s;
    for (int16_t v : x) PutLe16(s, static_cast<uint16_t>(v));
    return s;
}

inline std::vector<int16_t> Tone(double freq, int rate, int samples, double amplitude = 8000.0) {
    std::vector<int16_t> x(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i)
        x[static_cast<size_t>(i)] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * freq * i / rate));
    return x;
}

// Power of one frequency (Goertzel), normalised by the signal length.
inline double ToneEnergy(const int16_t* x, int n, double freq, int rate) {
    const double w = 2 * M_PI * freq / rate;
    const double c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < n; ++i) {
        const double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return (s1 * s1 + s2 * s2 - c * s1 * s2) / (static_cast<double>(n) * n);
}

inline double Rms(const int16_t* x, int n) {
    double e = 0;
    for (int i = 0; i < n; ++i) e += static_cast<double>(x[i]) * x[i];
    return std::sqrt(e / std::max(1, n));
}

// A voiced, speech-like signal: a harmonic source whose pitch glides
// between about 100 and 220 Hz, shaped by two moving resonances, cut into
// syllables of 150..350 ms with short pauses. Deterministic for a seed.
inline std::vector<int16_t> SpeechLike(int rate, int samples, uint32_t seed = 1) {
    std::vector<int16_t> x(static_cast<size_t>(samples));
    uint32_t r = seed * 2654435761u + 1;
    auto rnd = [&]() {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0;
    };
    double phase = 0;
    int syllableLeft = 0, pauseLeft = 0, syllableLen = 1;
    double f0Base = 140, f1 = 500, f2 = 1500;
    for (int i = 0; i < samples; ++i) {
        if (syllableLeft == 0 && pauseLeft == 0) {
            syllableLen = syllableLeft = static_cast<int>((0.15 + 0.2 * rnd()) * rate);
            pauseLeft = static_cast<int>((0.03 + 0.08 * rnd()) * rate);
            f0Base = 100 + 120 * rnd();
            f1 = 300 + 500 * rnd();
            f2 = 1000 + 1500 * rnd();
        }
        double v = 0;
        if (syllableLeft > 0) {
            const double pos = 1.0 - static_cast<double>(syllableLeft) / syllableLen;
            const double env = std::sin(M_PI * pos);
            const double f0 = f0Base * (1.0 + 0.08 * std::sin(2 * M_PI * pos));
            phase += 2 * M_PI * f0 / rate;
            for (int h = 1; h * f0 < std::min(3800.0, rate * 0.45); ++h) {
                const double f = h * f0;
                const double a = 1.0 / (1.0 + std::pow((f - f1) / 150.0, 2)) + 0.6 / (1.0 + std::pow((f - f2) / 250.0, 2)) +
                                 0.05;
                v += a * std::sin(h * phase) / std::sqrt(h);
            }
            v *= 4000.0 * env;
            --syllableLeft;
        } else {
            --pauseLeft;
        }
        v += (rnd() - 0.5) * 60.0; // a little background noise
        x[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    return x;
}

// G.711 mu-law encoding, for making test packets.
inline uint8_t LinearToUlaw(int16_t sample) {
    int s = sample;
    int sign = 0;
    if (s < 0) {
        sign = 0x80;
        s = -s;
    }
    s = std::min(s, 32635) + 0x84;
    int exponent = 7;
    for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
    const int mantissa = (s >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

// One RTP packet (no CSRC, no extension).
inline std::vector<uint8_t> MakeRtp(int pt, uint16_t seq, uint32_t ts, uint32_t ssrc, const std::vector<uint8_t>& payload,
                                    bool marker = false) {
    std::vector<uint8_t> p = {0x80, static_cast<uint8_t>(pt | (marker ? 0x80 : 0)), static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq), static_cast<uint8_t>(ts >> 24), static_cast<uint8_t>(ts >> 16),
                              static_cast<uint8_t>(ts >> 8), static_cast<uint8_t>(ts), static_cast<uint8_t>(ssrc >> 24),
                              static_cast<uint8_t>(ssrc >> 16), static_cast<uint8_t>(ssrc >> 8), static_cast<uint8_t>(ssrc)};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

// Segmental SNR over frames of frameLen where the reference is active,
// each frame's SNR clamped to -10..35 dB.
inline double SegSnrDb(const int16_t* ref, const int16_t* test, int n, int frameLen, double minRefRms = 100.0) {
    double sum = 0;
    int frames = 0;
    for (int f = 0; f + frameLen <= n; f += frameLen) {
        double es = 0, ee = 0;
        for (int i = f; i < f + frameLen; ++i) {
            es += static_cast<double>(ref[i]) * ref[i];
            const double d = static_cast<double>(ref[i]) - test[i];
            ee += d * d;
        }
        if (std::sqrt(es / frameLen) < minRefRms) continue;
        const double snr = 10 * std::log10((es + 1e-9) / (ee + 1e-9));
        sum += std::clamp(snr, -10.0, 35.0);
        ++frames;
    }
    return frames ? sum / frames : 0.0;
}

} // namespace qf::test
