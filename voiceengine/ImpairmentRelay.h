#pragma once
// A UDP relay on the loopback interface that passes packets on with the
// faults of a real network: random extra delay (jitter), random or bursty
// loss, reordering and duplicates, all drawn from a seeded generator so a
// run repeats. Used by the jitter buffer tests and benchmarks; it only
// ever binds and sends to 127.0.0.1.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ImpairmentProfile {
    std::string name = "clean";
    double jitterMs = 0;      // extra delay drawn uniformly from 0..jitterMs
    double lossPct = 0;       // average loss
    double burstLength = 1;   // mean length of a loss burst in packets (1 = independent)
    double reorderPct = 0;    // packets held back by reorderMs
    double reorderMs = 0;
    double duplicatePct = 0;  // packets sent twice
    uint32_t seed = 1;

    // The benchmark's profiles: clean, jitter30, loss5, burst20, reorder.
    static bool ByName(const std::string& name, ImpairmentProfile& out);
};

class ImpairmentRelay {
public:
    struct Stats {
        uint64_t received = 0;
        uint64_t forwarded = 0;
        uint64_t dropped = 0;
        uint64_t duplicated = 0;
        uint64_t reordered = 0;
    };

    ImpairmentRelay() = default;
    ~ImpairmentRelay();
    ImpairmentRelay(const ImpairmentRelay&) = delete;
    ImpairmentRelay& operator=(const ImpairmentRelay&) = delete;

    // Listens on an ephemeral 127.0.0.1 port and relays to 127.0.0.1:destPort.
    // 0, or -1 when the sockets cannot be set up.
    int Start(const ImpairmentProfile& profile, uint16_t destPort);
    void Stop();
    uint16_t ListenPort() const { return m_listenPort; }
    Stats GetStats() const;

private:
    struct Pending {
        int64_t dueUs;
        uint64_t order;
        std::vector<uint8_t> data;
    };
    void run();
    double uniform();

    ImpairmentProfile m_profile;
    int m_in = -1;
    int m_out = -1;
    uint16_t m_listenPort = 0;
    uint16_t m_destPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    Stats m_stats;
    uint64_t m_rng = 1;
    bool m_inBurst = false;
};
