#include "voiceengine/rtp/VERtpReceiveStatistics.h"

#include <algorithm>
#include <cstdlib>

namespace {
constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kSeqMod = 1u << 16;
} // namespace

void VERtpReceiveStatistics::Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    Restart(0, 0);
    m_valid = false;
}

void VERtpReceiveStatistics::Restart(uint32_t ssrc, uint16_t sequence) {
    m_valid = true;
    m_ssrc = ssrc;
    m_baseSeq = sequence;
    m_maxSeq = sequence;
    m_badSeq = 0x10001;
    m_cycles = 0;
    m_received = 0;
    m_expectedPrior = 0;
    m_receivedPrior = 0;
    m_lastFraction = 0;
    m_jitter16 = 0;
    m_haveTransit = false;
}

void VERtpReceiveStatistics::Update(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, int frequency,
                                    int64_t arrivalMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_valid || ssrc != m_ssrc) {
        // A new source starts the figures afresh.
        Restart(ssrc, sequence);
    } else {
        const uint16_t delta = static_cast<uint16_t>(sequence - m_maxSeq);
        if (delta < kMaxDropout) {
            if (sequence < m_maxSeq) m_cycles += kSeqMod;
            m_maxSeq = sequence;
        } else if (delta <= kSeqMod - kMaxMisorder) {
            // A large jump: believe it only when the next packet follows it.
            if (sequence == m_badSeq) {
                Restart(ssrc, sequence);
            } else {
                m_badSeq = (static_cast<uint32_t>(sequence) + 1) & (kSeqMod - 1);
                return;
            }
        }
        // else: duplicate or reordered, counted below
    }
    ++m_received;

    if (frequency > 0) {
        const int64_t arrival = arrivalMs * frequency / 1000;
        const int64_t transit = static_cast<int64_t>(static_cast<uint32_t>(arrival) - timestamp);
        const int64_t transit32 = static_cast<int32_t>(static_cast<uint32_t>(transit));
        if (m_haveTransit) {
            int64_t d = transit32 - m_lastTransit;
            if (d < 0) d = -d;
            m_jitter16 += d - ((m_jitter16 + 8) >> 4);
        }
        m_lastTransit = transit32;
        m_haveTransit = true;
    }
}

VERtpReceiveReport VERtpReceiveStatistics::Compute(bool newInterval) {
    VERtpReceiveReport r;
    if (!m_valid) return r;
    r.valid = true;
    r.ssrc = m_ssrc;
    const uint32_t extendedMax = m_cycles + m_maxSeq;
    r.extendedHighestSequence = extendedMax;
    const uint32_t expected = extendedMax - m_baseSeq + 1;
    int64_t lost = static_cast<int64_t>(expected) - static_cast<int64_t>(m_received);
    r.cumulativeLost = static_cast<int32_t>(std::clamp<int64_t>(lost, -0x800000, 0x7FFFFF));
    r.received = m_received;
    r.jitter = static_cast<uint32_t>(m_jitter16 >> 4);
    const uint32_t expectedInterval = expected - m_expectedPrior;
    const uint32_t receivedInterval = m_received - m_receivedPrior;
    const int64_t lostInterval = static_cast<int64_t>(expectedInterval) - receivedInterval;
    uint8_t fraction = 0;
    if (expectedInterval != 0 && lostInterval > 0)
        fraction = static_cast<uint8_t>(std::min<int64_t>(255, (lostInterval << 8) / expectedInterval));
    if (newInterval) {
        m_expectedPrior = expected;
        m_receivedPrior = m_received;
        m_lastFraction = fraction;
        r.fractionLost = fraction;
    } else {
        r.fractionLost = fraction;
    }
    return r;
}

VERtpReceiveReport VERtpReceiveStatistics::MakeReport() {
    std::lock_guard<std::mutex> lock(m_lock);
    return Compute(true);
}

VERtpReceiveReport VERtpReceiveStatistics::Peek() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return const_cast<VERtpReceiveStatistics*>(this)->Compute(false);
}
