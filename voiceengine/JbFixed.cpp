#include "voiceengine/JbFixed.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/FileConvert.h"

namespace {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int16_t saturate(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

constexpr int kMarginMs = 10;          // safety kept above the latest arrivals
constexpr int kShrinkHysteresisMs = 15;
constexpr int kInitialDelayMs = 40;
constexpr double kHoldSpreadMs = 10;   // arrival spread above which an empty buffer waits
constexpr int kWindowMs = 2000;        // arrivals remembered for the delay decision
constexpr int kMaxBufferMs = 1000;     // audio kept ahead of playout at most
constexpr int kResyncMs = 2000;        // a jump beyond this restarts the timeline
constexpr int kMaxDropout = 3000;      // RFC 3550 sequence checks
constexpr int kMaxMisorder = 100;
constexpr int kFullLevelMs = 20;       // concealment plays at full level this long

} // namespace

JbFixed::JbFixed(int channelId) : m_channelId(channelId) {
    std::memset(m_seenSeq, 0xFF, sizeof m_seenSeq);
    m_hist.assign(static_cast<size_t>(16000 * kHistoryMs / 1000), 0);
}

JbFixed::~JbFixed() { trace(kTraceMemory, "\tJbFixed::~JbFixed() - dtor"); }

void JbFixed::trace(int level, const char* fmt, ...) {
    if (!m_trace) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    m_trace(level, buf);
}

int JbFixed::AddCodec(int payloadType, const std::string& name, int clockRate) {
    QF_TRACE("JbFixed::AddCodec");
    if (payloadType < 0 || payloadType >= kMaxPayloadTypes) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    Codec& c = m_codecs[payloadType];
    std::string n;
    for (char ch : name) n += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (n == "PCMU" || n == "XG711U") c.kind = Codec::kUlaw;
    else if (n == "PCMA" || n == "XG711A") c.kind = Codec::kAlaw;
    else if (n == "CN") c.kind = Codec::kCn;
    else if (n == "TELEPHONE-EVENT") c.kind = Codec::kEvent;
    else c.kind = Codec::kOther;
    c.rate = clockRate > 0 ? clockRate : 8000;
    QF_LEAVE();
    return 0;
}

void JbFixed::RemoveCodecs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& c : m_codecs) c = Codec{};
}

int JbFixed::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

void JbFixed::Reset() {
    QF_TRACE("JbFixed::Reset");
    std::lock_guard<std::mutex> lock(m_mutex);
    resetLocked();
    QF_LEAVE();
}

void JbFixed::resetLocked() {
    m_started = false;
    m_frames.clear();
    m_window.clear();
    m_growPending = 0;
    m_holdSamples = 0;
    m_concealedSamples = 0;
    m_gapFill.clear();
    m_cnActive = false;
    std::fill(m_hist.begin(), m_hist.end(), int16_t{0});
    m_seqInit = false;
    m_cycles = 0;
    m_receivedCount = 0;
    m_expectedPrior = 0;
    m_receivedPrior = 0;
    m_lastFraction = 0;
    m_jitter = 0;
    m_haveTransit = false;
    std::memset(m_seenSeq, 0xFF, sizeof m_seenSeq);
    m_stats = Stats{};
    m_waitSum = 0;
}

// ---- RFC 3550 receive statistics -------------------------------------------

void JbFixed::updateSequence(uint16_t seq) {
    if (!m_seqInit) {
        m_seqInit = true;
        m_baseSeq = seq;
        m_maxSeq = seq;
        m_badSeq = 0x10001; // none
        m_cycles = 0;
        m_receivedCount = 1;
        m_expectedPrior = m_receivedPrior = 0;
        return;
    }
    const uint16_t delta = static_cast<uint16_t>(seq - m_maxSeq);
    if (delta < kMaxDropout) {
        if (seq < m_maxSeq) m_cycles += 0x10000; // wrapped
        m_maxSeq = seq;
    } else if (delta <= 0x10000 - kMaxMisorder) {
        // A big jump: restart the count only when the next packet follows it.
        if (seq == m_badSeq) {
            m_baseSeq = seq;
            m_maxSeq = seq;
            m_cycles = 0;
            m_receivedCount = 0;
            m_expectedPrior = m_receivedPrior = 0;
        } else {
            m_badSeq = (static_cast<uint32_t>(seq) + 1) & 0xFFFF;
            return;
        }
    }
    // else: duplicate or reordered packet
    ++m_receivedCount;
}

