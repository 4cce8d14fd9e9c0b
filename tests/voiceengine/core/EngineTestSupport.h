#pragma once
// Helpers for engine tests: engines on stepped file sound cards, tones,
// a machine store in a scratch folder, and a tone detector.
#include "platform/KeyValueStore.h"
#include "support/TempDir.h"
#include "voiceengine/FileSndCardStream.h"
#include "voiceengine/VEAPI.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace vetest {

inline std::vector<int16_t> Tone(double hz, double seconds, double amplitude = 8000.0, int rate = 48000) {
    std::vector<int16_t> out(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    return out;
}

// Power of one frequency in a stretch of samples (Goertzel), normalised.
inline double PowerAt(const std::vector<int16_t>& s, size_t from, size_t count, double hz, int rate = 48000) {
    const double w = 2.0 * M_PI * hz / rate;
    const double coeff = 2.0 * std::cos(w);
    double q1 = 0, q2 = 0;
    for (size_t i = from; i < from + count && i < s.size(); ++i) {
        const double q0 = coeff * q1 - q2 + s[i];
        q2 = q1;
        q1 = q0;
    }
    const double p = q1 * q1 + q2 * q2 - coeff * q1 * q2;
    return p / (static_cast<double>(count) * count);
}

inline double Rms(const std::vector<int16_t>& s, size_t from, size_t count) {
    double acc = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count && i < s.size(); ++i, ++n)
        acc += static_cast<double>(s[i]) * s[i];
    return n ? std::sqrt(acc / static_cast<double>(n)) : 0.0;
}

// An engine on a stepped file card with the given microphone signal and
// its speaker kept in memory.
struct SteppedEngine {
    std::unique_ptr<VEAPI> engine = std::make_unique<VEAPI>();
    VEFileSndCardStream* card = nullptr;

    explicit SteppedEngine(std::vector<int16_t> mic = {}) {
        engine->SetSoundCardFactory([this, mic](VESndCardCallback* cb) {
            VEFileSndCardStream::Config c;
            c.paced = false;
            c.keepSpeakerInMemory = true;
            auto card = std::make_unique<VEFileSndCardStream>(cb, c);
            card->SetMicSamples(mic);
            this->card = card.get();
            return std::unique_ptr<VESndCardStream>(std::move(card));
        });
    }
};

// Points the machine-wide store at a scratch file for the test's life.
class MachineStoreScope {
public:
    MachineStoreScope() : m_old(qf::platform::CKeyValueStore::LocalMachine().Path()) {
        qf::platform::CKeyValueStore::LocalMachine().SetPath(m_dir.file("machine.store"));
    }
    ~MachineStoreScope() { qf::platform::CKeyValueStore::LocalMachine().SetPath(m_old); }

private:
    qf::test::TempDir m_dir;
    std::string m_old;
};

// Steps engines together, giving the socket thread a moment per block.
inline void StepAll(std::initializer_list<SteppedEngine*> engines, int blocks) {
    for (int i = 0; i < blocks; ++i) {
        for (auto* e : engines)
            e->card->Step();
        std::this_thread::sleep_for(std::chrono::microseconds(1500));
    }
}

} // namespace vetest
