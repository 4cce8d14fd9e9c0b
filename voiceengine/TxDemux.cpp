#include "voiceengine/TxDemux.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/Vqe.h"

namespace {
int16_t saturate(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }
} // namespace

Tx_Demux::Tx_Demux() {
    m_from48.Init(48000, 16000);
    m_from44.Init(44000, 16000);
    m_from8.Init(8000, 16000);
    m_to8.Init(16000, 8000);
    for (auto& c : m_channels) c.toCodec.Init(16000, 8000);
}

Tx_Demux::~Tx_Demux() {
    if (m_micRecord) std::fclose(m_micRecord);
}

int Tx_Demux::PlayFileAsMic(std::FILE* stream, int format, float scale, bool loop) {
    QF_TRACE("Tx_Demux::PlayFileAsMic");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!stream) return -1;
    if (m_micFile) {
        std::fclose(stream);
        return -1;
    }
    auto file = std::make_unique<FILEConvert>();
    file->SetTrace(m_trace);
    if (file->Open(stream, format, scale, 0, 0, loop) != 0) return -1;
    m_micFile = std::move(file);
    m_fileAsMic = true;
    QF_LEAVE();
    return 0;
}

int Tx_Demux::StopFileAsMic() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_micFile.reset();
    m_fileAsMic = false;
    return 0;
}

bool Tx_Demux::IsPlayingFileAsMic() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_micFile != nullptr;
}

int Tx_Demux::StartRecordingMicrophone(std::FILE* stream) {
    QF_TRACE("Tx_Demux::StartRecordingMicrophone");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!stream) return -1;
    if (m_micRecord) std::fclose(m_micRecord);
    m_micRecord = stream;
    m_micRecording = true;
    QF_LEAVE();
    return 0;
}

int Tx_Demux::StopRecordingMicrophone() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_micRecord) std::fclose(m_micRecord);
    m_micRecord = nullptr;
    m_micRecording = false;
    return 0;
}

void Tx_Demux::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

void Tx_Demux::SetTrace(TraceFn trace) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_trace = std::move(trace);
}

void Tx_Demux::SetSink(BlockSink sink) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_sink = std::move(sink);
}

void Tx_Demux::SetVqe(VQE* vqe) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_vqe = vqe;
    m_vqeRate = 0;
    applyVqeSettings();
}

int Tx_Demux::EnableChannel(int channel, int codecRate) {
    QF_TRACE("Tx_Demux::EnableChannel");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels || (codecRate != 8000 && codecRate != 16000)) return -1;
    m_channels[static_cast<size_t>(channel)].sending = true;
    m_channels[static_cast<size_t>(channel)].codecRate = codecRate;
    QF_LEAVE();
    return 0;
}

int Tx_Demux::DisableChannel(int channel) {
    QF_TRACE("Tx_Demux::DisableChannel");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels) return -1;
    m_channels[static_cast<size_t>(channel)].sending = false;
    QF_LEAVE();
    return 0;
}

int Tx_Demux::SetCodecRate(int channel, int codecRate) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels || (codecRate != 8000 && codecRate != 16000)) return -1;
    m_channels[static_cast<size_t>(channel)].codecRate = codecRate;
    return 0;
}

bool Tx_Demux::IsSending(int channel) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return channel >= 0 && channel < kMaxChannels && m_channels[static_cast<size_t>(channel)].sending;
}

int Tx_Demux::NumSending() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_channels.begin(), m_channels.end(), [](const Channel& c) { return c.sending; }));
}

int Tx_Demux::SetMute(int channel, bool mute) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels) return -1;
    m_channels[static_cast<size_t>(channel)].muted = mute;
    return 0;
}

bool Tx_Demux::IsMuted(int channel) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return channel >= 0 && channel < kMaxChannels && m_channels[static_cast<size_t>(channel)].muted;
}

int Tx_Demux::SetConferenceSource(int channel, MixerParticipant* source, uint32_t ssrc) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels) return -1;
    m_channels[static_cast<size_t>(channel)].confSource = source;
    m_channels[static_cast<size_t>(channel)].ssrc = ssrc;
    return 0;
}

