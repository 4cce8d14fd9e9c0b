#include "voiceengine/SimpleResampler.h"

#include <cmath>
#include <cstring>

namespace {
int16_t Saturate(float v) {
    if (v > 32767.0f)
        return 32767;
    if (v < -32768.0f)
        return -32768;
    return static_cast<int16_t>(std::lround(v));
}
} // namespace

VESimpleResampler::VESimpleResampler() {
    // Low-pass at 3.6 kHz for 48 kHz, Blackman window, unity DC gain.
    const double cutoff = 3600.0 / 48000.0;
    const double centre = (kTaps - 1) / 2.0;
    double sum = 0.0;
    double taps[kTaps];
    for (int i = 0; i < kTaps; ++i) {
        const double x = i - centre;
        const double sinc = x == 0.0 ? 2.0 * cutoff : std::sin(2.0 * M_PI * cutoff * x) / (M_PI * x);
        const double w = 0.42 - 0.5 * std::cos(2.0 * M_PI * i / (kTaps - 1)) + 0.08 * std::cos(4.0 * M_PI * i / (kTaps - 1));
        taps[i] = sinc * w;
        sum += taps[i];
    }
    for (int i = 0; i < kTaps; ++i)
        m_taps[i] = static_cast<float>(taps[i] / sum);
    Reset();
}

void VESimpleResampler::Reset() {
    memset(m_history, 0, sizeof m_history);
    memset(m_upHistory, 0, sizeof m_upHistory);
}

void VESimpleResampler::Down48To8(const int16_t* in, int16_t* out) {
    // m_history holds the last kTaps-1 inputs followed by this block.
    for (int i = 0; i < 480; ++i)
        m_history[kTaps - 1 + i] = in[i];
    for (int o = 0; o < 80; ++o) {
        const float* x = m_history + o * kRatio;
        float acc = 0.0f;
        for (int k = 0; k < kTaps; ++k)
            acc += m_taps[k] * x[kTaps - 1 - k];
        out[o] = Saturate(acc);
    }
    memmove(m_history, m_history + 480, (kTaps - 1) * sizeof(float));
}

void VESimpleResampler::Up8To48(const int16_t* in, int16_t* out) {
    // Polyphase: output phase p of input n uses taps p, p+6, p+12, ...
    constexpr int kPerPhase = kTaps / kRatio;
    for (int i = 0; i < 80; ++i)
        m_upHistory[kPerPhase - 1 + i] = in[i];
    for (int n = 0; n < 80; ++n) {
        const float* x = m_upHistory + n; // x[kPerPhase-1] is the newest input
        for (int p = 0; p < kRatio; ++p) {
            float acc = 0.0f;
            for (int k = 0; k < kPerPhase; ++k)
                acc += m_taps[p + k * kRatio] * x[kPerPhase - 1 - k];
            out[n * kRatio + p] = Saturate(acc * static_cast<float>(kRatio));
        }
    }
    memmove(m_upHistory, m_upHistory + 80, (kPerPhase - 1) * sizeof(float));
}
