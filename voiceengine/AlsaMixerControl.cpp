#include "voiceengine/AlsaMixerControl.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

AlsaMixerControl::~AlsaMixerControl() { Close(); }

void AlsaMixerControl::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

long AlsaMixerControl::SpeakerValue(int level, long min, long max) {
    level = std::clamp(level, 0, 255);
    const double scale = static_cast<double>(max - min + 1) / 256.0;
    return std::min(max, static_cast<long>(level * scale) + min);
}

int AlsaMixerControl::SpeakerLevel(long value, long min, long max) {
    const double scale = static_cast<double>(max - min + 1) / 256.0;
    if (scale <= 0) return -1;
    return std::clamp(static_cast<int>(static_cast<double>(value - min) / scale + 1e-9), 0, 255);
}

long AlsaMixerControl::MicValue(int level, long min, long max) {
    level = std::clamp(level, 0, 255);
    const long v16 = level == 0 ? 0 : static_cast<long>(level) * 256 - 1;
    if (max <= min) return min;
    return min + static_cast<long>(static_cast<long long>(v16) * (max - min) / 65535);
}

int AlsaMixerControl::MicLevel(long value, long min, long max) {
    if (max <= min) return -1;
    const long long v16 = static_cast<long long>(value - min) * 65535 / (max - min);
    return std::clamp(static_cast<int>((v16 + 1) / 256), 0, 255);
}

std::string AlsaMixerControl::MixerNameFor(const std::string& pcmName) {
    for (const char* prefix : {"hw:", "plughw:", "sysdefault:"}) {
        if (pcmName.rfind(prefix, 0) == 0) {
            std::string card = pcmName.substr(std::strlen(prefix));
            if (card.rfind("CARD=", 0) == 0) card = card.substr(5);
            card = card.substr(0, card.find_first_of(",:"));
            if (!card.empty()) return "hw:" + card;
        }
    }
    return "default";
}

_snd_mixer* AlsaMixerControl::open(const std::string& name) {
    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) return nullptr;
    if (snd_mixer_attach(mixer, name.c_str()) < 0 || snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer) < 0) {
        snd_mixer_close(mixer);
        return nullptr;
    }
    return mixer;
}

void AlsaMixerControl::Close() {
    m_speaker.clear();
    m_mic.clear();
    if (m_speakerMixer) snd_mixer_close(m_speakerMixer);
    if (m_micMixer) snd_mixer_close(m_micMixer);
    m_speakerMixer = m_micMixer = nullptr;
}

int AlsaMixerControl::OpenSpeaker(const std::string& mixerName) {
    QF_TRACE("AlsaMixerControl::OpenSpeaker");
    m_speaker.clear();
    if (m_speakerMixer) snd_mixer_close(m_speakerMixer);
    m_speakerMixer = open(mixerName);
    if (!m_speakerMixer) {
        trace(kTraceError, "\tinitiateSpeaker failed (waveOutGetNumDevs() = %d)", 0);
        return -1;
    }
    // Preferred order of playback elements.
    int total = 0;
    for (const char* want : {"Master", "PCM", "Speaker", "Headphone"}) {
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(m_speakerMixer); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_has_playback_volume(e)) continue;
            if (std::strcmp(snd_mixer_selem_get_name(e), want) != 0) continue;
            ++total;
            Control c;
            c.elem = e;
            snd_mixer_selem_get_playback_volume_range(e, &c.min, &c.max);
            if (c.max > c.min && static_cast<int>(m_speaker.size()) < kMaxSpeakerControls) m_speaker.push_back(c);
        }
    }
    if (m_speaker.empty()) {
        // Any playback volume will do on an unusual card.
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(m_speakerMixer); e && m_speaker.empty(); e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_has_playback_volume(e)) continue;
            Control c;
            c.elem = e;
            snd_mixer_selem_get_playback_volume_range(e, &c.min, &c.max);
            if (c.max > c.min) m_speaker.push_back(c), ++total;
        }
    }
    trace(kTraceInfo, "\t\t%d mixers will be controlled (total %d)", static_cast<int>(m_speaker.size()), total);
    if (m_speaker.empty()) {
        trace(kTraceError, "\tinitiateSpeaker failed (waveOutGetNumDevs() = %d)", 1);
        return -1;
    }
    QF_LEAVE();
    return 0;
}

