#include "voiceengine/AlsaSndCardStream.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kRate = VESndCardStream::kSampleRate;
constexpr int kBlock = VESndCardStream::kBlockSamples;

// Opens a PCM for 48 kHz 16-bit with 10 ms periods; mono where the device
// allows it, else stereo. Returns the channel count, or a negative error
// (-1 open, -2 parameters).
int openPcm(const std::string& name, snd_pcm_stream_t dir, snd_pcm_t** out) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name.c_str(), dir, SND_PCM_NONBLOCK) < 0) return -1;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned int channels = 0;
    bool ok = false;
    for (unsigned int ch : {1u, 2u}) {
        if (snd_pcm_hw_params_any(pcm, hw) < 0) break;
        unsigned int rate = kRate;
        snd_pcm_uframes_t period = kBlock;
        // Room for the deepest playout buffer (150 ms) and some slack.
        snd_pcm_uframes_t buffer = kBlock * 40;
        int dirArg = 0;
        if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
            snd_pcm_hw_params_set_channels(pcm, hw, ch) < 0 ||
            snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &dirArg) < 0 || rate != static_cast<unsigned>(kRate))
            continue;
        snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dirArg);
        snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
        if (snd_pcm_hw_params(pcm, hw) < 0) continue;
        channels = ch;
        ok = true;
        break;
    }
    if (!ok) {
        snd_pcm_close(pcm);
        return -2;
    }
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm, sw) == 0) {
        // Playback starts once the prefill is in; capture is started by hand.
        snd_pcm_sw_params_set_start_threshold(pcm, sw, dir == SND_PCM_STREAM_PLAYBACK ? kBlock * 3 : 1);
        snd_pcm_sw_params_set_avail_min(pcm, sw, kBlock);
        snd_pcm_sw_params(pcm, sw);
    }
    *out = pcm;
    return static_cast<int>(channels);
}

// ALSA prints its own complaints on stderr (a missing card gives a dozen
// lines per open); the failures reach our callers as results instead.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

} // namespace

AlsaSndCardStream::AlsaSndCardStream(VESndCardCallback* engine, TraceFn trace)
    : m_engine(engine), m_trace(std::move(trace)) {
    static const bool quiet = (snd_lib_error_set_handler(quietAlsa), true);
    (void)quiet;
    m_control.SetTrace(m_trace);
    m_mixer.SetTrace(m_trace);
    m_buf.resize(kBlock * 2);
}

AlsaSndCardStream::~AlsaSndCardStream() { Shutdown(); }

void AlsaSndCardStream::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

std::vector<std::string> AlsaSndCardStream::DeviceNames(bool capture) {
    std::vector<std::string> names;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return names;
    for (void** h = hints; *h; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* io = snd_device_name_get_hint(*h, "IOID");
        const bool fits = !io || std::strcmp(io, capture ? "Input" : "Output") == 0;
        if (name && fits) names.emplace_back(name);
        std::free(name);
        std::free(io);
    }
    snd_device_name_free_hint(hints);
    return names;
}

// ---- thread and timer ----------------------------------------------------------

bool AlsaSndCardStream::startTimer(int periodMs) {
    if (m_timerFd < 0) return false;
    itimerspec period{};
    period.it_interval.tv_nsec = static_cast<long>(periodMs) * 1000000L;
    period.it_value.tv_nsec = period.it_interval.tv_nsec;
    return timerfd_settime(m_timerFd, 0, &period, nullptr) == 0;
}

