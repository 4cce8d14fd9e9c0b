#pragma once
// The file/memory sound card: a WAV file (or a sample vector) stands in
// for the microphone and a WAV file (and/or a sample vector) records what
// the engine plays. Audio moves in 10 ms blocks at 48000 Hz, either paced
// by the audio thread's 2 ms timer like a real device, or one block per
// Step() call so that tests can run calls bit for bit.
//
// Time is counted in blocks since StartThread: block k of the speaker
// output lies at sample k*480 of the speaker file, whether or not playout
// was running (silence is written then), so that positions in the mic and
// speaker files of two engines stepped together compare directly.
#include "voiceengine/SndCardStream.h"
#include "voiceengine/WavFile.h"

#include <atomic>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

class VEFileSndCardStream : public VESndCardStream {
public:
    struct Config {
        std::string micFile;     // empty: use SetMicSamples, or silence
        std::string speakerFile; // empty: keep output in memory only
        bool paced = true;       // false: blocks move only on Step()
        // true: the microphone source starts at its beginning when recording
        // starts; false: it runs with the block clock from StartThread.
        bool micFromRecordStart = false;
        bool loopMic = false;
        bool keepSpeakerInMemory = false;
    };

    VEFileSndCardStream(VESndCardCallback* engine, Config config);
    ~VEFileSndCardStream() override;

    void SetMicSamples(std::vector<int16_t> samples48k);
    // A copy of what was played so far (keepSpeakerInMemory).
    std::vector<int16_t> SpeakerSamples() const;
    // Runs one 10 ms block (stepped mode; also allowed when paced).
    void Step();
    uint64_t BlocksRun() const { return m_blocks.load(); }
    // Steady-clock time (microseconds) at which the paced block clock
    // started; block k runs 10 ms * (k + 1) later. 0 before StartThread.
    int64_t StartedAtUs() const { return m_startedAtUs.load(); }
    bool MicFileOk() const { return m_micOk; }

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
    int64_t MediaClockUs() const override;

private:
    void ThreadMain();
    void RunBlockLocked();

    VESndCardCallback* m_engine;
    Config m_config;
    std::vector<int16_t> m_mic;
    bool m_micOk = true;
    size_t m_micPos = 0;
    wavfile::Writer m_speaker;
    std::vector<int16_t> m_speakerMemory;

    std::atomic<bool> m_recInit{false}, m_playInit{false};
    std::atomic<bool> m_recording{false}, m_playing{false};
    std::atomic<bool> m_analogAgc{false};
    std::atomic<uint64_t> m_blocks{0};
    std::atomic<int> m_micLevel{128}, m_speakerLevel{200};
    std::atomic<uint32_t> m_waveOutVolume{0xffffffffu};
    std::atomic<int64_t> m_startedAtUs{0};
    double m_load = 0.0; // smoothed share of real time in the callbacks

    std::thread m_thread;
    std::mutex m_stopLock;
    std::condition_variable m_stopCv;
    bool m_stop = false;
    bool m_threadStarted = false;
};
