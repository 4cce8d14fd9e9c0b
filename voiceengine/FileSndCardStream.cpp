#include "voiceengine/FileSndCardStream.h"

#include "app/Trace.h"

#include <chrono>
#include <cstring>
#include <pthread.h>

VEFileSndCardStream::VEFileSndCardStream(VESndCardCallback* engine, Config config)
    : m_engine(engine), m_config(std::move(config)) {
    QF_TRACE("VEFileSndCardStream::VEFileSndCardStream");
    if (!m_config.micFile.empty()) {
        int rate = 0;
        std::string error;
        std::vector<int16_t> samples;
        if (wavfile::Read(m_config.micFile, samples, rate, &error)) {
            m_mic = wavfile::Resample(samples, rate, kSampleRate);
        } else {
            m_micOk = false;
            QF_LOG_ERROR("microphone file %s: %s", m_config.micFile.c_str(), error.c_str());
        }
    }
    QF_LEAVE();
}

VEFileSndCardStream::~VEFileSndCardStream() { Shutdown(); }

void VEFileSndCardStream::SetMicSamples(std::vector<int16_t> samples48k) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_mic = std::move(samples48k);
    m_micPos = 0;
}

std::vector<int16_t> VEFileSndCardStream::SpeakerSamples() const {
    auto* self = const_cast<VEFileSndCardStream*>(this);
    std::lock_guard<std::recursive_mutex> guard(self->m_lock);
    return m_speakerMemory;
}

int VEFileSndCardStream::StartThread() {
    QF_TRACE("VEFileSndCardStream::StartThread");
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_config.speakerFile.empty() && !m_speaker.IsOpen()) {
        if (!m_speaker.Open(m_config.speakerFile, kSampleRate))
            QF_LOG_ERROR("cannot write speaker file %s", m_config.speakerFile.c_str());
    }
    if (m_config.paced && !m_threadStarted) {
        {
            std::lock_guard<std::mutex> stop(m_stopLock);
            m_stop = false;
        }
        m_thread = std::thread(&VEFileSndCardStream::ThreadMain, this);
        m_threadStarted = true;
    }
    QF_LEAVE();
    return 0;
}

int VEFileSndCardStream::Shutdown() {
    if (m_threadStarted) {
        {
            std::lock_guard<std::mutex> stop(m_stopLock);
            m_stop = true;
        }
        m_stopCv.notify_all();
        m_thread.join();
        m_threadStarted = false;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_recording = false;
    m_playing = false;
    m_recInit = false;
    m_playInit = false;
    m_speaker.Close();
    return 0;
}

void VEFileSndCardStream::ThreadMain() {
    // The device clock: a block every 10 ms. There is no device position to
    // watch, so the thread sleeps until each block is due instead of ticking
    // every 2 ms. After a stall (debugger, overloaded machine) at most five
    // blocks are caught up.
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    m_startedAtUs = std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch()).count();
    auto next = start + std::chrono::milliseconds(kBlockMs);
    std::unique_lock<std::mutex> lk(m_stopLock);
    while (!m_stop) {
        m_stopCv.wait_until(lk, next);
        if (m_stop)
            break;
        auto now = clock::now();
        int ran = 0;
        while (now >= next && ran < 5) {
            lk.unlock();
            Step();
            lk.lock();
            next += std::chrono::milliseconds(kBlockMs);
            ++ran;
        }
        if (now >= next)
            next = now + std::chrono::milliseconds(kBlockMs);
    }
}

void VEFileSndCardStream::Step() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    RunBlockLocked();
}

void VEFileSndCardStream::RunBlockLocked() {
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    int16_t play[kBlockSamples];
    memset(play, 0, sizeof play);
    if (m_playing) {
        int got = 0;
        if (m_engine->NeedMorePlayData(play, got, kSampleRate, kBlockSamples, 0) != 0)
            memset(play, 0, sizeof play);
    }
    if (m_speaker.IsOpen())
        m_speaker.Append(play, kBlockSamples);
    if (m_config.keepSpeakerInMemory)
        m_speakerMemory.insert(m_speakerMemory.end(), play, play + kBlockSamples);

    int16_t rec[kBlockSamples];
    memset(rec, 0, sizeof rec);
    const bool advanceMic = m_recording || !m_config.micFromRecordStart;
    if (advanceMic && !m_mic.empty()) {
        for (int i = 0; i < kBlockSamples; ++i) {
            if (m_micPos >= m_mic.size()) {
                if (!m_config.loopMic)
                    break;
                m_micPos = 0;
            }
            rec[i] = m_mic[m_micPos++];
        }
    }
    if (m_recording) {
        // The engine may take the lock again; it is recursive. A real device
        // releases it around this call, and so do we.
        m_lock.unlock();
        int level = m_engine->RecordedDataIsAvailable(rec, kBlockSamples, 0, m_micLevel.load(), kSampleRate, 0);
        m_lock.lock();
        if (level > 0 && m_analogAgc)
            m_micLevel = level > 255 ? 255 : level;
    }
    ++m_blocks;
    const double used = std::chrono::duration<double>(clock::now() - t0).count();
    m_load = 0.99 * m_load + 0.01 * (used / 0.010);
}

int VEFileSndCardStream::OpenSpeakerMixer() { return 0; }
int VEFileSndCardStream::OpenMicrophoneMixer(bool) { return 0; }

int VEFileSndCardStream::InitRecording() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_micOk)
        return -1;
    m_recInit = true;
    return 0;
}

int VEFileSndCardStream::InitPlayout() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_playInit = true;
    return 0;
}

int VEFileSndCardStream::StartRecording() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_recInit)
        return -3;
    if (m_config.micFromRecordStart)
        m_micPos = 0;
    m_recording = true;
    return 0;
}

int VEFileSndCardStream::StartPlayout() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_playInit)
        return -6;
    // No device buffer to prefill: the next block is the first one played.
    m_playing = true;
    return 0;
}

int VEFileSndCardStream::StopRecording() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_recording = false;
    m_recInit = false;
    return 0;
}

int VEFileSndCardStream::StopPlayout() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_playing = false;
    m_playInit = false;
    if (m_speaker.IsOpen())
        m_speaker.Flush();
    return 0;
}

int VEFileSndCardStream::GetMicLevel() { return m_micLevel.load(); }

int VEFileSndCardStream::SetMicLevel(int level) {
    if (level < 0 || level > 255)
        return -1;
    m_micLevel = level;
    return 0;
}

int VEFileSndCardStream::GetSpeakerLevel() { return m_speakerLevel.load(); }

int VEFileSndCardStream::SetSpeakerLevel(int level) {
    if (level < 0 || level > 255)
        return -1;
    m_speakerLevel = level;
    return 0;
}

int VEFileSndCardStream::GetWaveOutVolume(uint32_t& volume) {
    volume = m_waveOutVolume.load();
    return 0;
}

int VEFileSndCardStream::SetWaveOutVolume(uint32_t volume) {
    m_waveOutVolume = volume;
    return 0;
}

int VEFileSndCardStream::SelectDevices(int, int) { return 0; }
int VEFileSndCardStream::SelectDevicesByName(const char*, const char*) { return 0; }

int VEFileSndCardStream::SetAnalogAGC(bool on) {
    m_analogAgc = on;
    return 0;
}

int64_t VEFileSndCardStream::MediaClockUs() const {
    if (m_config.paced)
        return -1;
    return static_cast<int64_t>(m_blocks.load()) * kBlockMs * 1000;
}

int VEFileSndCardStream::CpuLoad() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_recording)
        return 0;
    return static_cast<int>(m_load * 100.0);
}
