#pragma once
// The receive side of one channel: an adaptive jitter buffer with its
// decoders, loss concealment, comfort noise and the receive statistics that
// RTCP reports.
//
// Packets go in from the socket thread (InsertPacket), 10 ms blocks come
// out on the audio thread (GetAudio10ms). In between the buffer
//  - puts packets in timestamp order and drops duplicates and packets that
//    arrive after their time has passed (counted as late);
//  - keeps a playout delay that follows the measured arrival jitter: a late
//    packet or an empty buffer makes it grow, a delay that stays well above
//    what the recent arrivals needed makes it shrink. Both are done by time
//    stretching (a pitch period is inserted or removed with a cross-fade),
//    so the delay changes without audible jumps;
//  - conceals lost audio by repeating the last pitch period, fading out over
//    long gaps and cross-fading back into real audio;
//  - plays comfort noise at the level the far end sends in CN packets.
//
// Statistics follow RFC 3550 (extended highest sequence number, cumulative
// and fraction lost, interarrival jitter in timestamp units).
//
// The engine calls both sides under its sound card lock; the buffer also
// has its own small lock so it can be used on its own.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "voiceengine/Mixer.h"

class JbFixed : public MixerParticipant {
public:
    // Error codes readable with LastError() after a rejected packet.
    enum {
        kErrTooShort = 1,
        kErrVersion = 2,
        kErrHeader = 3,
        kErrUnknownPayload = 4,
        kErrNoDecoder = 5,
        kErrBufferFull = 6,
        kErrLate = 7,
        kErrDuplicate = 8,
    };
    enum { kTraceWarning = 2, kTraceError = 4, kTraceMemory = 16, kTraceStream = 64 };
    enum { kMaxPayloadTypes = 128, kHistoryMs = 60 };
    using TraceFn = std::function<void(int level, const std::string& text)>;

    struct Stats {
        uint32_t received = 0;    // packets inserted (accepted or not)
        uint32_t late = 0;        // dropped: their time had passed
        uint32_t duplicates = 0;  // dropped: seen before
        uint32_t rejected = 0;    // malformed or unknown payload
        uint32_t played = 0;      // packets whose audio was played
        uint32_t concealedBlocks = 0;
        uint32_t compressions = 0; // delay shrink steps
        uint32_t expansions = 0;   // delay growth steps (stretch or hold)
        double meanWaitMs = 0;     // mean time a played packet waited in the buffer
        int currentDelayMs = 0;    // buffered audio ahead of playout
    };

    explicit JbFixed(int channelId = 0);
    ~JbFixed() override;

    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

    // Registers a decoder for a payload type by codec name (PCMU, PCMA,
    // XG711U, XG711A, CN, telephone-event are decoded here; other names
    // are accepted and their packets rejected with kErrNoDecoder).
    // 0, or -1 for a payload type outside 0..127.
    int AddCodec(int payloadType, const std::string& name, int clockRate);
    void RemoveCodecs();

    // One RTP packet. arrivalUs is the arrival time in microseconds of a
    // steady clock (-1: now). 0 when buffered, -1 when dropped (LastError()).
    int InsertPacket(const uint8_t* packet, int length, int64_t arrivalUs = -1);
    int LastError() const;

    // Next 10 ms: 80 samples at 8 kHz or 160 at 16 kHz (the current
    // codec's rate); 0, or -1 on failure (the block is then silence).
    int GetAudio10ms(int16_t* out, int& samples) override;

    // RTCP receiver report figures; updates the interval for fraction lost.
    int GetRtcpStatistics(uint8_t& fractionLost, uint32_t& cumulativeLost, uint32_t& extendedHighestSeq,
                          uint32_t& jitter);
    // Same figures without starting a new interval (for traces).
    void PeekRtcpStatistics(uint8_t& fractionLost, uint32_t& cumulativeLost, uint32_t& extendedHighestSeq,
                            uint32_t& jitter) const;

    // RTP timestamp of the next sample to play (0 before the first packet).
    uint32_t PlayoutTimestamp() const;
    // Lowest playout delay kept, 0..1000 ms.
    int SetMinDelay(int ms);
    int MinDelay() const { return m_minDelayMs; }
    // 0..2; applied with saturation when outside 0.99..1.01.
    int SetOutputScale(float scale);
    float OutputScale() const { return m_scale; }
    // Receive-side voice activity detection on the played blocks.
    void EnableRxVad(bool on);
    bool VoiceActivity() const;
    // Concealment on (default); off plays silence for missing audio.
    void SetConcealment(bool on);

