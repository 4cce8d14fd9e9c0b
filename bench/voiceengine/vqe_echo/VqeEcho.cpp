// Plays a speech-like far end through the playout mixer (delivered at
// 48 kHz as to the sound card), sends it through a simulated room (delay,
// attenuation, a decaying reflection tail, a little noise) back into the
// microphone, and runs the microphone through the capture side with echo
// control on. Prints the echo return loss enhancement after convergence:
//   erle_db = 10 log10(echo power at the microphone / power after echo control)
//
// Usage: vqe_echo [--seconds N] [--delay-ms D]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/TestSignals.h"
#include "voiceengine/Mixer.h"
#include "voiceengine/TxDemux.h"
#include "voiceengine/Vqe.h"

using namespace qf::test;

namespace {

class FarEnd : public MixerParticipant {
public:
    explicit FarEnd(std::vector<int16_t> s) : m_s(std::move(s)) {}
    int GetAudio10ms(int16_t* out, int& samples) override {
        samples = 160;
        for (int i = 0; i < 160; ++i) out[i] = m_pos < m_s.size() ? m_s[m_pos++] : 0;
        return 0;
    }

private:
    std::vector<int16_t> m_s;
    size_t m_pos = 0;
};

} // namespace

int main(int argc, char** argv) {
    int seconds = 20, delayMs = 80;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(8, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--delay-ms") == 0) delayMs = std::atoi(argv[++i]);
    }
    const int convergeBlocks = 500; // measure after 5 s

    VQE vqe;
    if (vqe.Create(VQEConfig{}, false) != 0) return 1;
    Mixer mixer;
    mixer.Init();
    FarEnd far(SpeechLike(16000, 16000 * seconds, 99));
    mixer.Register(0, &far);
    mixer.AddChannel(0);
    mixer.SetVqe(&vqe);
    mixer.SetEchoControl(true, false);

    Tx_Demux tx;
    tx.SetVqe(&vqe);
    tx.SetECStatus(1);
    tx.SetAGCStatus(0); // gain control would lift the residual and blur the figure
    tx.EnableChannel(0, 16000);
    double outEnergy = 0;
    long outSamples = 0;
    int block = 0;
    tx.SetSink([&](int, const int16_t* s, int count, int, const std::vector<uint32_t>&) {
        if (block < convergeBlocks) return;
        for (int i = 0; i < count; ++i) outEnergy += static_cast<double>(s[i]) * s[i];
        outSamples += count;
    });

    // Room at 48 kHz: direct path 10 dB down after delayMs, then a tail of
    // reflections decaying over about 30 ms.
    std::vector<double> room(1440, 0.0);
    uint32_t seed = 77;
    for (size_t i = 0; i < room.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        room[i] = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.12 * std::exp(-static_cast<double>(i) / 300.0);
    }
    room[0] = 0.316;
    const int delay = delayMs * 48;
    std::vector<int16_t> speaker; // everything played, 48 kHz
    speaker.reserve(static_cast<size_t>(seconds) * 48000);
    double micEnergy = 0;
    long micSamples = 0;
    uint32_t noiseSeed = 3;
    std::vector<int16_t> out48(480), mic(480);
    for (block = 0; block < seconds * 100; ++block) {
        int n = 0;
        mixer.Get(48000, 1, out48.data(), n);
        speaker.insert(speaker.end(), out48.begin(), out48.end());
        const long base = static_cast<long>(speaker.size()) - 480;
        for (int i = 0; i < 480; ++i) {
            double e = 0;
            const long t = base + i - delay;
            for (size_t k = 0; k < room.size() && t - static_cast<long>(k) >= 0; ++k)
                e += room[k] * speaker[static_cast<size_t>(t - static_cast<long>(k))];
            noiseSeed = noiseSeed * 1664525u + 1013904223u;
            e += (static_cast<double>(noiseSeed >> 8) / 16777216.0 - 0.5) * 20.0;
            mic[static_cast<size_t>(i)] = static_cast<int16_t>(std::clamp(e, -32768.0, 32767.0));
        }
        if (block >= convergeBlocks) {
            for (int i = 0; i < 480; i += 3) micEnergy += static_cast<double>(mic[static_cast<size_t>(i)]) * mic[static_cast<size_t>(i)];
            micSamples += 160;
        }
        // The sound card reports the whole loop as its delay.
        tx.send(mic.data(), 480, 48000, delayMs, 128);
    }
    const double erle = 10 * std::log10((micEnergy / micSamples) / (outEnergy / std::max(1L, outSamples) + 1e-9));
    std::printf("erle_db=%.1f\n", erle);
    return 0;
}
