#include "voiceengine/rtp/VERtpClock.h"

#include <chrono>

int64_t VERtpClock::NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

VENtpTime VERtpClock::NowNtp() const {
    constexpr uint64_t kUnixToNtp = 2208988800ull;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    const uint64_t secs = static_cast<uint64_t>(ns / 1000000000);
    const uint64_t rest = static_cast<uint64_t>(ns % 1000000000);
    VENtpTime t;
    t.seconds = static_cast<uint32_t>(secs + kUnixToNtp);
    t.fraction = static_cast<uint32_t>((rest << 32) / 1000000000ull);
    return t;
}

VERtpClock& VERtpClock::Real() {
    static VERtpClock clock;
    return clock;
}
