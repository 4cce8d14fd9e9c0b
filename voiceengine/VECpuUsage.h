#pragma once
// The system's (and optionally one process's) CPU load in percent, from
// the kernel's counters in /proc.
//
// The first reading after Start() stores the counters and gives 0; each
// later reading gives the load over the time since the previous reading:
// (1 - idle time / elapsed time) * 100, rounded. A process's load is its
// CPU time over the elapsed time, in percent (negative values as 0).
#include <cstdint>
#include <mutex>
#include <string>

class VECpuUsage {
public:
    VECpuUsage() = default;

    void Start();
    // System load 0..100, or -1 when the counters cannot be read.
    int SystemLoad();
    // Load of a process (0 = this one), or -1.
    int ProcessLoad(int pid = 0);

    // Paths of the counter files; tests point these at fixtures.
    void SetProcRoot(const std::string& root) { m_root = root; }

private:
    bool readSystem(uint64_t& idle, uint64_t& total) const;
    bool readProcess(int pid, uint64_t& ticks) const;

    mutable std::mutex m_mutex;
    std::string m_root = "/proc";
    bool m_first = true;
    uint64_t m_prevIdle = 0;
    uint64_t m_prevTotal = 0;
    bool m_procFirst = true;
    int m_procPid = -1;
    uint64_t m_prevProcTicks = 0;
    uint64_t m_prevProcTotal = 0;
};
