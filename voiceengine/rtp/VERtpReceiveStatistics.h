#pragma once
// Reception figures of one incoming RTP source as our report blocks carry
// them: sequence tracking with wrap and restart, cumulative and interval
// loss, interarrival jitter.
#include <cstdint>
#include <mutex>

struct VERtpReceiveReport {
    uint32_t ssrc = 0;
    uint8_t fractionLost = 0;
    int32_t cumulativeLost = 0;          // clamped to 24 bits signed
    uint32_t extendedHighestSequence = 0;
    uint32_t jitter = 0;                 // timestamp units
    uint32_t received = 0;
    bool valid = false;                  // a source has been seen
};

class VERtpReceiveStatistics {
public:
    void Reset();
    // One packet as it arrived; `frequency` is the payload's sampling rate
    // (<= 0 leaves the jitter alone), `arrivalMs` a monotonic time.
    void Update(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, int frequency, int64_t arrivalMs);
    // Figures for a report block; moves the interval for the fraction lost.
    VERtpReceiveReport MakeReport();
    // The same without starting a new interval.
    VERtpReceiveReport Peek() const;

private:
    VERtpReceiveReport Compute(bool newInterval);
    void Restart(uint32_t ssrc, uint16_t sequence);

    mutable std::mutex m_lock;
    bool m_valid = false;
    uint32_t m_ssrc = 0;
    uint16_t m_maxSeq = 0;
    uint32_t m_cycles = 0;          // wraps, shifted by 16
    uint32_t m_baseSeq = 0;
    uint32_t m_badSeq = 0x10001;    // impossible value
    uint32_t m_received = 0;
    uint32_t m_expectedPrior = 0;
    uint32_t m_receivedPrior = 0;
    uint8_t m_lastFraction = 0;
    int64_t m_jitter16 = 0;         // jitter * 16
    bool m_haveTransit = false;
    int64_t m_lastTransit = 0;
};
