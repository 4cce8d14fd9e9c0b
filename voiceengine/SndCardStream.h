#pragma once
// The sound card as the engine sees it: one object per engine that moves
// audio in 10 ms blocks at 48000 Hz between the engine and a device.
//
// Two backends live behind this interface: ALSA for real use and a
// file/memory backend (WAV in as microphone, WAV out as speaker) for tests
// and headless runs. Both drive the engine through VESndCardCallback from
// their own audio thread, paced by a 2 ms timer.
//
// Results follow the engine's device conventions: 0 on success, the
// negative codes documented per operation otherwise. The engine maps them
// to its own error numbers.
#include <cstdint>
#include <mutex>

// Calls from the audio thread into the engine.
class VESndCardCallback {
public:
    virtual ~VESndCardCallback() = default;

    // Asks for the next block to play: samplesWanted samples (10 ms) at
    // sampleRate into buffer. sampleFormat 0 is 16-bit linear; 1 and 2 are
    // 8-bit companded variants at 8000 Hz. samplesOut receives the count
    // actually written. 0 on success, -1 on failure (block is then silence).
    virtual int NeedMorePlayData(int16_t* buffer, int& samplesOut, int sampleRate, int samplesWanted,
                                 int sampleFormat) = 0;

    // Hands over one captured block (10 ms). totalDelayMs is the playout
    // plus capture delay for echo control; micLevel the current analog
    // microphone level (0..255). Returns a new microphone level to apply, or
    // 0 to leave it, or -1 on failure.
    virtual int RecordedDataIsAvailable(const int16_t* samples, int sampleCount, int totalDelayMs, int micLevel,
                                        int sampleRate, int sampleFormat) = 0;

    // Runtime problem: 1 recording problem, 2 playout problem,
    // 3 recording error, 4 playout error.
    virtual int ProblemIsReported(int message) = 0;

    // Device initialisation finished with error (0 = none); returns error.
    virtual int InitializationIsComplete(int error) = 0;
};

class VESndCardStream {
public:
    enum {
        kSampleRate = 48000,
        kBlockMs = 10,
        kBlockSamples = 480, // per channel
    };

    virtual ~VESndCardStream() = default;

    // The engine's sound card lock. Recursive for its owner thread: the
    // audio thread holds it around its procedures and the engine callbacks
    // take it again.
    virtual void Lock() { m_lock.lock(); }
    virtual void Unlock() { m_lock.unlock(); }

    // Starts the audio thread and its 2 ms timer (first Init). 0 or -1.
    virtual int StartThread() = 0;
    // Stops the audio thread and closes the devices (Terminate). 0 or -1.
    virtual int Shutdown() = 0;

    // Opens the system volume controls behind the speaker / microphone
    // level operations. 0, or -1 when no usable control exists.
    virtual int OpenSpeakerMixer() = 0;
    virtual int OpenMicrophoneMixer(bool switchOffBoost) = 0;

    // 0, or -1 when the device cannot be opened.
    virtual int InitRecording() = 0;
    // 0, -1 (open failed) or -2 (preparing buffers failed).
    virtual int InitPlayout() = 0;
    // 0, -1 (position query failed), -2 (queueing a buffer failed) or
    // -3 (start failed).
    virtual int StartRecording() = 0;
    // 0 or -6 (not initialised); other negatives for device start failures
    // (-1..-5). Returns once the prefill has been written (or after a bounded
    // wait, with -5).
    virtual int StartPlayout() = 0;
    virtual int StopRecording() = 0;
    virtual int StopPlayout() = 0;

    virtual bool IsRecording() const = 0;
    virtual bool IsPlaying() const = 0;
    virtual bool IsPlayoutInitialized() const = 0;

    // Levels are 0..255; getters return -1 on failure, setters 0 or -1.
    virtual int GetMicLevel() = 0;
    virtual int SetMicLevel(int level) = 0;
    virtual int GetSpeakerLevel() = 0;
    virtual int SetSpeakerLevel(int level) = 0;
    // The device's own output volume (low word left, high word right).
    virtual int GetWaveOutVolume(uint32_t& volume) = 0;
    virtual int SetWaveOutVolume(uint32_t volume) = 0;

    // Device selection by number (-1 = system default) or by name.
    virtual int SelectDevices(int inDevice, int outDevice) = 0;
    virtual int SelectDevicesByName(const char* inName, const char* outName) = 0;

    virtual int SetAnalogAGC(bool on) = 0;
    virtual bool IsAnalogAGCOn() const = 0;

    // Share of real time spent in the engine callbacks, in percent, or -1.
    virtual int CpuLoad() = 0;

    // The device's own clock in microseconds, for timing packet arrivals
    // against the audio; -1 when the device runs in real time (the system
    // clock is used then). A stepped test device counts its blocks.
    virtual int64_t MediaClockUs() const { return -1; }

protected:
    std::recursive_mutex m_lock;
};
