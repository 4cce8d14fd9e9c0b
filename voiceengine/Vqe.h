#pragma once
// The voice quality processor: echo control, noise reduction, gain control
// and voice activity detection for the capture side, on SpeexDSP.
//
// One per engine. The playout mixer hands every block it plays to
// ProcessFarEnd(); the capture side hands every microphone block to
// ProcessNearEnd() together with the sound card's total delay, so the echo
// canceller is given the far-end block that is actually echoing in the
// microphone block (the rest of the path is learnt by the adaptive filter).
//
// Echo mode 1 is the adaptive echo canceller with residual echo
// suppression; mode 2 is the echo suppressor, which ducks the microphone
// while only the far end talks. All calls are made under the engine's
// sound card lock; the class itself is not thread-safe.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

struct VQEConfig {
    int samplingRate = 16000; // 8000 or 16000
    int param1 = 100;         // 10..100: echo tail kept by the canceller, ms
    int param2 = 500;         // 10..600, >= param1: longest sound card delay followed, ms
    int param3 = 0;           // >= 0: extra delay margin, ms
    int param4 = 256;         // >= param3: far-end history, ms
};

class VQE {
public:
    // Error codes (readable with GetLastError()).
    enum {
        kErrRate = 11001,
        kErrParam1Low = 11002,
        kErrParam1High = 11003,
        kErrParam2Low = 11004,
        kErrParam2High = 11005,
        kErrParam2BelowParam1 = 11006,
        kErrParam3 = 11007,
        kErrParam4Negative = 11008,
        kErrParam4BelowParam3 = 11009,
        kErrNotInitialized = 11010,
        kErrBlockLength = 11011,
        kErrSetting = 11012,
        kErrLibrary = 11013,
    };
    // Length a caller must offer for the version text.
    enum { kVersionBufferNeeded = 171 };

    VQE() = default;
    ~VQE();
    VQE(const VQE&) = delete;
    VQE& operator=(const VQE&) = delete;

    // Checks the configuration; 0, or -1 with the error code set.
    int Create(const VQEConfig& config, bool debug);
    // (Re)builds the processing state for 8000 or 16000 Hz. 0 or -1.
    int Init(int samplingRate);
    int Reset(int samplingRate);
    int SamplingRate() const { return m_rate; }

    // 10 ms of microphone signal at the processing rate. out may equal in.
    // newMicLevel receives the level to apply (the given level when no
    // change is wanted). 0, or the error code.
    int ProcessNearEnd(const int16_t* in, int16_t* out, int samples, int delayMs, int micLevel, int& newMicLevel);
    // 10 ms of the playout signal at the processing rate; with the echo
    // suppressor the block may be changed in place. 0, or the error code.
    int ProcessFarEnd(int16_t* block, int samples);

    // mode 0 off, 1 canceller, 2 suppressor; option: stronger residual
    // suppression.
    int SetEchoMode(int mode, bool option);
    // 0 off, 1..3 increasing suppression.
    int SetNoiseLevel(int level);
    // 0 off, 1 adaptive digital, 2 fixed digital, 3 analog + digital.
    int SetGainMode(int mode);
    int GetEchoStatus() const { return m_echoMode; }
    bool GetEchoOption() const { return m_echoOption; }
    int GetNoiseLevel() const { return m_noiseLevel; }
    int GetGainMode() const { return m_gainMode; }
    // 1 while the far end is active and echo is being removed.
    int GetEchoActivity() const { return m_echoActive ? 1 : 0; }
    // Result of the voice activity detector for the last near-end block.
    bool VoiceActive() const { return m_vad; }
    int GetLastError() const { return m_lastError; }

    // Version lines; -1 when len is below kVersionBufferNeeded.
    static int Version(char* buffer, int len);

private:
    void destroyState();
    void applySettings();
    int fail(int code) {
        m_lastError = code;
        return -1;
    }
    void adaptMicLevel(const int16_t* block, int samples, int micLevel, int& newMicLevel);

    VQEConfig m_config;
    bool m_created = false;
    bool m_debug = false;
    int m_rate = 0;
    int m_frame = 0;
    int m_lastError = 0;
    int m_echoMode = 0;
    bool m_echoOption = false;
    int m_noiseLevel = 0;
    int m_gainMode = 0;
    bool m_vad = false;
    bool m_echoActive = false;

    SpeexEchoState_* m_echo = nullptr;
    SpeexPreprocessState_* m_pre = nullptr;

    // Far-end history for delay alignment (ring of samples).
    std::vector<int16_t> m_far;
    uint64_t m_farWritten = 0;
    std::vector<int16_t> m_ref;
    std::vector<int16_t> m_work;

    // Echo suppressor state.
    float m_suppressGain = 1.0f;
    // Analog level control state.
    double m_noiseFloor = 1.0e4;
    float m_speechLevelDb = -40.0f;
    int m_levelHold = 0;

    std::FILE* m_dbgInit = nullptr;
    std::FILE* m_dbgMic = nullptr;
    std::FILE* m_dbgEvent = nullptr;
    std::FILE* m_dbgSpeaker = nullptr;
};
