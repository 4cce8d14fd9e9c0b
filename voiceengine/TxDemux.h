#pragma once
// The capture side of the transmit path: takes each captured 10 ms block
// from the sound card, brings it to the processing rate (8 or 16 kHz), runs
// the voice quality processor and hands the result to every sending
// channel (silence for a muted channel, plus the other participants of a
// conference), converted to the rate of the channel's send codec.
//
// The encoders and packet senders sit behind the block sink; this class
// only does the audio. Called on the audio thread under the engine's sound
// card lock; settings are changed from the API thread under the same lock.
// It keeps its own lock too, so it can be driven on its own.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <cstdio>
#include <memory>

#include "voiceengine/FileConvert.h"
#include "voiceengine/Mixer.h"
#include "voiceengine/Resampler.h"

class VQE;

class Tx_Demux {
public:
    enum { kMaxChannels = 32, kMaxCsrcs = 15 };
    enum { kTraceWarning = 2, kTraceError = 4, kTraceStream = 64 };
    using TraceFn = std::function<void(int level, const std::string& text)>;
    // One processed block for one sending channel at its codec's rate.
    using BlockSink = std::function<void(int channel, const int16_t* samples, int count, int sampleRate,
                                         const std::vector<uint32_t>& csrcs)>;

    Tx_Demux();
    ~Tx_Demux();

    void SetTrace(TraceFn trace);
    void SetSink(BlockSink sink);
    void SetVqe(VQE* vqe);

    // Sending channels and their codec rate (8000 or 16000).
    int EnableChannel(int channel, int codecRate);
    int DisableChannel(int channel);
    int SetCodecRate(int channel, int codecRate);
    bool IsSending(int channel) const;
    int NumSending() const;
    int SetMute(int channel, bool mute);
    bool IsMuted(int channel) const;
    // The channel's decoded far-end audio and SSRC for conference mixing.
    int SetConferenceSource(int channel, MixerParticipant* source, uint32_t ssrc);
    int AddToConference(int channel, bool on);
    void SetMicRecordingActive(bool on);
    void SetFileAsMicActive(bool on);

    // A file played as the microphone: its audio is added to every captured
    // block (processing then runs at 16 kHz). Takes ownership of stream.
    // 0, or -1 when the file cannot be read or one already plays.
    int PlayFileAsMic(std::FILE* stream, int format, float scale, bool loop);
    int StopFileAsMic();
    bool IsPlayingFileAsMic() const;
    // The processed microphone signal written to stream as raw 16-bit
    // little-endian PCM at 16 kHz (takes ownership; closed on stop).
    int StartRecordingMicrophone(std::FILE* stream);
    int StopRecordingMicrophone();

    // Settings passed on to the voice quality processor.
    int SetECStatus(int mode);  // 0 off, 1 on, 2 on with the second option
    int SetECType(int type);    // 0 canceller, 1 suppressor
    int SetNRStatus(int on);    // 0/1
    int SetNRpolicy(int policy); // 0..2
    int SetAGCStatus(int on);   // 0/1
    int SetAGCType(int type);   // 0..2; 2 also adjusts the analog level
    int GetECStatus() const { return m_ecStatus; }
    int GetECType() const { return m_ecType; }
    int GetNRStatus() const { return m_nrOn ? 1 : 0; }
    int GetNRpolicy() const { return m_nrPolicy; }
    int GetAGCStatus() const { return m_agcOn ? 1 : 0; }
    int GetAGCType() const { return m_agcType; }
    // What the processor is told: echo mode, option, noise level, gain mode.
    int VqeEchoMode() const;
    int VqeNoiseLevel() const { return m_nrOn ? m_nrPolicy + 1 : 0; }
    int VqeGainMode() const { return m_agcOn ? m_agcType + 1 : 0; }

    // Forgets the conversion state (a new capture starts).
    void Reset();
    int ProcessingRate() const;
    // Peak level of the last captured block, 0..9.
    int InputLevel() const;

    // One captured block: count samples at sampleRate (8000, 16000, 44000
    // or 48000; 10 ms). Returns the microphone level to apply, or -1 for an
    // unsupported block.
    int send(const int16_t* samples, int count, int sampleRate, int delayMs, int micLevel);

private:
    struct Channel {
        bool sending = false;
        bool muted = false;
        bool conference = false;
        int codecRate = 8000;
        MixerParticipant* confSource = nullptr;
        uint32_t ssrc = 0;
        Resampler toCodec; // 16 -> 8 kHz when the processing rate is higher
    };

    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void applyVqeSettings();
    int chooseRate() const;

    mutable std::recursive_mutex m_mutex;
    TraceFn m_trace;
    BlockSink m_sink;
    VQE* m_vqe = nullptr;
    std::array<Channel, kMaxChannels> m_channels;
    bool m_micRecording = false;
    bool m_fileAsMic = false;
    std::unique_ptr<FILEConvert> m_micFile;
    std::FILE* m_micRecord = nullptr;
    int m_rate = 8000;
    int m_vqeRate = 0;
    int m_level = 0;

    int m_ecStatus = 0;
    int m_ecType = 0;
    bool m_nrOn = false;
    int m_nrPolicy = 0;
    bool m_agcOn = true;
    int m_agcType = 2;

    Resampler m_from48;
    Resampler m_from44;
    Resampler m_from8;
    Resampler m_to8;
};
