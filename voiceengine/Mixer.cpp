#include "voiceengine/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/Vqe.h"

namespace {

int16_t saturate(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

constexpr double kPi = 3.14159265358979323846;
// Low and high group frequencies of the sixteen DTMF events (0-9, *, #, A-D).
constexpr double kDtmfLow[16] = {941, 697, 697, 697, 770, 770, 770, 852, 852, 852, 941, 941, 697, 770, 852, 941};
constexpr double kDtmfHigh[16] = {1336, 1209, 1336, 1477, 1209, 1336, 1477, 1209,
                                  1336, 1477, 1209, 1477, 1633, 1633, 1633, 1633};

} // namespace

Mixer::Mixer() {
    m_vqeDown.Init(16000, 8000);
    m_vqeUp.Init(8000, 16000);
    m_out8.Init(16000, 8000);
    m_out48[0].Init(16000, 48000);
    m_out48[1].Init(16000, 48000);
    for (auto& c : m_channels) c.up.Init(8000, 16000);
}

Mixer::~Mixer() = default;

void Mixer::SetTrace(TraceFn trace) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_trace = std::move(trace);
}

void Mixer::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

int Mixer::Init() {
    QF_TRACE("Mixer::Init");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (auto& c : m_channels) {
        c.playing = false;
        c.hold = false;
        c.left = c.right = 1.0f;
        c.file.reset();
        c.up.Reset();
    }
    m_playing = 0;
    m_idle = true;
    m_masterLeft = m_masterRight = 1.0f;
    m_toneSamplesLeft = 0;
    m_level = 0;
    QF_LEAVE();
    return 0;
}

int Mixer::Register(int channel, MixerParticipant* source) {
    QF_TRACE("Mixer::Register");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel) || !source) return -1;
    m_channels[static_cast<size_t>(channel)].source = source;
    QF_LEAVE();
    return 0;
}

int Mixer::Unregister(int channel) {
    QF_TRACE("Mixer::Unregister");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel)) return -1;
    RemoveChannel(channel);
    m_channels[static_cast<size_t>(channel)].source = nullptr;
    QF_LEAVE();
    return 0;
}

int Mixer::AddChannel(int channel) {
    QF_TRACE("Mixer::AddChannel");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel) || !m_channels[static_cast<size_t>(channel)].source) return -1;
    Channel& c = m_channels[static_cast<size_t>(channel)];
    if (!c.playing) {
        c.playing = true;
        c.up.Reset();
        ++m_playing;
    }
    m_idle = false;
    QF_LEAVE();
    return m_playing;
}

int Mixer::RemoveChannel(int channel) {
    QF_TRACE("Mixer::RemoveChannel");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel)) return -1;
    Channel& c = m_channels[static_cast<size_t>(channel)];
    if (c.playing) {
        c.playing = false;
        --m_playing;
    }
    // A file played into the channel ends with the channel's playout.
    c.file.reset();
    if (m_playing == 0) m_idle = true;
    QF_LEAVE();
    return m_playing;
}

bool Mixer::IsPlaying(int channel) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return valid(channel) && m_channels[static_cast<size_t>(channel)].playing;
}

int Mixer::NumPlaying() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_playing;
}

void Mixer::SetIdle() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_idle = true;
}

bool Mixer::IsIdle() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_idle;
}

int Mixer::PlayDtmfTone(int event, int lengthMs, int level) {
    QF_TRACE("Mixer::PlayDtmfTone");
    if (event < 0 || event > 15 || lengthMs < 0 || level < 0 || level > 36) {
        QF_LOG_ERROR("bad tone %d/%d/%d", event, lengthMs, level);
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_toneFreq[0] = kDtmfLow[event];
    m_toneFreq[1] = kDtmfHigh[event];
    m_tonePhase[0] = m_tonePhase[1] = 0;
    // Level 0 is the reference (a full-load sine 3 dB below clipping);
    // each of the two tones sits 3 dB below the level asked for.
    m_toneAmp = 32767.0 * std::pow(10.0, -(3.0 + 3.0 + level) / 20.0);
    m_toneSamplesTotal = m_toneSamplesLeft = lengthMs * (kMixRate / 1000);
    QF_LEAVE();
    return 0;
}

bool Mixer::IsTonePlaying() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_toneSamplesLeft > 0;
}

