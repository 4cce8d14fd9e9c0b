#pragma once
// Time as the transport reads it: a monotonic millisecond clock for
// intervals and round trips, and the wall clock as NTP time for reports and
// initial timestamps. Tests put a hand-driven clock in its place.
#include <cstdint>

struct VENtpTime {
    uint32_t seconds = 0;    // since 1 January 1900
    uint32_t fraction = 0;   // 1/2^32 s
    uint32_t Middle() const { return (seconds << 16) | (fraction >> 16); }
};

class VERtpClock {
public:
    virtual ~VERtpClock() = default;
    virtual int64_t NowMs() const;
    virtual VENtpTime NowNtp() const;

    // The process's real clock.
    static VERtpClock& Real();
};
