#pragma once
// Speaker and microphone levels through the ALSA mixer, on the 0..255
// scale the engine uses.
//
// Speaker: the playback volume element of the sound card (Master, else
// PCM, Speaker or Headphone); level L is written as L * scale + min with
// scale = (max - min + 1) / 256, and read back as (value - min) / scale.
// Microphone: up to five capture volume elements whose names start with
// "Mic" or are "Headset" (or the card's "Capture" element); level L is the
// 16-bit value L * 256 - 1 (0 stays 0) mapped onto the element's range.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct _snd_mixer;
struct _snd_mixer_elem;

class AlsaMixerControl {
public:
    enum { kMaxSpeakerControls = 4, kMaxMicControls = 5 };
    enum { kTraceWarning = 2, kTraceError = 4, kTraceInfo = 1 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    AlsaMixerControl() = default;
    ~AlsaMixerControl();
    AlsaMixerControl(const AlsaMixerControl&) = delete;
    AlsaMixerControl& operator=(const AlsaMixerControl&) = delete;

    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

    // Mixer device for a PCM name: "hw:N" for hw/plughw/sysdefault names
    // with a card, "default" otherwise.
    static std::string MixerNameFor(const std::string& pcmName);

    // 0, or -1 when no usable control exists.
    int OpenSpeaker(const std::string& mixerName);
    int OpenMicrophone(const std::string& mixerName, bool switchOffBoost);
    void Close();

    int SetSpeakerLevel(int level);
    int GetSpeakerLevel(); // -1 on failure
    int SetMicLevel(int level);
    int GetMicLevel();     // -1 on failure
    // Output volume as low word left, high word right (0..65535 each).
    int SetOutputVolume(uint32_t volume);
    int GetOutputVolume(uint32_t& volume);

    bool HasSpeaker() const { return !m_speaker.empty(); }
    bool HasMicrophone() const { return !m_mic.empty(); }

    // The level arithmetic, exposed for tests.
    static long SpeakerValue(int level, long min, long max);
    static int SpeakerLevel(long value, long min, long max);
    static long MicValue(int level, long min, long max);
    static int MicLevel(long value, long min, long max);

private:
    struct Control {
        _snd_mixer_elem* elem = nullptr;
        long min = 0;
        long max = 0;
    };
    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    _snd_mixer* open(const std::string& name);

    TraceFn m_trace;
    _snd_mixer* m_speakerMixer = nullptr;
    _snd_mixer* m_micMixer = nullptr;
    std::vector<Control> m_speaker;
    std::vector<Control> m_mic;
};