void Mixer::addTone(int32_t* mixL, int32_t* mixR) {
    const int n = std::min(m_toneSamplesLeft, static_cast<int>(kMixSamples));
    const int ramp = kMixRate / 500; // 2 ms fade in and out, no clicks
    for (int i = 0; i < n; ++i) {
        const int pos = m_toneSamplesTotal - m_toneSamplesLeft + i;
        const int toEnd = m_toneSamplesTotal - pos - 1;
        double g = 1.0;
        if (pos < ramp) g = static_cast<double>(pos) / ramp;
        if (toEnd < ramp) g = std::min(g, static_cast<double>(toEnd) / ramp);
        const double v =
            m_toneAmp * g * (std::sin(m_tonePhase[0]) + std::sin(m_tonePhase[1]));
        m_tonePhase[0] += 2 * kPi * m_toneFreq[0] / static_cast<double>(kMixRate);
        m_tonePhase[1] += 2 * kPi * m_toneFreq[1] / static_cast<double>(kMixRate);
        mixL[i] += static_cast<int32_t>(v);
        mixR[i] += static_cast<int32_t>(v);
    }
    m_toneSamplesLeft -= n;
}

int Mixer::PlayAudio(int channel, std::FILE* stream, int format, float scale, int startMs, int stopMs, bool loop) {
    QF_TRACE("Mixer::PlayAudio");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!stream) {
        trace(kTraceError, "Mixer::playAudio: no input stream");
        return -1;
    }
    if (!valid(channel)) {
        std::fclose(stream);
        return -1;
    }
    Channel& c = m_channels[static_cast<size_t>(channel)];
    if (c.file) {
        trace(kTraceError, "Mixer::playAudio: Already playing another file");
        std::fclose(stream);
        return -1;
    }
    auto file = std::make_unique<FILEConvert>();
    file->SetTrace(m_trace);
    if (file->Open(stream, format, scale, startMs, stopMs, loop) != 0) return -1;
    c.file = std::move(file);
    QF_LEAVE();
    return 0;
}

bool Mixer::IsPlayingFile(int channel) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return valid(channel) && m_channels[static_cast<size_t>(channel)].file != nullptr;
}

int Mixer::StopFile(int channel) {
    QF_TRACE("Mixer::StopFile");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel)) return -1;
    m_channels[static_cast<size_t>(channel)].file.reset();
    QF_LEAVE();
    return 0;
}

int Mixer::SetFileScale(int channel, float scale) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel) || !m_channels[static_cast<size_t>(channel)].file || !(scale >= 0.0f && scale <= 1.0f)) return -1;
    // Takes effect on the next block read.
    m_channels[static_cast<size_t>(channel)].file->SetScale(scale);
    return 0;
}

int Mixer::SetHold(int channel, bool hold) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel)) return -1;
    m_channels[static_cast<size_t>(channel)].hold = hold;
    return 0;
}

int Mixer::SetChannelPan(int channel, float left, float right) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel) || left < 0 || left > 2 || right < 0 || right > 2) return -1;
    m_channels[static_cast<size_t>(channel)].left = left;
    m_channels[static_cast<size_t>(channel)].right = right;
    return 0;
}

int Mixer::GetChannelPan(int channel, float& left, float& right) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!valid(channel)) return -1;
    left = m_channels[static_cast<size_t>(channel)].left;
    right = m_channels[static_cast<size_t>(channel)].right;
    return 0;
}

int Mixer::SetMasterGain(float left, float right) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (left < 0 || left > 2 || right < 0 || right > 2) return -1;
    m_masterLeft = left;
    m_masterRight = right;
    return 0;
}

void Mixer::SetVqe(VQE* vqe) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_vqe = vqe;
}

void Mixer::SetEchoControl(bool on, bool suppressor) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_echoOn = on;
    m_suppressor = suppressor;
}

int Mixer::OutputLevel() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_level;
}

