#pragma once
// The ALSA sound card: 48 kHz 16-bit PCM in 10 ms blocks, driven from one
// audio thread paced by a 2 ms timer.
//
// Playout follows the adaptive buffer rules of AlsaPlayoutControl, fed with
// the device's own delay (audio written but not yet played). Writes never
// block. Capture reads a block whenever one is complete (a partial block
// after it has stayed unchanged for five looks), reports the total delay
// (playout plus capture) for echo control and hands the block to the engine
// with the sound card lock released. A watchdog restarts a timer that has
// gone slow; stalled recording is reported to the engine, not restarted.
//
// Device numbers index the PCM names ALSA lists for the direction (-1 is
// "default"); names may also be given directly ("null", "hw:0", ...).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "voiceengine/AlsaMixerControl.h"
#include "voiceengine/AlsaPlayoutControl.h"
#include "voiceengine/AlsaTimerWatchdog.h"
#include "voiceengine/SndCardStream.h"

struct _snd_pcm;

class AlsaSndCardStream : public VESndCardStream {
public:
    enum { kTraceInfo = 1, kTraceWarning = 2, kTraceError = 4, kTraceCritical = 8, kTraceTimer = 32, kTraceStream = 64 };
    enum { kPrefillBlocks = 3, kPrefillWaitMs = 2000, kMaxPutBackDelay = 50 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    explicit AlsaSndCardStream(VESndCardCallback* engine, TraceFn trace = {});
    ~AlsaSndCardStream() override;

    // PCM device names ALSA lists for playback or capture.
    static std::vector<std::string> DeviceNames(bool capture);

    int StartThread() override;
    int Shutdown() override;
    int OpenSpeakerMixer() override;
    int OpenMicrophoneMixer(bool switchOffBoost) override;
    int InitRecording() override;
    int InitPlayout() override;
    int StartRecording() override;
    int StartPlayout() override;
    int StopRecording() override;
    int StopPlayout() override;
    bool IsRecording() const override { return m_recording.load(); }
    bool IsPlaying() const override { return m_playing.load(); }
    bool IsPlayoutInitialized() const override { return m_playInit.load(); }
    int GetMicLevel() override;
    int SetMicLevel(int level) override;
    int GetSpeakerLevel() override;
    int SetSpeakerLevel(int level) override;
    int GetWaveOutVolume(uint32_t& volume) override;
    int SetWaveOutVolume(uint32_t volume) override;
    int SelectDevices(int inDevice, int outDevice) override;
    int SelectDevicesByName(const char* inName, const char* outName) override;
    int SetAnalogAGC(bool on) override;
    bool IsAnalogAGCOn() const override { return m_analogAgc.load(); }
    int CpuLoad() override;

    std::string PlayoutDeviceName();
    std::string RecordingDeviceName();
    // Figures for tests and traces.
    uint64_t BlocksPlayed() const { return m_blocksPlayed.load(); }
    uint64_t BlocksRecorded() const { return m_blocksRecorded.load(); }
    uint64_t TimerTicks() const { return m_ticks.load(); }
    int PutBackDelay();
    int PlayoutBufferSize();

private:
    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void threadMain();
    bool startTimer(int periodMs);
    int playProc();
    int recordProc(int64_t nowMs);
    int playoutDelayMs();
    int writeBlock(const int16_t* mono);
    void closePlayout();
    void closeRecording();

    VESndCardCallback* m_engine;
    TraceFn m_trace;

    std::string m_outName = "default";
    std::string m_inName = "default";

    _snd_pcm* m_play = nullptr;
    _snd_pcm* m_rec = nullptr;
    int m_playChannels = 1;
    int m_recChannels = 1;

    std::atomic<bool> m_playInit{false};
    std::atomic<bool> m_recInit{false};
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_recording{false};
    std::atomic<bool> m_analogAgc{false};
    std::atomic<uint64_t> m_blocksPlayed{0};
    std::atomic<uint64_t> m_blocksRecorded{0};
    std::atomic<uint64_t> m_ticks{0};

    // Prefill hand-shake between StartPlayout and the audio thread.
    std::mutex m_prefillMutex;
    std::condition_variable m_prefillCv;
    bool m_firstPlayout = false;
    bool m_prefillDone = false;

    // Audio thread and its timer.
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_threadRunning{false};
    int m_timerFd = -1;

    // Under the sound card lock.
    AlsaPlayoutControl m_control;
    AlsaTimerWatchdog m_watchdog;
    AlsaMixerControl m_mixer;
    int64_t m_lastPlayMs = 0;
    int64_t m_lastRecMs = 0;
    unsigned long m_writtenSamples = 0;
    int m_writeFailures = 0;
    int m_xruns = 0;
    int64_t m_xrunWindowMs = 0;
    int m_putBackDelay = 4;
    long m_lastPartial = -1;
    int m_partialLooks = 0;
    uint64_t m_bytesSinceCheck = 0;
    int64_t m_checkMs = 0;
    double m_load = 0;
    int64_t m_playAccumNs = 0;
    std::vector<int16_t> m_buf;
};