    // Forgets all packets and the timeline (a new stream); keeps codecs.
    void Reset();
    Stats GetStats() const;
    int ChannelId() const { return m_channelId; }

    // Version lines of the receive side; -1 when len is below 500.
    static int Version(char* buffer, int len);

private:
    struct Frame {
        std::vector<int16_t> pcm; // decoded audio (empty for CN)
        bool cn = false;
        uint8_t cnLevel = 0;
        double waitMs = 0;        // headroom at arrival
        bool counted = false;     // played-statistics taken
    };
    struct Codec {
        enum Kind { kNone, kUlaw, kAlaw, kCn, kEvent, kOther } kind = kNone;
        int rate = 8000;
    };

    void resetLocked();
    void trace(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void updateSequence(uint16_t seq);
    void updateJitter(uint32_t rtpTs, int64_t arrivalUs);
    bool isDuplicate(uint16_t seq);
    // Copies count samples of real audio from position ts; mask marks the
    // samples that were present. Returns how many were present.
    int fetch(int64_t ts, int count, int16_t* out, uint8_t* mask) const;
    bool contiguous(int64_t ts, int count) const;
    bool anyFrameAfter(int64_t ts) const;
    void dropConsumed();
    void conceal(int16_t* out, int count);
    void startConcealment();
    // The repeated period from the current phase; fade applies the level
    // a long gap falls to.
    void extend(int16_t* out, int count, bool fade);
    double concealGain(int sample) const;
    void concealAt(int64_t ts, int16_t* out, int count);
    void prepareGap(int64_t from);
    void comfortNoise(int16_t* out, int count);
    int findPitch(const int16_t* x, int len, int minLag, int maxLag) const;
    int bestLag(const int16_t* a, const int16_t* b, int len, int minLag, int maxLag, bool forward) const;
    void pushHistory(const int16_t* x, int count);
    void shiftWindow(double ms);
    double windowMinMs() const;
    double windowSpreadMs() const;
    void playBlock(int16_t* out);

    const int m_channelId;
    TraceFn m_trace;
    mutable std::mutex m_mutex;
    Codec m_codecs[kMaxPayloadTypes];
    int m_lastError = 0;

    // Timeline (timestamps unwrapped to 64 bits, in units of m_rate).
    int m_rate = 8000;
    bool m_started = false;
    uint32_t m_ssrc = 0;
    uint32_t m_tsBase = 0;
    int64_t m_lastTsUnwrapped = 0;
    int64_t m_playTs = 0;
    std::map<int64_t, Frame> m_frames;
    int m_holdSamples = 0; // playout held back by consecutive underruns

    // Delay control.
    int m_minDelayMs = 0;
    int64_t m_growPending = 0; // samples to add by stretching
    std::deque<std::pair<int64_t, double>> m_window; // (arrival ms, headroom ms)
    int64_t m_lastShrinkMs = 0;
    int64_t m_nowMs = 0;

    // Concealment.
    bool m_concealOn = true;
    std::vector<int16_t> m_hist;   // last played samples
    std::vector<int16_t> m_period; // source of the current concealment
    double m_periodLen = 0;        // its period, to a fraction of a sample
    int m_concealPhase = 0;
    int m_concealedSamples = 0;    // consecutive concealed samples
    std::vector<int16_t> m_gapFill; // a gap with audio on both sides, bridged
    int64_t m_gapStart = 0;
    bool m_cnActive = false;
    uint8_t m_cnLevel = 127;
    uint32_t m_noiseSeed = 12345;

    float m_scale = 1.0f;
    bool m_rxVad = false;
    bool m_voice = false;

    // RFC 3550 receive statistics.
    bool m_seqInit = false;
    uint16_t m_maxSeq = 0;
    uint32_t m_cycles = 0;
    uint32_t m_baseSeq = 0;
    uint32_t m_badSeq = 0;
    uint32_t m_receivedCount = 0;
    uint32_t m_expectedPrior = 0;
    uint32_t m_receivedPrior = 0;
    uint8_t m_lastFraction = 0;
    double m_jitter = 0; // timestamp units
    bool m_haveTransit = false;
    int64_t m_lastTransit = 0;
    uint32_t m_seenSeq[1024];

    Stats m_stats;
    double m_waitSum = 0;
};