int Mixer::Get(int desiredSampFreq, int outChannels, int16_t* out, int& samplesPerChannel) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    trace(kTraceStream, "\tMixer::get(desiredSampFreq=%d)", desiredSampFreq);
    samplesPerChannel = 0;
    if (desiredSampFreq != 8000 && desiredSampFreq != 16000 && desiredSampFreq != 48000) return -1;
    if (outChannels != 1 && outChannels != 2) return -1;

    int32_t mixL[kMixSamples] = {};
    int32_t mixR[kMixSamples] = {};
    bool panned = m_masterLeft != 1.0f || m_masterRight != 1.0f;
    int16_t block[kMixSamples];
    int16_t up[kMixSamples];

    if (!m_idle) {
        for (size_t ch = 0; ch < m_channels.size(); ++ch) {
            Channel& c = m_channels[ch];
            if (!c.playing) continue;
            if (c.left != 1.0f || c.right != 1.0f) panned = true;
            int n = 0;
            // The buffer is always drained, also on hold, so that it does
            // not fill up while the channel is silent.
            if (c.source && c.source->GetAudio10ms(block, n) == 0 && !c.hold) {
                const int16_t* src = block;
                if (n == kMixSamples / 2) {
                    c.up.ProcessBlock(block, n, up, kMixSamples);
                    src = up;
                } else if (n != kMixSamples) {
                    src = nullptr;
                }
                if (src) {
                    for (int i = 0; i < kMixSamples; ++i) {
                        mixL[i] += static_cast<int32_t>(src[i] * c.left);
                        mixR[i] += static_cast<int32_t>(src[i] * c.right);
                    }
                }
            }
            if (c.file) {
                const int r = c.file->Read10ms(block);
                if (r == kMixSamples) {
                    for (int i = 0; i < kMixSamples; ++i) {
                        mixL[i] += static_cast<int32_t>(block[i] * c.left);
                        mixR[i] += static_cast<int32_t>(block[i] * c.right);
                    }
                } else {
                    if (r < 0) trace(kTraceError, "mixer::playAudio failed");
                }
                // Playback over (end of data, stop position or error): the
                // player is released.
                if (!c.file->IsOpen()) c.file.reset();
            }
        }
    }
    if (m_toneSamplesLeft > 0) addTone(mixL, mixR);

    int16_t mono[kMixSamples];
    int16_t left[kMixSamples];
    int16_t right[kMixSamples];
    for (int i = 0; i < kMixSamples; ++i) {
        if (panned) {
            left[i] = saturate(static_cast<int32_t>(mixL[i] * m_masterLeft));
            right[i] = saturate(static_cast<int32_t>(mixR[i] * m_masterRight));
            mono[i] = static_cast<int16_t>((left[i] + right[i]) / 2);
        } else {
            mono[i] = saturate(mixL[i]);
            left[i] = right[i] = mono[i];
        }
    }

    if (m_echoOn && m_vqe) {
        int r = 0;
        if (m_vqe->SamplingRate() == 8000) {
            int16_t far8[kMixSamples / 2];
            m_vqeDown.ProcessBlock(mono, kMixSamples, far8, kMixSamples / 2);
            r = m_vqe->ProcessFarEnd(far8, kMixSamples / 2);
            if (r == 0 && m_suppressor) m_vqeUp.ProcessBlock(far8, kMixSamples / 2, mono, kMixSamples);
        } else {
            int16_t far16[kMixSamples];
            std::memcpy(far16, mono, sizeof far16);
            r = m_vqe->ProcessFarEnd(far16, kMixSamples);
            if (r == 0 && m_suppressor) std::memcpy(mono, far16, sizeof far16);
        }
        if (r != 0) trace(kTraceWarning, "\tVQE_speaker call error (warning code = %d)", r);
        if (r == 0 && m_suppressor && !panned) std::memcpy(left, mono, sizeof mono), std::memcpy(right, mono, sizeof mono);
    }

    int peak = 0;
    for (int i = 0; i < kMixSamples; ++i) peak = std::max(peak, std::abs(static_cast<int>(mono[i])));
    m_level = std::min(9, peak * 10 / 32768);

    const bool stereo = outChannels == 2;
    switch (desiredSampFreq) {
    case 8000: {
        int16_t m8[kMixSamples / 2];
        m_out8.ProcessBlock(mono, kMixSamples, m8, kMixSamples / 2);
        for (int i = 0; i < kMixSamples / 2; ++i) {
            if (stereo) out[2 * i] = out[2 * i + 1] = m8[i];
            else out[i] = m8[i];
        }
        samplesPerChannel = kMixSamples / 2;
        break;
    }
    case 16000:
        for (int i = 0; i < kMixSamples; ++i) {
            if (stereo) {
                out[2 * i] = panned ? left[i] : mono[i];
                out[2 * i + 1] = panned ? right[i] : mono[i];
            } else {
                out[i] = mono[i];
            }
        }
        samplesPerChannel = kMixSamples;
        break;
    case 48000: {
        int16_t a[kMixSamples * 3];
        int16_t b[kMixSamples * 3];
        if (stereo && panned) {
            m_out48[0].ProcessBlock(left, kMixSamples, a, kMixSamples * 3);
            m_out48[1].ProcessBlock(right, kMixSamples, b, kMixSamples * 3);
            for (int i = 0; i < kMixSamples * 3; ++i) {
                out[2 * i] = a[i];
                out[2 * i + 1] = b[i];
            }
        } else {
            m_out48[0].ProcessBlock(mono, kMixSamples, a, kMixSamples * 3);
            for (int i = 0; i < kMixSamples * 3; ++i) {
                if (stereo) out[2 * i] = out[2 * i + 1] = a[i];
                else out[i] = a[i];
            }
        }
        samplesPerChannel = kMixSamples * 3;
        break;
    }
    }
    return 0;
}
