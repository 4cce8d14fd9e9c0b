#include "voiceengine/Vqe.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/Trace.h"

namespace {

double blockEnergy(const int16_t* x, int n) {
    double e = 0;
    for (int i = 0; i < n; ++i) e += static_cast<double>(x[i]) * x[i];
    return e / std::max(1, n);
}

} // namespace

VQE::~VQE() {
    destroyState();
    for (std::FILE* f : {m_dbgInit, m_dbgMic, m_dbgEvent, m_dbgSpeaker})
        if (f) std::fclose(f);
}

void VQE::destroyState() {
    if (m_pre) speex_preprocess_state_destroy(m_pre);
    if (m_echo) speex_echo_state_destroy(m_echo);
    m_pre = nullptr;
    m_echo = nullptr;
}

int VQE::Create(const VQEConfig& c, bool debug) {
    QF_TRACE("VQE::Create");
    if (c.samplingRate != 8000 && c.samplingRate != 16000) return fail(kErrRate);
    if (c.param1 < 10) return fail(kErrParam1Low);
    if (c.param1 > 100) return fail(kErrParam1High);
    if (c.param2 < 10) return fail(kErrParam2Low);
    if (c.param2 > 600) return fail(kErrParam2High);
    if (c.param2 < c.param1) return fail(kErrParam2BelowParam1);
    if (c.param3 < 0) return fail(kErrParam3);
    if (c.param4 < 0) return fail(kErrParam4Negative);
    if (c.param4 < c.param3) return fail(kErrParam4BelowParam3);
    m_config = c;
    m_created = true;
    m_debug = debug;
    if (debug) {
        m_dbgInit = std::fopen("./init.dat", "w+b");
        m_dbgMic = std::fopen("./mic.dat", "w+b");
        m_dbgEvent = std::fopen("./event.dat", "w+b");
        m_dbgSpeaker = std::fopen("./speaker.dat", "w+b");
        if (m_dbgInit) {
            const int32_t v[5] = {c.samplingRate, c.param1, c.param2, c.param3, c.param4};
            std::fwrite(v, sizeof v, 1, m_dbgInit);
            std::fflush(m_dbgInit);
        }
    }
    QF_LEAVE();
    return Init(c.samplingRate);
}

int VQE::Init(int samplingRate) {
    QF_TRACE("VQE::Init");
    if (!m_created) return fail(kErrNotInitialized);
    if (samplingRate != 8000 && samplingRate != 16000) return fail(kErrRate);
    destroyState();
    m_rate = samplingRate;
    m_frame = samplingRate / 100;
    const int tail = m_config.param1 * samplingRate / 1000; // param1 ms of echo tail
    m_echo = speex_echo_state_init(m_frame, std::max(tail, m_frame));
    m_pre = speex_preprocess_state_init(m_frame, samplingRate);
    if (!m_echo || !m_pre) {
        destroyState();
        return fail(kErrLibrary);
    }
    int rate = samplingRate;
    speex_echo_ctl(m_echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    // History long enough for the largest delay we follow plus the margin.
    const int historyMs = std::max(m_config.param2, m_config.param4) + 40;
    m_far.assign(static_cast<size_t>(historyMs * samplingRate / 1000), 0);
    m_farWritten = 0;
    m_ref.assign(static_cast<size_t>(m_frame), 0);
    m_work.assign(static_cast<size_t>(m_frame), 0);
    m_suppressGain = 1.0f;
    m_echoActive = false;
    m_vad = false;
    applySettings();
    if (m_dbgEvent) {
        const int32_t ev[2] = {-1, samplingRate};
        std::fwrite(ev, sizeof ev, 1, m_dbgEvent);
    }
    QF_LEAVE();
    return 0;
}

int VQE::Reset(int samplingRate) {
    QF_TRACE("VQE::Reset");
    const int r = Init(samplingRate);
    QF_LEAVE();
    return r;
}

void VQE::applySettings() {
    if (!m_pre) return;
    int on = 1, off = 0;
    speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_DENOISE, m_noiseLevel > 0 ? &on : &off);
    int suppress = m_noiseLevel == 1 ? -12 : m_noiseLevel == 2 ? -18 : -25;
    speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
    speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_AGC, m_gainMode > 0 ? &on : &off);
    if (m_gainMode > 0) {
        float level = 8000.0f;
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
        // Fixed digital gain reacts slowly; the adaptive mode follows faster.
        int maxGain = m_gainMode == 2 ? 12 : 24;
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, &maxGain);
    }
    const bool canceller = m_echoMode == 1;
    speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_STATE, canceller ? static_cast<void*>(m_echo) : nullptr);
    if (canceller) {
        int residual = m_echoOption ? -60 : -40;
        int residualActive = m_echoOption ? -30 : -15;
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &residual);
        speex_preprocess_ctl(m_pre, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &residualActive);
    }
}

int VQE::SetEchoMode(int mode, bool option) {
    QF_TRACE("VQE::SetEchoMode");
    if (mode < 0 || mode > 2) return fail(kErrSetting);
    if (m_echoMode != mode && m_echo) speex_echo_state_reset(m_echo);
    m_echoMode = mode;
    m_echoOption = option;
    applySettings();
    QF_LEAVE();
    return 0;
}

int VQE::SetNoiseLevel(int level) {
    QF_TRACE("VQE::SetNoiseLevel");
    if (level < 0 || level > 3) return fail(kErrSetting);
    m_noiseLevel = level;
    applySettings();
    QF_LEAVE();
    return 0;
}

int VQE::SetGainMode(int mode) {
    QF_TRACE("VQE::SetGainMode");
    if (mode < 0 || mode > 3) return fail(kErrSetting);
    m_gainMode = mode;
    applySettings();
    QF_LEAVE();
    return 0;
}