void JbFixed::updateJitter(uint32_t rtpTs, int64_t arrivalUs) {
    const int64_t arrival = arrivalUs * m_rate / 1000000; // timestamp units
    const int64_t transit = arrival - static_cast<int64_t>(rtpTs);
    if (m_haveTransit) {
        int64_t d = transit - m_lastTransit;
        // Only the low 32 bits of the timestamps are meaningful.
        d = static_cast<int32_t>(static_cast<uint32_t>(d));
        if (d < 0) d = -d;
        m_jitter += (static_cast<double>(d) - m_jitter) / 16.0;
    }
    m_lastTransit = transit;
    m_haveTransit = true;
}

bool JbFixed::isDuplicate(uint16_t seq) {
    const uint32_t ext = m_cycles + seq;
    uint32_t& slot = m_seenSeq[seq % 1024];
    if (slot == ext) return true;
    slot = ext;
    return false;
}

void JbFixed::PeekRtcpStatistics(uint8_t& fractionLost, uint32_t& cumulativeLost, uint32_t& extendedHighestSeq,
                                 uint32_t& jitter) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t ext = m_cycles + m_maxSeq;
    const int64_t expected = m_seqInit ? static_cast<int64_t>(ext) - m_baseSeq + 1 : 0;
    int64_t lost = expected - m_receivedCount;
    lost = std::clamp<int64_t>(lost, -0x800000, 0x7FFFFF); // 24-bit signed field
    cumulativeLost = static_cast<uint32_t>(lost) & 0xFFFFFF;
    extendedHighestSeq = m_seqInit ? ext : 0;
    jitter = static_cast<uint32_t>(m_jitter);
    fractionLost = m_lastFraction;
}

int JbFixed::GetRtcpStatistics(uint8_t& fractionLost, uint32_t& cumulativeLost, uint32_t& extendedHighestSeq,
                               uint32_t& jitter) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_seqInit) {
            const uint32_t ext = m_cycles + m_maxSeq;
            const uint32_t expected = ext - m_baseSeq + 1;
            const uint32_t expectedInterval = expected - m_expectedPrior;
            const uint32_t receivedInterval = m_receivedCount - m_receivedPrior;
            m_expectedPrior = expected;
            m_receivedPrior = m_receivedCount;
            const int64_t lostInterval = static_cast<int64_t>(expectedInterval) - receivedInterval;
            m_lastFraction = (expectedInterval == 0 || lostInterval <= 0)
                                 ? 0
                                 : static_cast<uint8_t>(std::min<int64_t>(255, (lostInterval << 8) / expectedInterval));
        }
    }
    PeekRtcpStatistics(fractionLost, cumulativeLost, extendedHighestSeq, jitter);
    return 0;
}

// ---- packets in ------------------------------------------------------------

