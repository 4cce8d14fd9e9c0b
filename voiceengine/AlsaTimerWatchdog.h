#pragma once
// Watches the audio thread's 2 ms timer: a tick that comes 8 ms or more
// after the previous one is late. More than five late ticks in a row mean
// the timer has gone bad and must be restarted; after a restart the count
// starts at -20, so the next restart needs 26 further late ticks.
#include <cstdint>

class AlsaTimerWatchdog {
public:
    enum { kLateMs = 8, kMaxFaults = 5, kAfterRestart = -20 };

    // Returns true when the timer should be restarted now.
    bool OnTick(int64_t nowMs) {
        const bool first = !m_haveTick;
        const int64_t gap = nowMs - m_lastTickMs;
        m_lastTickMs = nowMs;
        m_haveTick = true;
        if (first) return false;
        if (gap < kLateMs) {
            m_faults = 0;
            return false;
        }
        if (++m_faults > kMaxFaults) {
            m_faults = kAfterRestart;
            return true;
        }
        return false;
    }
    // Ticks while neither recording nor playing only keep the time.
    void Follow(int64_t nowMs) {
        m_lastTickMs = nowMs;
        m_haveTick = true;
    }
    int Faults() const { return m_faults; }

private:
    int64_t m_lastTickMs = 0;
    bool m_haveTick = false;
    int m_faults = 0;
};