int VQE::ProcessFarEnd(int16_t* block, int samples) {
    if (!m_echo) {
        m_lastError = kErrNotInitialized;
        return kErrNotInitialized;
    }
    if (samples != m_frame) {
        m_lastError = kErrBlockLength;
        return kErrBlockLength;
    }
    if (m_echoMode == 2 && m_suppressGain < 0.99f && m_vad) {
        // Double talk while suppressing: soften the far end a little so the
        // near end is not cut off completely.
        for (int i = 0; i < samples; ++i) block[i] = static_cast<int16_t>(block[i] * 0.7f);
    }
    const size_t cap = m_far.size();
    for (int i = 0; i < samples; ++i) m_far[(m_farWritten + static_cast<uint64_t>(i)) % cap] = block[i];
    m_farWritten += static_cast<uint64_t>(samples);
    if (m_dbgSpeaker) std::fwrite(block, sizeof(int16_t), static_cast<size_t>(samples), m_dbgSpeaker);
    return 0;
}

int VQE::ProcessNearEnd(const int16_t* in, int16_t* out, int samples, int delayMs, int micLevel, int& newMicLevel) {
    newMicLevel = micLevel;
    if (!m_pre || !m_echo) {
        m_lastError = kErrNotInitialized;
        return kErrNotInitialized;
    }
    if (samples != m_frame) {
        m_lastError = kErrBlockLength;
        return kErrBlockLength;
    }
    if (m_dbgMic) std::fwrite(in, sizeof(int16_t), static_cast<size_t>(samples), m_dbgMic);
    if (m_dbgEvent) {
        const int32_t ev[2] = {delayMs, micLevel};
        std::fwrite(ev, sizeof ev, 1, m_dbgEvent);
    }

    // The far-end block that echoes now was played delayMs ago; start a
    // little earlier so the adaptive filter sees the onset of the echo.
    const int marginMs = 10 + m_config.param3;
    int lagMs = std::clamp(delayMs - marginMs, 0, m_config.param2);
    uint64_t lag = static_cast<uint64_t>(lagMs) * static_cast<uint64_t>(m_rate) / 1000;
    const size_t cap = m_far.size();
    lag = std::min<uint64_t>(lag, cap - static_cast<size_t>(samples));
    const uint64_t end = m_farWritten > lag ? m_farWritten - lag : 0;
    for (int i = 0; i < samples; ++i) {
        const int64_t idx = static_cast<int64_t>(end) - samples + i;
        m_ref[static_cast<size_t>(i)] = idx < 0 ? int16_t{0} : m_far[static_cast<uint64_t>(idx) % cap];
    }
    const double farEnergy = blockEnergy(m_ref.data(), samples);
    m_echoActive = m_echoMode != 0 && farEnergy > 1.0e4; // about -50 dBFS

    if (m_echoMode == 1) {
        speex_echo_cancellation(m_echo, in, m_ref.data(), m_work.data());
    } else {
        std::memcpy(m_work.data(), in, sizeof(int16_t) * static_cast<size_t>(samples));
    }
    speex_preprocess_run(m_pre, m_work.data());
    // Voice activity: well above the tracked noise floor.
    const double nearE = blockEnergy(m_work.data(), samples);
    m_noiseFloor = nearE < m_noiseFloor ? nearE : m_noiseFloor * 1.002 + 1e-3;
    m_vad = nearE > 4.0 * m_noiseFloor && nearE > 1.0e3;

    if (m_echoMode == 2) {
        // Suppressor: duck the microphone while the far end dominates.
        const double nearEnergy = blockEnergy(m_work.data(), samples);
        const bool farOnly = farEnergy > 1.0e4 && nearEnergy < farEnergy * (m_echoOption ? 2.0 : 1.0);
        const float target = farOnly ? 0.03f : 1.0f;
        for (int i = 0; i < samples; ++i) {
            m_suppressGain += (target - m_suppressGain) * (target < m_suppressGain ? 0.05f : 0.01f);
            m_work[static_cast<size_t>(i)] = static_cast<int16_t>(m_work[static_cast<size_t>(i)] * m_suppressGain);
        }
    }
    std::memcpy(out, m_work.data(), sizeof(int16_t) * static_cast<size_t>(samples));
    if (m_gainMode == 3) adaptMicLevel(out, samples, micLevel, newMicLevel);
    return 0;
}

void VQE::adaptMicLevel(const int16_t* block, int samples, int micLevel, int& newMicLevel) {
    // Analog control: follow the speech level slowly and move the
    // microphone level in small steps, never more often than every 500 ms.
    if (!m_vad) return;
    const double e = blockEnergy(block, samples);
    const float db = static_cast<float>(10.0 * std::log10(e / (32768.0 * 32768.0) + 1e-12));
    m_speechLevelDb += (db - m_speechLevelDb) * 0.05f;
    if (m_levelHold > 0) {
        --m_levelHold;
        return;
    }
    if (m_speechLevelDb < -30.0f && micLevel < 255) {
        newMicLevel = std::min(255, micLevel + 8);
        m_levelHold = 50;
    } else if (m_speechLevelDb > -8.0f && micLevel > 0) {
        newMicLevel = std::max(0, micLevel - 8);
        m_levelHold = 50;
    }
}

int VQE::Version(char* buffer, int len) {
    static const char kText[] = "VQE PC\t1.0.16\nAEC PC\t1.4.3\nAES\t1.1.0\nAGC\t1.2.0\nNS \t1.0.1\nVAD\t1.0.5\n";
    if (!buffer || len < kVersionBufferNeeded) return -1;
    std::memcpy(buffer, kText, sizeof kText);
    return static_cast<int>(sizeof kText) - 1;
}
