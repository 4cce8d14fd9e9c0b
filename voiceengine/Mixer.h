#pragma once
// The playout mixer: combines every playing channel, the files played into
// channels and the local DTMF tones into the block the sound card plays.
//
// Mixing happens at 16 kHz in 10 ms blocks with saturation. Each channel
// has a left/right gain (panning) and there is a master gain per side; as
// long as all gains are 1 the mix is mono. The mixed block is handed to the
// voice quality processor as the far-end signal when echo control is on,
// then delivered at 8, 16 or 48 kHz (mono, or stereo for a stereo device).
//
// Used on the audio thread under the engine's sound card lock; engine
// operations that change channels or files take the same lock. The mixer
// has its own lock as well so tests and tools can drive it directly.
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "voiceengine/FileConvert.h"
#include "voiceengine/Resampler.h"

class VQE;

// Whatever a channel plays: its jitter buffer in the engine, a test source
// in tests. Gives 10 ms at 8 kHz (80 samples) or 16 kHz (160 samples).
class MixerParticipant {
public:
    virtual ~MixerParticipant() = default;
    virtual int GetAudio10ms(int16_t* out, int& samples) = 0;
};

class Mixer {
public:
    enum { kMaxChannels = 32, kMixRate = 16000, kMixSamples = 160 };
    enum { kTraceWarning = 2, kTraceError = 4, kTraceStream = 64 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    Mixer();
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    void SetTrace(TraceFn trace);
    // Clears all channels, files and tones; the mixer is idle afterwards.
    int Init();

    // A channel's audio source (registered when the channel is created).
    int Register(int channel, MixerParticipant* source);
    int Unregister(int channel);
    // Adds/removes a channel to/from playout; returns the number of playing
    // channels, or -1 for a bad or unregistered channel.
    int AddChannel(int channel);
    int RemoveChannel(int channel);
    bool IsPlaying(int channel) const;
    int NumPlaying() const;
    // No channel plays: the output is silence (tones still sound).
    void SetIdle();
    bool IsIdle() const;

    // Next 10 ms at desiredSampFreq (8000, 16000 or 48000) with 1 or 2
    // output channels (interleaved for 2). samplesPerChannel receives 80,
    // 160 or 480. 0, or -1 for another rate.
    int Get(int desiredSampFreq, int outChannels, int16_t* out, int& samplesPerChannel);

    // Local DTMF tone: event 0..15, length in ms, level 0..36 (dB below
    // the reference level).
    int PlayDtmfTone(int event, int lengthMs, int level);
    bool IsTonePlaying() const;

    // Plays a file into a channel's playout (takes ownership of stream).
    // 0; -1 when the channel already plays a file, the stream is missing
    // or the file cannot be read.
    int PlayAudio(int channel, std::FILE* stream, int format, float scale, int startMs, int stopMs, bool loop);
    bool IsPlayingFile(int channel) const;
    int StopFile(int channel);
    int SetFileScale(int channel, float scale);

    int SetHold(int channel, bool hold);
    // Per-channel output gains (0..2 each).
    int SetChannelPan(int channel, float left, float right);
    int GetChannelPan(int channel, float& left, float& right) const;
    int SetMasterGain(float left, float right);

    // Echo control: the mixed signal goes to vqe as far-end signal; with
    // the suppressor the processed block replaces the output.
    void SetVqe(VQE* vqe);
    void SetEchoControl(bool on, bool suppressor);

    // Peak level of the last block, 0..9.
    int OutputLevel() const;

private:
    struct Channel {
        MixerParticipant* source = nullptr;
        bool playing = false;
        bool hold = false;
        float left = 1.0f;
        float right = 1.0f;
        std::unique_ptr<FILEConvert> file;
        Resampler up; // 8 -> 16 kHz
    };

    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    bool valid(int channel) const { return channel >= 0 && channel < kMaxChannels; }
    void addTone(int32_t* mixL, int32_t* mixR);

    mutable std::recursive_mutex m_mutex;
    TraceFn m_trace;
    std::array<Channel, kMaxChannels> m_channels;
    int m_playing = 0;
    bool m_idle = true;
    float m_masterLeft = 1.0f;
    float m_masterRight = 1.0f;

    // Local tone.
    int m_toneSamplesLeft = 0;
    int m_toneSamplesTotal = 0;
    double m_toneFreq[2] = {0, 0};
    double m_tonePhase[2] = {0, 0};
    double m_toneAmp = 0;

    VQE* m_vqe = nullptr;
    bool m_echoOn = false;
    bool m_suppressor = false;
    Resampler m_vqeDown; // 16 -> 8 kHz for a processor at 8 kHz
    Resampler m_vqeUp;   // back to 16 kHz (suppressor)
    Resampler m_out8;
    Resampler m_out48[2];
    int m_level = 0;
};