int AlsaSndCardStream::StartThread() {
    QF_TRACE("AlsaSndCardStream::StartThread");
    if (m_threadRunning.load()) return 0;
    m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_timerFd < 0 || !startTimer(2)) trace(kTraceCritical, "\ttimeSetEvent() failed");
    m_stop = false;
    try {
        m_thread = std::thread(&AlsaSndCardStream::threadMain, this);
    } catch (const std::exception&) {
        trace(kTraceCritical, "\tCreateThread() (error code = %d)", errno);
        if (m_timerFd >= 0) close(m_timerFd);
        m_timerFd = -1;
        return -1;
    }
    // Time-critical where the system allows it; ordinary priority otherwise.
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(m_thread.native_handle(), SCHED_FIFO, &sp);
    m_threadRunning = true;
    QF_LEAVE();
    return 0;
}

int AlsaSndCardStream::Shutdown() {
    QF_TRACE("AlsaSndCardStream::Shutdown");
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    m_threadRunning = false;
    if (m_timerFd >= 0) close(m_timerFd);
    m_timerFd = -1;
    Lock();
    closePlayout();
    closeRecording();
    m_mixer.Close();
    Unlock();
    {
        // Nobody may wait for a prefill that will never come.
        std::lock_guard<std::mutex> lock(m_prefillMutex);
        m_firstPlayout = false;
    }
    m_prefillCv.notify_all();
    QF_LEAVE();
    return 0;
}