int JbFixed::InsertPacket(const uint8_t* p, int length, int64_t arrivalUs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (arrivalUs < 0) arrivalUs = nowUs();
    m_nowMs = arrivalUs / 1000;
    ++m_stats.received;
    auto reject = [&](int code) {
        m_lastError = code;
        ++m_stats.rejected;
        return -1;
    };
    if (!p || length < 12) return reject(kErrTooShort);
    if ((p[0] >> 6) != 2) return reject(kErrVersion);
    const int cc = p[0] & 0x0F;
    int offset = 12 + 4 * cc;
    if (p[0] & 0x10) { // header extension
        if (offset + 4 > length) return reject(kErrHeader);
        const int words = (p[offset + 2] << 8) | p[offset + 3];
        offset += 4 + 4 * words;
    }
    int end = length;
    if (p[0] & 0x20) { // padding
        const int pad = p[length - 1];
        if (pad == 0 || pad > length - offset) return reject(kErrHeader);
        end -= pad;
    }
    if (offset > end) return reject(kErrHeader);
    const int pt = p[1] & 0x7F;
    const uint16_t seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
    const uint32_t ts = (static_cast<uint32_t>(p[4]) << 24) | (static_cast<uint32_t>(p[5]) << 16) |
                        (static_cast<uint32_t>(p[6]) << 8) | p[7];
    const uint32_t ssrc = (static_cast<uint32_t>(p[8]) << 24) | (static_cast<uint32_t>(p[9]) << 16) |
                          (static_cast<uint32_t>(p[10]) << 8) | p[11];
    const Codec& codec = m_codecs[pt];
    if (codec.kind == Codec::kNone) return reject(kErrUnknownPayload);
    if (codec.kind == Codec::kOther) return reject(kErrNoDecoder);

    // A new source, or a rate change, starts a new timeline.
    if (m_started && (ssrc != m_ssrc || (codec.kind != Codec::kCn && codec.kind != Codec::kEvent && codec.rate != m_rate))) {
        trace(kTraceWarning, "JbFixed: new stream (ssrc %u, rate %d)", ssrc, codec.rate);
        resetLocked();
        ++m_stats.received;
    }

    if (m_seqInit && isDuplicate(seq)) {
        ++m_receivedCount; // RFC 3550 counts duplicates as received
        ++m_stats.duplicates;
        m_lastError = kErrDuplicate;
        return -1;
    }
    updateSequence(seq);
    if (m_receivedCount == 1) isDuplicate(seq);
    if (codec.kind != Codec::kCn && codec.kind != Codec::kEvent && !m_started) m_rate = codec.rate;
    updateJitter(ts, arrivalUs);
    if (codec.kind == Codec::kEvent) return 0; // events are handled by the transport; no audio here

    // Unwrap the timestamp against the last one seen.
    int64_t uts;
    if (!m_started) {
        m_tsBase = ts;
        uts = 0;
    } else {
        uts = m_lastTsUnwrapped + static_cast<int32_t>(ts - static_cast<uint32_t>(m_tsBase + m_lastTsUnwrapped));
    }
    const int perMs = m_rate / 1000;
    if (m_started && std::llabs(uts - m_playTs) > static_cast<int64_t>(kResyncMs) * perMs) {
        trace(kTraceWarning, "JbFixed: timestamp jump, restarting playout");
        m_frames.clear();
        m_window.clear();
        m_started = false;
        m_tsBase = ts;
        uts = 0;
    }
    Frame f;
    const uint8_t* payload = p + offset;
    const int plen = end - offset;
    if (codec.kind == Codec::kCn) {
        f.cn = true;
        f.cnLevel = plen > 0 ? static_cast<uint8_t>(payload[0] & 0x7F) : 127;
    } else {
        if (plen <= 0) return reject(kErrHeader);
        f.pcm.resize(static_cast<size_t>(plen));
        for (int i = 0; i < plen; ++i)
            f.pcm[static_cast<size_t>(i)] =
                codec.kind == Codec::kUlaw ? FILEConvert::UlawToLinear(payload[i]) : FILEConvert::AlawToLinear(payload[i]);
    }
    if (!m_started) {
        m_started = true;
        m_ssrc = ssrc;
        m_lastTsUnwrapped = 0;
        m_playTs = -static_cast<int64_t>(std::max(kInitialDelayMs, m_minDelayMs)) * perMs;
        m_holdSamples = 0;
    }
    m_lastTsUnwrapped = std::max(m_lastTsUnwrapped, uts);
    if (m_holdSamples >= 60 * perMs && uts - m_playTs > static_cast<int64_t>(kInitialDelayMs) * perMs) {
        // The stream paused (no packets for a while) and now resumes ahead
        // of a playout that was held: start it again at the normal delay.
        m_playTs = uts - static_cast<int64_t>(std::max(kInitialDelayMs, m_minDelayMs)) * perMs;
        m_holdSamples = 0;
        m_window.clear();
        m_growPending = 0;
    }

    const int64_t frameEnd = uts + static_cast<int64_t>(f.pcm.size());
    const double headroomMs = static_cast<double>(uts - m_playTs) / perMs;
    if (!f.cn && frameEnd <= m_playTs) {
        ++m_stats.late;
        m_lastError = kErrLate;
        // It needed this much more delay; grow by that plus the margin.
        const int64_t need = (m_playTs - uts) + static_cast<int64_t>(kMarginMs) * perMs;
        m_growPending = std::max(m_growPending, need);
        m_window.emplace_back(m_nowMs, headroomMs);
        return -1;
    }
    if (uts - m_playTs > static_cast<int64_t>(kMaxBufferMs) * perMs) {
        m_lastError = kErrBufferFull;
        ++m_stats.rejected;
        return -1;
    }
    if (m_frames.count(uts)) {
        ++m_stats.duplicates;
        m_lastError = kErrDuplicate;
        return -1;
    }
    f.waitMs = std::max(0.0, headroomMs);
    m_frames.emplace(uts, std::move(f));
    m_window.emplace_back(m_nowMs, headroomMs);
    while (!m_window.empty() && m_window.front().first < m_nowMs - kWindowMs) m_window.pop_front();
    if (headroomMs < kMarginMs && headroomMs >= 0) {
        // Arrived in time but closer than we like: grow a little.
        m_growPending = std::max<int64_t>(m_growPending, static_cast<int64_t>((kMarginMs - headroomMs) * perMs));
    }
    return 0;
}