int Tx_Demux::AddToConference(int channel, bool on) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (channel < 0 || channel >= kMaxChannels) return -1;
    m_channels[static_cast<size_t>(channel)].conference = on;
    return 0;
}

void Tx_Demux::SetMicRecordingActive(bool on) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_micRecording = on;
}

void Tx_Demux::SetFileAsMicActive(bool on) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_fileAsMic = on;
}

int Tx_Demux::VqeEchoMode() const {
    if (m_ecStatus == 0) return 0;
    return m_ecType == 0 ? 1 : 2;
}

void Tx_Demux::applyVqeSettings() {
    if (!m_vqe) return;
    m_vqe->SetEchoMode(VqeEchoMode(), m_ecStatus == 2);
    m_vqe->SetNoiseLevel(VqeNoiseLevel());
    m_vqe->SetGainMode(VqeGainMode());
}

int Tx_Demux::SetECStatus(int mode) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (mode < 0 || mode > 2) return -1;
    m_ecStatus = mode;
    applyVqeSettings();
    return 0;
}

int Tx_Demux::SetECType(int type) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (type != 0 && type != 1) return -1;
    m_ecType = type;
    applyVqeSettings();
    return 0;
}

int Tx_Demux::SetNRStatus(int on) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (on != 0 && on != 1) return -1;
    m_nrOn = on == 1;
    applyVqeSettings();
    return 0;
}

int Tx_Demux::SetNRpolicy(int policy) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (policy < 0 || policy > 2) return -1;
    m_nrPolicy = policy;
    applyVqeSettings();
    return 0;
}

int Tx_Demux::SetAGCStatus(int on) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (on != 0 && on != 1) return -1;
    m_agcOn = on == 1;
    applyVqeSettings();
    return 0;
}

int Tx_Demux::SetAGCType(int type) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (type < 0 || type > 2) return -1;
    m_agcType = type;
    applyVqeSettings();
    return 0;
}

void Tx_Demux::Reset() {
    QF_TRACE("Tx_Demux::Reset");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_from48.Reset();
    m_from44.Reset();
    m_from8.Reset();
    m_to8.Reset();
    for (auto& c : m_channels) c.toCodec.Reset();
    m_level = 0;
    QF_LEAVE();
}

int Tx_Demux::chooseRate() const {
    if (m_micRecording || m_fileAsMic) return 16000;
    for (const Channel& c : m_channels) {
        if (c.sending && (c.codecRate == 16000 || c.conference)) return 16000;
    }
    return 8000;
}

int Tx_Demux::ProcessingRate() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_rate;
}

int Tx_Demux::InputLevel() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_level;
}

