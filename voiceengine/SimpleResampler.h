#pragma once
// Fixed-ratio conversion between the device rate (48000 Hz) and the codec
// rate (8000 Hz): a windowed-sinc low-pass, decimating 6:1 on the capture
// side and interpolating 1:6 on the playout side. One object per direction
// and stream, since each keeps its filter history.
#include <cstdint>

class VESimpleResampler {
public:
    enum { kTaps = 48, kRatio = 6 };

    VESimpleResampler();
    void Reset();
    // 480 samples at 48000 Hz in, 80 samples at 8000 Hz out.
    void Down48To8(const int16_t* in, int16_t* out);
    // 80 samples at 8000 Hz in, 480 samples at 48000 Hz out.
    void Up8To48(const int16_t* in, int16_t* out);

private:
    float m_taps[kTaps];
    float m_history[kTaps + 480];
    float m_upHistory[kTaps / kRatio + 80];
};