// ---- audio out ---------------------------------------------------------------

int JbFixed::fetch(int64_t ts, int count, int16_t* out, uint8_t* mask) const {
    int present = 0;
    std::fill(out, out + count, int16_t{0});
    std::fill(mask, mask + count, uint8_t{0});
    auto it = m_frames.upper_bound(ts);
    if (it != m_frames.begin()) --it;
    for (; it != m_frames.end() && it->first < ts + count; ++it) {
        const Frame& f = it->second;
        if (f.cn) continue;
        const int64_t fs = it->first;
        const int64_t fe = fs + static_cast<int64_t>(f.pcm.size());
        const int64_t a = std::max(fs, ts);
        const int64_t b = std::min(fe, ts + count);
        for (int64_t t = a; t < b; ++t) {
            const size_t i = static_cast<size_t>(t - ts);
            if (!mask[i]) ++present;
            out[i] = f.pcm[static_cast<size_t>(t - fs)];
            mask[i] = 1;
        }
    }
    return present;
}

bool JbFixed::contiguous(int64_t ts, int count) const {
    std::vector<int16_t> tmp(static_cast<size_t>(count));
    std::vector<uint8_t> mask(static_cast<size_t>(count));
    return fetch(ts, count, tmp.data(), mask.data()) == count;
}

bool JbFixed::anyFrameAfter(int64_t ts) const { return m_frames.upper_bound(ts) != m_frames.end(); }

void JbFixed::dropConsumed() {
    for (auto it = m_frames.begin(); it != m_frames.end();) {
        Frame& f = it->second;
        const int64_t fe = it->first + static_cast<int64_t>(f.pcm.size());
        if (it->first < m_playTs && !f.counted) {
            f.counted = true;
            if (!f.cn) {
                ++m_stats.played;
                m_waitSum += f.waitMs;
            }
        }
        if (f.cn && it->first <= m_playTs) {
            m_cnActive = true;
            m_cnLevel = f.cnLevel;
            it = m_frames.erase(it);
        } else if (fe <= m_playTs) {
            it = m_frames.erase(it);
        } else {
            ++it;
        }
    }
}

void JbFixed::pushHistory(const int16_t* x, int count) {
    const size_t n = static_cast<size_t>(count);
    if (n >= m_hist.size()) {
        std::copy(x + (n - m_hist.size()), x + n, m_hist.begin());
        return;
    }
    std::move(m_hist.begin() + static_cast<long>(n), m_hist.end(), m_hist.begin());
    std::copy(x, x + n, m_hist.end() - static_cast<long>(n));
}