int Tx_Demux::send(const int16_t* samples, int count, int sampleRate, int delayMs, int micLevel) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    trace(kTraceStream, "\tTx_Demux::send(nrOfSamples=%d)", count);
    if (!samples || count != sampleRate / 100) return -1;

    const int rate = chooseRate();
    m_rate = rate;
    // Follow the processor's own rate: the engine may have reset it to
    // another rate in between (at the start of sending).
    if (m_vqe && m_vqe->SamplingRate() != rate && m_vqeRate != -rate) {
        if (m_vqe->Init(rate) == 0) {
            applyVqeSettings();
            m_vqeRate = rate;
        } else {
            m_vqeRate = -rate; // do not retry a failing init on every block
        }
    }

    // To 16 kHz first, then down to 8 kHz when that is the processing rate.
    int16_t wide[160];
    switch (sampleRate) {
    case 48000: m_from48.ProcessBlock(samples, count, wide, 160); break;
    case 44000: m_from44.ProcessBlock(samples, count, wide, 160); break;
    case 16000: std::memcpy(wide, samples, sizeof wide); break;
    case 8000:
        if (rate == 16000) m_from8.ProcessBlock(samples, count, wide, 160);
        break;
    default:
        return -1;
    }
    const int n = rate / 100;
    int16_t in[160];
    if (rate == 8000) {
        if (sampleRate == 8000) std::memcpy(in, samples, sizeof(int16_t) * 80);
        else m_to8.ProcessBlock(wide, 160, in, 80);
    } else {
        std::memcpy(in, wide, sizeof wide);
    }

    int16_t processed[160];
    int newLevel = micLevel;
    if (m_vqe) {
        int vqeLevel = micLevel;
        const int r = m_vqe->ProcessNearEnd(in, processed, n, delayMs, micLevel, vqeLevel);
        if (r != 0) {
            trace(kTraceWarning, "\tVQE error (returnVal = %d msecInSndCardOutBuf = %d)", r, delayMs);
            std::memcpy(processed, in, sizeof(int16_t) * static_cast<size_t>(n));
        } else if (m_agcOn && m_agcType == 2) {
            newLevel = vqeLevel;
        }
    } else {
        std::memcpy(processed, in, sizeof(int16_t) * static_cast<size_t>(n));
    }

    int peak = 0;
    for (int i = 0; i < n; ++i) peak = std::max(peak, std::abs(static_cast<int>(processed[i])));
    m_level = std::min(9, peak * 10 / 32768);

    // Recording and file-as-microphone both work at 16 kHz (the rate
    // choice above makes sure of it).
    if (m_micRecord && n == 160) {
        uint8_t bytes[320];
        for (int i = 0; i < 160; ++i) {
            bytes[2 * i] = static_cast<uint8_t>(processed[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>((processed[i] >> 8) & 0xFF);
        }
        if (std::fwrite(bytes, 1, sizeof bytes, m_micRecord) != sizeof bytes) {
            trace(kTraceError, "TX::recordMicrophone failed");
            StopRecordingMicrophone();
        }
    }
    if (m_micFile && n == 160) {
        int16_t file[160];
        const int r = m_micFile->Read10ms(file);
        if (r == 160) {
            for (int i = 0; i < 160; ++i) processed[i] = saturate(processed[i] + file[i]);
        } else {
            if (r < 0) trace(kTraceError, "TX::playAudioAsMic failed");
            m_micFile.reset();
            m_fileAsMic = false;
        }
    }

    // Conference audio: each participant's far end, fetched once.
    int16_t confAudio[kMaxChannels][160];
    bool confHas[kMaxChannels] = {};
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        Channel& c = m_channels[ch];
        if (!c.conference || !c.confSource) continue;
        int got = 0;
        int16_t tmp[160];
        if (c.confSource->GetAudio10ms(tmp, got) != 0) continue;
        if (got == n) {
            std::memcpy(confAudio[ch], tmp, sizeof(int16_t) * static_cast<size_t>(n));
            confHas[ch] = true;
        } else if (got == 80 && n == 160) {
            for (int i = 0; i < 160; ++i) confAudio[ch][i] = tmp[i / 2]; // sample-and-hold is enough for mixing
            confHas[ch] = true;
        } else if (got == 160 && n == 80) {
            for (int i = 0; i < 80; ++i) confAudio[ch][i] = tmp[2 * i];
            confHas[ch] = true;
        }
    }

    int16_t block[160];
    int16_t down[80];
    std::vector<uint32_t> csrcs;
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        Channel& c = m_channels[ch];
        if (!c.sending) continue;
        int32_t acc[160];
        for (int i = 0; i < n; ++i) acc[i] = c.muted ? 0 : processed[i];
        csrcs.clear();
        if (c.conference) {
            int participants = 0;
            for (size_t o = 0; o < m_channels.size(); ++o) {
                if (o == ch || !confHas[o]) continue;
                ++participants;
                for (int i = 0; i < n; ++i) acc[i] += confAudio[o][i];
                csrcs.push_back(m_channels[o].ssrc);
            }
            if (participants > kMaxCsrcs) {
                trace(kTraceWarning, "Limiting the numbers of CSRCs to 15 from %d", participants);
                csrcs.resize(kMaxCsrcs);
            }
        }
        for (int i = 0; i < n; ++i) block[i] = saturate(acc[i]);
        if (!m_sink) continue;
        if (c.codecRate == n * 100) {
            m_sink(static_cast<int>(ch), block, n, rate, csrcs);
        } else if (c.codecRate == 8000) {
            // Processing at 16 kHz for another channel: this one gets 8 kHz.
            c.toCodec.ProcessBlock(block, 160, down, 80);
            m_sink(static_cast<int>(ch), down, 80, 8000, csrcs);
        }
    }
    return newLevel;
}