int AlsaMixerControl::OpenMicrophone(const std::string& mixerName, bool switchOffBoost) {
    QF_TRACE("AlsaMixerControl::OpenMicrophone");
    m_mic.clear();
    if (m_micMixer) snd_mixer_close(m_micMixer);
    m_micMixer = open(mixerName);
    if (!m_micMixer) {
        trace(kTraceError, "\tmixerGetNumDevs() (no mixers present)");
        return -1;
    }
    int index = 0;
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(m_micMixer); e; e = snd_mixer_elem_next(e), ++index) {
        const std::string name = lower(snd_mixer_selem_get_name(e));
        const bool micLike = name.rfind("mic", 0) == 0 || name == "headset" || name == "capture";
        if (!micLike) continue;
        if (switchOffBoost && name.find("boost") != std::string::npos && snd_mixer_selem_has_capture_switch(e)) {
            snd_mixer_selem_set_capture_switch_all(e, 0);
            continue;
        }
        if (!snd_mixer_selem_has_capture_volume(e)) continue;
        trace(kTraceInfo, "\t\tsource microphone/digital (connection %d/%d)", index, 0);
        if (snd_mixer_selem_has_capture_switch(e)) {
            int on = 1;
            snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_FRONT_LEFT, &on);
            if (!on) {
                trace(kTraceWarning, "\tmic level control is disabled (device %d/%d)", index, 0);
                continue;
            }
        }
        Control c;
        c.elem = e;
        snd_mixer_selem_get_capture_volume_range(e, &c.min, &c.max);
        if (c.max > c.min && static_cast<int>(m_mic.size()) < kMaxMicControls) m_mic.push_back(c);
    }
    if (m_mic.empty()) return -1;
    QF_LEAVE();
    return 0;
}

int AlsaMixerControl::SetSpeakerLevel(int level) {
    if (m_speaker.empty()) return -1;
    for (const Control& c : m_speaker) {
        const int r = snd_mixer_selem_set_playback_volume_all(c.elem, SpeakerValue(level, c.min, c.max));
        if (r < 0) {
            trace(kTraceError, "\tmixerSetControlDetails() failed (error code %d)", r);
            return -1;
        }
    }
    return 0;
}

int AlsaMixerControl::GetSpeakerLevel() {
    if (m_speaker.empty()) return -1;
    const Control& c = m_speaker.front();
    long v = 0;
    const int r = snd_mixer_selem_get_playback_volume(c.elem, SND_MIXER_SCHN_FRONT_LEFT, &v);
    if (r < 0) {
        trace(kTraceError, "\tmixerGetControlDetails() failed (mmr=%d)", r);
        return -1;
    }
    return SpeakerLevel(v, c.min, c.max);
}

int AlsaMixerControl::SetMicLevel(int level) {
    if (m_mic.empty()) {
        trace(kTraceError, "\tSetMicLevel() (sound card not found)");
        return -1;
    }
    int r = 0;
    for (const Control& c : m_mic) r = snd_mixer_selem_set_capture_volume_all(c.elem, MicValue(level, c.min, c.max));
    return r < 0 ? -1 : 0;
}

int AlsaMixerControl::GetMicLevel() {
    if (m_mic.empty()) {
        trace(kTraceError, "\tGetMicLevel() (sound card not found)");
        return -1;
    }
    const Control& c = m_mic.front();
    long v = 0;
    if (snd_mixer_selem_get_capture_volume(c.elem, SND_MIXER_SCHN_FRONT_LEFT, &v) < 0) return -1;
    return MicLevel(v, c.min, c.max);
}

int AlsaMixerControl::SetOutputVolume(uint32_t volume) {
    if (m_speaker.empty()) return -1;
    const Control& c = m_speaker.front();
    const long span = c.max - c.min;
    const long left = c.min + static_cast<long>((volume & 0xFFFF) * span / 65535);
    const long right = c.min + static_cast<long>((volume >> 16) * span / 65535);
    if (snd_mixer_selem_set_playback_volume(c.elem, SND_MIXER_SCHN_FRONT_LEFT, left) < 0) return -1;
    if (!snd_mixer_selem_is_playback_mono(c.elem))
        snd_mixer_selem_set_playback_volume(c.elem, SND_MIXER_SCHN_FRONT_RIGHT, right);
    return 0;
}

int AlsaMixerControl::GetOutputVolume(uint32_t& volume) {
    if (m_speaker.empty()) return -1;
    const Control& c = m_speaker.front();
    long l = 0, r = 0;
    if (snd_mixer_selem_get_playback_volume(c.elem, SND_MIXER_SCHN_FRONT_LEFT, &l) < 0) return -1;
    r = l;
    if (!snd_mixer_selem_is_playback_mono(c.elem)) snd_mixer_selem_get_playback_volume(c.elem, SND_MIXER_SCHN_FRONT_RIGHT, &r);
    const long span = std::max(1L, c.max - c.min);
    volume = static_cast<uint32_t>((l - c.min) * 65535 / span) | (static_cast<uint32_t>((r - c.min) * 65535 / span) << 16);
    return 0;
}