int JbFixed::bestLag(const int16_t* a, const int16_t* b, int len, int minLag, int maxLag, bool forward) const {
    // forward: compare a[i] with b[i + lag]; otherwise a[i] with b[i - lag].
    int best = minLag;
    double bestScore = -2.0;
    for (int lag = minLag; lag <= maxLag; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (int i = 0; i < len; ++i) {
            const double x = a[i];
            const double y = forward ? b[i + lag] : b[i - lag];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double score = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0.0;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

int JbFixed::findPitch(const int16_t* x, int len, int minLag, int maxLag) const {
    // x[len - 1] is the newest sample; compare the newest window with the
    // same window lag samples earlier.
    const int window = std::min(len - maxLag, m_rate * 3 / 400);
    if (window <= 0) return minLag;
    const int16_t* recent = x + len - window;
    return bestLag(recent, recent, window, minLag, maxLag, false);
}

void JbFixed::comfortNoise(int16_t* out, int count) {
    const double rms = 32768.0 * std::pow(10.0, -static_cast<double>(m_cnLevel) / 20.0);
    for (int i = 0; i < count; ++i) {
        // Sum of two uniforms: roughly bell-shaped noise, cheap and steady.
        m_noiseSeed = m_noiseSeed * 1664525u + 1013904223u;
        const double u1 = static_cast<double>(m_noiseSeed >> 8) / 16777216.0;
        m_noiseSeed = m_noiseSeed * 1664525u + 1013904223u;
        const double u2 = static_cast<double>(m_noiseSeed >> 8) / 16777216.0;
        out[i] = saturate(static_cast<int32_t>((u1 + u2 - 1.0) * rms * 2.45));
    }
}

double JbFixed::concealGain(int sample) const {
    // The repeated period matches the lost audio less and less the longer
    // a gap runs: full level for 20 ms, then down to half at 40 ms and to
    // silence at 80 ms. A guess that drifts out of phase then does less
    // harm than the silence it replaces would.
    const double ms = sample * 1000.0 / m_rate;
    if (ms < kFullLevelMs) return 1.0;
    if (ms < 40) return 1.0 - 0.5 * (ms - kFullLevelMs) / (40 - kFullLevelMs);
    if (ms < 80) return 0.5 - 0.5 * (ms - 40) / 40;
    return 0.0;
}

void JbFixed::startConcealment() {
    // Take the last pitch period of what was played. The period is found
    // to a fraction of a sample (a parabola through the correlations around
    // the best whole lag), so repeating it does not drift out of phase.
    const int minLag = m_rate / 400;  // 2.5 ms
    const int maxLag = m_rate * 15 / 1000;
    const int len = static_cast<int>(m_hist.size()) * m_rate / 16000;
    const int16_t* h = m_hist.data() + (m_hist.size() - static_cast<size_t>(len));
    const int lag = findPitch(h, len, minLag, maxLag);
    double frac = 0;
    const int window = std::min(len - maxLag - 1, m_rate * 3 / 400);
    if (window > 0 && lag > minLag && lag < maxLag) {
        const int16_t* recent = h + len - window;
        auto ncc = [&](int l) {
            double xy = 0, xx = 0, yy = 0;
            for (int i = 0; i < window; ++i) {
                xy += static_cast<double>(recent[i]) * recent[i - l];
                xx += static_cast<double>(recent[i]) * recent[i];
                yy += static_cast<double>(recent[i - l]) * recent[i - l];
            }
            return (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0.0;
        };
        const double a = ncc(lag - 1), b = ncc(lag), c = ncc(lag + 1);
        const double denom = a - 2 * b + c;
        if (denom < 0) frac = std::clamp(0.5 * (a - c) / denom, -0.5, 0.5);
    }
    // Repeat whole periods of at least 5 ms so short pitches do not buzz.
    double period = lag + frac;
    const double one = period;
    while (period < m_rate / 200) period += one;
    const int tail = std::min(len, static_cast<int>(std::ceil(period)) + 1);
    period = std::min(period, static_cast<double>(tail - 1));
    m_period.assign(h + len - tail, h + len);
    m_periodLen = period;
    m_concealPhase = 0;
}

void JbFixed::extend(int16_t* out, int count, bool fade) {
    const int tail = static_cast<int>(m_period.size());
    // The played audio, continued: the sample t after its end (t >= 0) is
    // the one a whole number of periods earlier.
    auto at = [&](double t) {
        t = std::fmod(t, m_periodLen) - m_periodLen;
        const double pos = tail + t;
        const int i0 = static_cast<int>(std::floor(pos));
        const double f = pos - i0;
        const double x0 = m_period[static_cast<size_t>(std::clamp(i0, 0, tail - 1))];
        if (f <= 0) return x0;
        // The sample just after the end is itself one period earlier.
        const int i1 = i0 + 1;
        double x1;
        if (i1 < tail) {
            x1 = m_period[static_cast<size_t>(i1)];
        } else {
            const double p1 = i1 - m_periodLen;
            const int j0 = std::clamp(static_cast<int>(std::floor(p1)), 0, tail - 1);
            const int j1 = std::min(j0 + 1, tail - 1);
            const double g = p1 - std::floor(p1);
            x1 = m_period[static_cast<size_t>(j0)] * (1.0 - g) + m_period[static_cast<size_t>(j1)] * g;
        }
        return x0 * (1.0 - f) + x1 * f;
    };
    for (int i = 0; i < count; ++i) {
        const double g = fade ? concealGain(m_concealedSamples + i) : 1.0;
        const double v = m_period.size() < 2 ? 0.0 : at(static_cast<double>(m_concealPhase));
        ++m_concealPhase;
        out[i] = saturate(static_cast<int32_t>(std::lround(v * g)));
    }
}

void JbFixed::conceal(int16_t* out, int count) {
    if (!m_concealOn) {
        std::fill(out, out + count, int16_t{0});
        m_concealedSamples += count;
        return;
    }
    if (m_concealedSamples == 0) startConcealment();
    extend(out, count, true);
    m_concealedSamples += count;
    const int fadeStart = m_rate * 20 / 1000; // comfort noise joins from here
    if (m_cnActive && m_concealedSamples > fadeStart) {
        int16_t noise[160];
        comfortNoise(noise, std::min(count, 160));
        for (int i = 0; i < std::min(count, 160); ++i) out[i] = saturate(out[i] + noise[i]);
    }
}

void JbFixed::prepareGap(int64_t from) {
    m_gapFill.clear();
    // The audio after the gap, if it is already here.
    auto it = m_frames.upper_bound(from);
    while (it != m_frames.end() && it->second.cn) ++it;
    if (it == m_frames.end()) return;
    const int64_t end = it->first;
    const int len = static_cast<int>(end - from);
    if (len <= 0 || len > m_rate * 60 / 1000) return;
    const int minLag = m_rate / 400;
    const int maxLag = m_rate * 15 / 1000;
    const int want = maxLag + m_rate / 100;
    std::vector<int16_t> next(static_cast<size_t>(want));
    std::vector<uint8_t> mask(static_cast<size_t>(want));
    fetch(end, want, next.data(), mask.data());
    int avail = 0;
    while (avail < want && mask[static_cast<size_t>(avail)]) ++avail;
    if (avail < 2 * minLag + m_rate / 200) return;
    const int window = std::min(m_rate / 100, avail - minLag);
    const int nextLag = bestLag(next.data(), next.data(), window, minLag, std::min(maxLag, avail - window), true);

    // Forward: the last pitch period played, repeated (continuing the one
    // already under way, at the level it has reached). Backward: the first
    // period after the gap, repeated back in time. A raised-cosine fade from
    // one to the other meets both edges in phase.
    if (m_concealedSamples == 0) startConcealment();
    const double g0 = concealGain(m_concealedSamples);
    std::vector<int16_t> before(static_cast<size_t>(len));
    extend(before.data(), len, false);
    m_gapFill.resize(static_cast<size_t>(len));
    for (int i = 0; i < len; ++i) {
        const int back = ((i - len) % nextLag + nextLag) % nextLag;
        const double w = 0.5 - 0.5 * std::cos(M_PI * (i + 1) / (len + 1));
        m_gapFill[static_cast<size_t>(i)] = saturate(static_cast<int32_t>(
            before[static_cast<size_t>(i)] * g0 * (1.0 - w) + next[static_cast<size_t>(back)] * w));
    }
    m_gapStart = from;
}

void JbFixed::concealAt(int64_t ts, int16_t* out, int count) {
    const bool inGap = !m_gapFill.empty() && ts >= m_gapStart && ts < m_gapStart + static_cast<int64_t>(m_gapFill.size());
    // Once the audio after the gap is here (at its start, or when it
    // arrives part way through), bridge the rest of the gap towards it.
    if (m_concealOn && !inGap) prepareGap(ts);
    if (m_concealOn && !m_gapFill.empty() && ts >= m_gapStart &&
        ts < m_gapStart + static_cast<int64_t>(m_gapFill.size())) {
        for (int i = 0; i < count; ++i) {
            const int64_t at = ts + i - m_gapStart;
            out[i] = at < static_cast<int64_t>(m_gapFill.size()) ? m_gapFill[static_cast<size_t>(at)] : int16_t{0};
        }
        // The fill already ends in phase with what follows: no fade needed.
        m_concealedSamples = 0;
        return;
    }
    conceal(out, count);
}

void JbFixed::shiftWindow(double ms) {
    for (auto& e : m_window) e.second += ms;
}

double JbFixed::windowSpreadMs() const {
    if (m_window.empty()) return 0;
    double lo = 1e9, hi = -1e9;
    for (const auto& e : m_window) {
        lo = std::min(lo, e.second);
        hi = std::max(hi, e.second);
    }
    return hi - lo;
}

double JbFixed::windowMinMs() const {
    double m = 1e9;
    for (const auto& e : m_window) m = std::min(m, e.second);
    return m;
}

void JbFixed::playBlock(int16_t* out) {
    const int n = m_rate / 100;
    const int perMs = m_rate / 1000;
    const int minLag = m_rate / 400;
    const int maxLag = m_rate * 15 / 1000;
    std::vector<int16_t> x(static_cast<size_t>(n + maxLag));
    std::vector<uint8_t> mask(static_cast<size_t>(n + maxLag));

    // Shrink: the recent arrivals all had more room than needed.
    const double floorMs = std::max(kMarginMs, m_minDelayMs);
    const bool windowFull = !m_window.empty() && m_window.front().first <= m_nowMs - kWindowMs / 2;
    const bool wantShrink = m_growPending == 0 && windowFull && windowMinMs() > floorMs + kShrinkHysteresisMs;
    if (wantShrink && fetch(m_playTs, n + maxLag, x.data(), mask.data()) == n + maxLag) {
        const int lag = bestLag(x.data(), x.data(), n, minLag, maxLag, true);
        for (int i = 0; i < n; ++i) {
            const double w = static_cast<double>(i) / n;
            out[i] = saturate(static_cast<int32_t>(x[static_cast<size_t>(i)] * (1.0 - w) + x[static_cast<size_t>(i + lag)] * w));
        }
        m_playTs += n + lag;
        shiftWindow(-static_cast<double>(lag) / perMs);
        ++m_stats.compressions;
        m_concealedSamples = 0;
        return;
    }

    const int present = fetch(m_playTs, n, x.data(), mask.data());
    if (present == n && m_growPending > 0) {
        // Grow: repeat one period, cross-faded, consuming n - lag samples.
        const int histLen = static_cast<int>(m_hist.size()) * m_rate / 16000;
        std::vector<int16_t> ext(static_cast<size_t>(histLen + n));
        std::copy(m_hist.end() - histLen, m_hist.end(), ext.begin());
        std::copy(x.begin(), x.begin() + n, ext.begin() + histLen);
        const int16_t* cur = ext.data() + histLen;
        const int lag = std::min<int>(bestLag(cur, cur, n, minLag, std::min(maxLag, histLen), false),
                                      static_cast<int>(std::min<int64_t>(m_growPending + minLag, maxLag)));
        for (int i = 0; i < n; ++i) {
            const double w = static_cast<double>(i) / n;
            out[i] = saturate(static_cast<int32_t>(cur[i] * (1.0 - w) + cur[i - lag] * w));
        }
        m_playTs += n - lag;
        m_growPending = std::max<int64_t>(0, m_growPending - lag);
        shiftWindow(static_cast<double>(lag) / perMs);
        ++m_stats.expansions;
        m_concealedSamples = 0;
        return;
    }

    if (present == 0) {
        if (!m_cnActive && !anyFrameAfter(m_playTs) && windowSpreadMs() > kHoldSpreadMs) {
            // Nothing to play yet on a jittery path: the packet is probably
            // late rather than lost. Hold the timeline (the delay grows) and
            // fill the gap. A long hold is usually a pause in the stream.
            conceal(out, n);
            m_holdSamples += n;
            shiftWindow(10.0);
            m_growPending = std::max<int64_t>(0, m_growPending - n);
            ++m_stats.expansions;
            ++m_stats.concealedBlocks;
            return;
        }
        if (m_cnActive) {
            comfortNoise(out, n);
            m_concealedSamples = 0;
        } else {
            concealAt(m_playTs, out, n);
            ++m_stats.concealedBlocks;
        }
        m_playTs += n;
        return;
    }

    // Real audio, possibly with holes.
    const bool resuming = m_concealedSamples > 0;
    std::vector<int16_t> fill(static_cast<size_t>(n));
    int firstMissing = 0;
    while (firstMissing < n && mask[static_cast<size_t>(firstMissing)]) ++firstMissing;
    if (present < n && !mask[0]) {
        concealAt(m_playTs, fill.data(), n);
    } else if (present == firstMissing && !resuming) {
        // The block's audio stops part way: predict the rest from the
        // freshest samples, this block's real beginning included.
        const std::vector<int16_t> saved = m_hist;
        pushHistory(x.data(), firstMissing);
        m_concealedSamples = 0;
        concealAt(m_playTs + firstMissing, fill.data() + firstMissing, n - firstMissing);
        m_hist = saved;
    } else if (present < n || resuming) {
        conceal(fill.data(), n);
    }
    for (int i = 0; i < n; ++i) out[i] = mask[static_cast<size_t>(i)] ? x[static_cast<size_t>(i)] : fill[static_cast<size_t>(i)];
    if (resuming) {
        // Fade from the concealment into the real signal over 5 ms.
        const int fade = std::min(n, m_rate / 200);
        for (int i = 0; i < fade; ++i) {
            if (!mask[static_cast<size_t>(i)]) continue;
            const double w = static_cast<double>(i + 1) / (fade + 1);
            out[i] = saturate(static_cast<int32_t>(fill[static_cast<size_t>(i)] * (1.0 - w) + x[static_cast<size_t>(i)] * w));
        }
    }
    if (present == n) {
        m_concealedSamples = 0;
    } else {
        ++m_stats.concealedBlocks;
    }
    m_cnActive = false;
    m_holdSamples = 0;
    m_playTs += n;
}

int JbFixed::GetAudio10ms(int16_t* out, int& samples) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int n = m_rate / 100;
    samples = n;
    if (!m_started) {
        std::fill(out, out + n, int16_t{0});
        m_voice = false;
        return 0;
    }
    // Before the first packet's time: the initial delay, played as silence.
    if (m_playTs + n <= 0 && m_frames.size() > 0 && m_frames.begin()->first >= m_playTs + n) {
        std::fill(out, out + n, int16_t{0});
        m_playTs += n;
        return 0;
    }
    playBlock(out);
    dropConsumed();
    // History is kept at the 16 kHz size; at 8 kHz only its tail is used.
    pushHistory(out, n);
    if (m_scale < 0.99f || m_scale > 1.01f) {
        for (int i = 0; i < n; ++i) out[i] = saturate(static_cast<int32_t>(out[i] * m_scale));
    }
    if (m_rxVad) {
        double e = 0;
        for (int i = 0; i < n; ++i) e += static_cast<double>(out[i]) * out[i];
        m_voice = e / n > 1.0e5; // about -40 dBFS
    }
    return 0;
}

// ---- settings and figures ----------------------------------------------------

uint32_t JbFixed::PlayoutTimestamp() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) return 0;
    return static_cast<uint32_t>(m_tsBase + static_cast<uint32_t>(m_playTs));
}

int JbFixed::SetMinDelay(int ms) {
    if (ms < 0 || ms > 1000) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_minDelayMs = ms;
    return 0;
}

int JbFixed::SetOutputScale(float scale) {
    if (!(scale >= 0.0f && scale <= 2.0f)) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scale = scale;
    return 0;
}

void JbFixed::EnableRxVad(bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rxVad = on;
    if (!on) m_voice = false;
}

bool JbFixed::VoiceActivity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_voice;
}

void JbFixed::SetConcealment(bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_concealOn = on;
}

JbFixed::Stats JbFixed::GetStats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Stats s = m_stats;
    s.meanWaitMs = s.played ? m_waitSum / s.played : 0.0;
    int64_t ahead = 0;
    if (!m_frames.empty()) {
        const auto& last = *m_frames.rbegin();
        ahead = last.first + static_cast<int64_t>(last.second.pcm.size()) - m_playTs;
    }
    s.currentDelayMs = static_cast<int>(std::max<int64_t>(0, ahead) * 1000 / m_rate);
    return s;
}

int JbFixed::Version(char* buffer, int len) {
    static const char kText[] =
        "JBCore\t\t3.1.4\n"
        "WBPCM\t\t\n"
        "XG711A\t\t\n"
        "XG711U\t\t\n"
        "AWB\t\t2.2.5.0\n"
        "AWB-LC\t\t3.2.3\n"
        "ILBC\t\t1.0.6\n"
        "G729\t\t\n"
        "CNG\t\t1.0.5\n"
        "audio/telephone-event\n";
    if (!buffer || len < 500) return -1;
    std::memcpy(buffer, kText, sizeof kText);
    return static_cast<int>(sizeof kText) - 1;
}
