#pragma once
// The channel's receive buffer until the full jitter buffer takes its
// place: G.711 payloads (PCMU, PCMA and their XG711 forms) are decoded on
// arrival into a timestamp-ordered queue of 8000 Hz samples, and playout
// takes 10 ms at a time once a minimum fill has been reached. Late and
// duplicate packets are dropped; gaps are filled with silence; after an
// underrun the buffer fills up to the minimum again before it plays.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

class VESimpleJitterBuffer {
public:
    enum {
        kBlock = 80,            // 10 ms at 8000 Hz
        kMinFill = 160,         // 20 ms before playout (re)starts
        kMaxFill = 8000 / 2,    // 500 ms; older audio is dropped beyond it
        kMaxGap = 1600,         // a larger jump is a new stream, not loss
    };
    enum Codec { kUlaw, kAlaw, kComfortNoise };

    // 0 when taken, -1 when rejected (late, duplicate, bad payload).
    int Insert(Codec codec, const uint8_t* payload, size_t length, uint32_t timestamp);
    // Always fills 80 samples (silence while buffering).
    void Get10ms(int16_t* out);
    void Reset();
    size_t Fill() const;
    uint64_t Rejected() const { return m_rejected; }

private:
    mutable std::mutex m_lock;
    std::deque<int16_t> m_samples;
    bool m_started = false;     // a packet fixed the timestamp base
    bool m_playing = false;     // min fill reached
    uint32_t m_nextTimestamp = 0; // timestamp of the sample after the queue's end
    uint64_t m_rejected = 0;
    uint32_t m_noise = 12345;
    int m_noiseLevel = 0;       // comfort noise amplitude while the peer is silent
};