void AlsaSndCardStream::threadMain() {
    int64_t lastStatsMs = nowMs();
    while (!m_stop.load()) {
        pollfd pfd{m_timerFd, POLLIN, 0};
        const int r = m_timerFd >= 0 ? poll(&pfd, 1, 1000) : (usleep(2000), 1);
        if (r < 0) {
            if (errno == EINTR) continue;
            trace(kTraceError, "\tRestarting timerID (VE_EVENT_ERROR)");
            startTimer(45); // the watchdog brings it back to 2 ms
            continue;
        }
        if (r == 0) continue; // timeout: nothing to do
        if (m_timerFd >= 0) {
            uint64_t expirations = 0;
            if (read(m_timerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN) continue;
        }
        ++m_ticks;
        const int64_t now = nowMs();

        Lock();
        bool prefilled = false;
        {
            std::lock_guard<std::mutex> lock(m_prefillMutex);
            if (m_firstPlayout && m_play) {
                std::vector<int16_t> silence(kBlock, 0);
                for (int i = 0; i < kPrefillBlocks; ++i) writeBlock(silence.data());
                m_playing = true;
                m_firstPlayout = false;
                m_prefillDone = true;
                m_lastPlayMs = now;
                prefilled = true;
            }
        }
        if (prefilled) m_prefillCv.notify_all();

        if (m_playing.load() || m_recording.load()) {
            if (m_watchdog.OnTick(now)) {
                trace(kTraceWarning, "\tRestarting timerID (_timerFaults>5)");
                startTimer(2);
            }
        } else {
            m_watchdog.Follow(now);
        }

        if (m_playing.load() && now - m_lastPlayMs >= m_control.PlayInterval()) {
            const int64_t since = now - m_lastPlayMs;
            m_lastPlayMs = now;
            if (playProc() < 0) trace(kTraceError, "\tPlayProc() failed");
            if (since > 12 && playProc() < 0) trace(kTraceError, "\tPlayProc() failed");
        }

        int64_t recordNs = 0;
        if (m_recording.load()) {
            if (now - m_lastRecMs > 4) {
                m_lastRecMs = now;
                const int64_t t0 = nowNs();
                const int r2 = recordProc(now);
                if (r2 < 0) trace(kTraceError, "\tRecordProc() error");
                if (r2 > 0) {
                    recordNs = nowNs() - t0;
                    if (recordNs > 100000000 || recordNs < 0) recordNs = 0;
                    if (recordNs == 0) recordNs = 1;
                }
            }
            // Stall detection: 5 s of audio (480000 bytes) must come in
            // about 5 s; nothing for 8 s is an error.
            if (m_bytesSinceCheck >= 480000) {
                if (now - m_checkMs > 5700) m_engine->ProblemIsReported(1);
                m_bytesSinceCheck -= 480000;
                m_checkMs = now;
            } else if (now - m_checkMs > 8000) {
                m_engine->ProblemIsReported(3);
                m_checkMs = now;
            }
            if (recordNs > 0) {
                m_load = static_cast<double>(m_playAccumNs + recordNs) / 1e9 + 0.99 * m_load;
                m_playAccumNs = 0;
            }
        } else {
            m_checkMs = now;
            m_bytesSinceCheck = 0;
            m_load = 0;
        }
        Unlock();
        (void)lastStatsMs;
    }
}

// ---- playout -------------------------------------------------------------------

int AlsaSndCardStream::playoutDelayMs() {
    if (!m_play) return 0;
    snd_pcm_sframes_t frames = 0;
    const int r = snd_pcm_delay(m_play, &frames);
    if (r < 0) {
        if (r == -EPIPE) snd_pcm_prepare(m_play);
        return 0;
    }
    return static_cast<int>(std::max<snd_pcm_sframes_t>(0, frames) * 1000 / kRate);
}

int AlsaSndCardStream::writeBlock(const int16_t* mono) {
    const int16_t* data = mono;
    if (m_playChannels == 2) {
        for (int i = 0; i < kBlock; ++i) m_buf[static_cast<size_t>(2 * i)] = m_buf[static_cast<size_t>(2 * i + 1)] = mono[i];
        data = m_buf.data();
    }
    snd_pcm_sframes_t r = snd_pcm_writei(m_play, data, kBlock);
    if (r == -EPIPE || r == -ESTRPIPE) {
        // The device ran dry. Now and then is normal; five times within
        // ten seconds is a playout problem worth telling the engine about.
        const int64_t now = nowMs();
        if (now - m_xrunWindowMs > 10000) {
            m_xrunWindowMs = now;
            m_xruns = 0;
        }
        if (++m_xruns == 5) m_engine->ProblemIsReported(2);
        snd_pcm_prepare(m_play);
        r = snd_pcm_writei(m_play, data, kBlock);
    }
    if (r == -EAGAIN) return 0; // device full: this block is skipped
    if (r < 0) {
        trace(kTraceError, "\twaveOutWrite failed (unknown error: %i)", static_cast<int>(r));
        if (++m_writeFailures == 50) m_engine->ProblemIsReported(4);
        return -1;
    }
    m_writeFailures = 0;
    m_writtenSamples += static_cast<unsigned long>(r);
    return 0;
}

int AlsaSndCardStream::playProc() {
    const int er = playoutDelayMs();
    const unsigned long played = m_writtenSamples > static_cast<unsigned long>(er) * 48 ? m_writtenSamples - static_cast<unsigned long>(er) * 48 : 0;
    const auto d = m_control.Step(er, m_writtenSamples, played);
    if (!d.writeBlock) return 0;
    int16_t block[kBlock];
    int got = 0;
    const int64_t t0 = nowNs();
    if (m_engine->NeedMorePlayData(block, got, kRate, kBlock, 0) != 0 || got != kBlock) std::fill(block, block + kBlock, int16_t{0});
    m_playAccumNs += nowNs() - t0;
    if (writeBlock(block) != 0) {
        trace(kTraceError, "\twaveOutWrite() failed");
        return -1;
    }
    ++m_blocksPlayed;
    return 0;
}

int AlsaSndCardStream::InitPlayout() {
    QF_TRACE("AlsaSndCardStream::InitPlayout");
    Lock();
    if (m_playInit.load()) {
        Unlock();
        return 0;
    }
    {
        const auto names = DeviceNames(false);
        for (size_t i = 0; i < names.size(); ++i)
            trace(kTraceInfo, "mmr=%d deviceNo=%d name=%s", 0, static_cast<int>(i), names[i].c_str());
    }
    const int ch = openPcm(m_outName, SND_PCM_STREAM_PLAYBACK, &m_play);
    if (ch < 0) {
        trace(kTraceError, "\twaveOutOpen() failed (device %s)", m_outName.c_str());
        m_play = nullptr;
        Unlock();
        return ch;
    }
    m_playChannels = ch;
    trace(kTraceInfo, "\twaveOutOpen() performed (_out_device=%s)", m_outName.c_str());
    const bool bluetooth = m_outName.find("Bluetooth Audio") != std::string::npos;
    if (bluetooth) trace(kTraceInfo, "Bluetooth Audio used");
    m_control.Reset(bluetooth);
    m_writtenSamples = 0;
    m_writeFailures = 0;
    trace(kTraceInfo, "\tInitial playout status: _buffersize=%d, _minBuffer=%d", m_control.BufferSize(),
          m_control.MinBuffer());
    m_playInit = true;
    Unlock();
    QF_LEAVE();
    return 0;
}

int AlsaSndCardStream::StartPlayout() {
    QF_TRACE("AlsaSndCardStream::StartPlayout");
    if (!m_playInit.load()) return -6;
    if (m_playing.load()) return 0;
    std::unique_lock<std::mutex> lock(m_prefillMutex);
    m_firstPlayout = true;
    m_prefillDone = false;
    if (!m_threadRunning.load()) {
        m_firstPlayout = false;
        QF_LOG_ERROR("audio thread not running");
        return -5;
    }
    // The audio thread writes the prefill on its next tick; never wait
    // longer than a few hundred ticks for it.
    const bool ok = m_prefillCv.wait_for(lock, std::chrono::milliseconds(kPrefillWaitMs), [&] { return m_prefillDone; });
    if (!ok) {
        m_firstPlayout = false;
        QF_LOG_ERROR("prefill did not happen");
        return -5;
    }
    QF_LEAVE();
    return 0;
}

void AlsaSndCardStream::closePlayout() {
    if (m_play) {
        snd_pcm_drop(m_play);
        snd_pcm_close(m_play);
        trace(kTraceInfo, " waveOutClose() performed");
    }
    m_play = nullptr;
    m_playing = false;
    m_playInit = false;
}

int AlsaSndCardStream::StopPlayout() {
    QF_TRACE("AlsaSndCardStream::StopPlayout");
    {
        std::lock_guard<std::mutex> lock(m_prefillMutex);
        m_firstPlayout = false;
    }
    Lock();
    closePlayout();
    Unlock();
    QF_LEAVE();
    return 0;
}

// ---- recording ------------------------------------------------------------------

int AlsaSndCardStream::InitRecording() {
    QF_TRACE("AlsaSndCardStream::InitRecording");
    Lock();
    if (m_recInit.load()) {
        trace(kTraceInfo, "\tSound card recording already initialized");
        Unlock();
        return 0;
    }
    {
        const auto names = DeviceNames(true);
        for (size_t i = 0; i < names.size(); ++i)
            trace(kTraceInfo, "mmr=%d deviceNo=%d name=%s", 0, static_cast<int>(i), names[i].c_str());
    }
    const int ch = openPcm(m_inName, SND_PCM_STREAM_CAPTURE, &m_rec);
    if (ch < 0) {
        trace(kTraceError, "\tWaveInOpen failed, probably a bad device ID");
        m_rec = nullptr;
        Unlock();
        return -1;
    }
    m_recChannels = ch;
    trace(kTraceInfo, "\twaveInOpen() performed (in_device=%s)", m_inName.c_str());
    m_recInit = true;
    Unlock();
    QF_LEAVE();
    return 0;
}

int AlsaSndCardStream::StartRecording() {
    QF_TRACE("AlsaSndCardStream::StartRecording");
    Lock();
    if (!m_rec) {
        Unlock();
        return -1;
    }
    snd_pcm_prepare(m_rec);
    if (snd_pcm_start(m_rec) < 0) {
        Unlock();
        return -3;
    }
    trace(kTraceInfo, "\twaveInStart performed");
    m_putBackDelay = 4;
    m_lastPartial = -1;
    m_partialLooks = 0;
    m_checkMs = nowMs();
    m_bytesSinceCheck = 0;
    m_recording = true;
    Unlock();
    QF_LEAVE();
    return 0;
}

void AlsaSndCardStream::closeRecording() {
    if (m_rec) {
        trace(kTraceInfo, "\tPerforming waveInStop()");
        snd_pcm_drop(m_rec);
        trace(kTraceInfo, "\tPerforming waveInClose()");
        snd_pcm_close(m_rec);
    }
    m_rec = nullptr;
    m_recording = false;
    m_recInit = false;
}

int AlsaSndCardStream::StopRecording() {
    QF_TRACE("AlsaSndCardStream::StopRecording");
    Lock();
    closeRecording();
    Unlock();
    QF_LEAVE();
    return 0;
}

int AlsaSndCardStream::recordProc(int64_t now) {
    (void)now;
    snd_pcm_sframes_t avail = snd_pcm_avail_update(m_rec);
    if (avail < 0) {
        // Overrun or suspend: start again, and keep more audio queued from
        // now on; give up reporting once that has not helped.
        snd_pcm_recover(m_rec, static_cast<int>(avail), 1);
        snd_pcm_start(m_rec);
        if (m_putBackDelay > kMaxPutBackDelay - 1) {
            m_engine->ProblemIsReported(3);
        } else {
            ++m_putBackDelay;
            trace(kTraceWarning, "\tcapture overrun (put-back-delay increased to %d)", m_putBackDelay);
        }
        return 0;
    }
    snd_pcm_uframes_t want = kBlock;
    if (avail < kBlock) {
        if (avail == 0) {
            m_lastPartial = -1;
            m_partialLooks = 0;
            return 0;
        }
        if (avail != m_lastPartial) {
            m_lastPartial = avail;
            m_partialLooks = 1;
            return 0;
        }
        if (++m_partialLooks < 5) return 0;
        trace(kTraceStream, "\t\tbytesRecorded=%d", static_cast<int>(avail * 2));
        want = static_cast<snd_pcm_uframes_t>(avail);
    }
    m_lastPartial = -1;
    m_partialLooks = 0;
    std::vector<int16_t> raw(static_cast<size_t>(kBlock * m_recChannels), 0);
    const snd_pcm_sframes_t got = snd_pcm_readi(m_rec, raw.data(), want);
    if (got < 0) {
        if (got != -EAGAIN) snd_pcm_recover(m_rec, static_cast<int>(got), 1);
        return 0;
    }
    int16_t block[kBlock] = {};
    for (snd_pcm_sframes_t i = 0; i < got; ++i) block[i] = raw[static_cast<size_t>(i * m_recChannels)]; // left side
    m_bytesSinceCheck += static_cast<uint64_t>(got) * 2;

    // Total delay for echo control: what is still to be played plus what
    // is recorded but not yet fetched.
    snd_pcm_sframes_t left = snd_pcm_avail_update(m_rec);
    const int delay = playoutDelayMs() + static_cast<int>(std::max<snd_pcm_sframes_t>(0, left) * 1000 / kRate);
    int level = 0;
    if (m_analogAgc.load()) {
        level = m_mixer.GetMicLevel();
        if (level < 0) level = 128;
    }
    Unlock();
    const int newLevel = m_engine->RecordedDataIsAvailable(block, kBlock, delay, level, kRate, 0);
    Lock();
    ++m_blocksRecorded;
    if (m_analogAgc.load() && newLevel > 0 && newLevel != level) {
        trace(kTraceStream, "AGC change of volume. Old volume: %d. New volume: %d", level, newLevel);
        m_mixer.SetMicLevel(newLevel);
    }
    return static_cast<int>(got) * 2;
}

// ---- levels, devices, load ---------------------------------------------------------

int AlsaSndCardStream::OpenSpeakerMixer() {
    Lock();
    const int r = m_mixer.OpenSpeaker(AlsaMixerControl::MixerNameFor(m_outName));
    Unlock();
    return r;
}

int AlsaSndCardStream::OpenMicrophoneMixer(bool switchOffBoost) {
    Lock();
    const int r = m_mixer.OpenMicrophone(AlsaMixerControl::MixerNameFor(m_inName), switchOffBoost);
    Unlock();
    return r;
}

int AlsaSndCardStream::GetMicLevel() {
    Lock();
    const int r = m_mixer.GetMicLevel();
    Unlock();
    return r;
}

int AlsaSndCardStream::SetMicLevel(int level) {
    Lock();
    const int r = m_mixer.SetMicLevel(level);
    Unlock();
    return r;
}

int AlsaSndCardStream::GetSpeakerLevel() {
    Lock();
    const int r = m_mixer.GetSpeakerLevel();
    Unlock();
    return r;
}

int AlsaSndCardStream::SetSpeakerLevel(int level) {
    Lock();
    const int r = m_mixer.SetSpeakerLevel(level);
    Unlock();
    return r;
}

int AlsaSndCardStream::GetWaveOutVolume(uint32_t& volume) {
    Lock();
    const int r = m_mixer.GetOutputVolume(volume);
    Unlock();
    return r;
}

int AlsaSndCardStream::SetWaveOutVolume(uint32_t volume) {
    Lock();
    const int r = m_mixer.SetOutputVolume(volume);
    Unlock();
    return r;
}

int AlsaSndCardStream::SelectDevices(int inDevice, int outDevice) {
    QF_TRACE("AlsaSndCardStream::SelectDevices");
    const auto ins = DeviceNames(true);
    const auto outs = DeviceNames(false);
    if (inDevice < -1 || outDevice < -1 || inDevice >= static_cast<int>(ins.size()) ||
        outDevice >= static_cast<int>(outs.size()))
        return -1;
    Lock();
    m_inName = inDevice < 0 ? "default" : ins[static_cast<size_t>(inDevice)];
    m_outName = outDevice < 0 ? "default" : outs[static_cast<size_t>(outDevice)];
    Unlock();
    QF_LEAVE();
    return 0;
}

int AlsaSndCardStream::SelectDevicesByName(const char* inName, const char* outName) {
    QF_TRACE("AlsaSndCardStream::SelectDevicesByName");
    if (!inName || !outName || !*inName || !*outName) return -1;
    // A name is good when ALSA lists it or can open it.
    auto usable = [](const char* name, bool capture) {
        const auto names = DeviceNames(capture);
        if (std::find(names.begin(), names.end(), name) != names.end()) return true;
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, name, capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
            return false;
        snd_pcm_close(pcm);
        return true;
    };
    if (!usable(inName, true) || !usable(outName, false)) return -1;
    Lock();
    m_inName = inName;
    m_outName = outName;
    Unlock();
    QF_LEAVE();
    return 0;
}

std::string AlsaSndCardStream::PlayoutDeviceName() {
    Lock();
    std::string n = m_outName;
    Unlock();
    return n;
}

std::string AlsaSndCardStream::RecordingDeviceName() {
    Lock();
    std::string n = m_inName;
    Unlock();
    return n;
}

int AlsaSndCardStream::SetAnalogAGC(bool on) {
    m_analogAgc = on;
    return 0;
}

int AlsaSndCardStream::CpuLoad() {
    Lock();
    const int r = m_recording.load() ? static_cast<int>(m_load * 100.0) : 0;
    Unlock();
    return r;
}

int AlsaSndCardStream::PutBackDelay() {
    Lock();
    const int r = m_putBackDelay;
    Unlock();
    return r;
}

int AlsaSndCardStream::PlayoutBufferSize() {
    Lock();
    const int r = m_control.BufferSize();
    Unlock();
    return r;
}
