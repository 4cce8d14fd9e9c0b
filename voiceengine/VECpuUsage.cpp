#include "voiceengine/VECpuUsage.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/Trace.h"

void VECpuUsage::Start() {
    QF_TRACE("VECpuUsage::Start");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_first = true;
    m_prevIdle = m_prevTotal = 0;
    m_procFirst = true;
    QF_LEAVE();
}

bool VECpuUsage::readSystem(uint64_t& idle, uint64_t& total) const {
    std::ifstream in(m_root + "/stat");
    std::string cpu;
    if (!(in >> cpu) || cpu != "cpu") return false;
    uint64_t v[10] = {};
    int n = 0;
    while (n < 10 && in >> v[n]) ++n;
    if (n < 4) return false;
    // user nice system idle iowait irq softirq steal (guest time is
    // already part of user time)
    total = 0;
    for (int i = 0; i < std::min(n, 8); ++i) total += v[i];
    idle = v[3] + (n > 4 ? v[4] : 0);
    return true;
}

bool VECpuUsage::readProcess(int pid, uint64_t& ticks) const {
    std::ifstream in(m_root + "/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    // The command name may hold spaces; fields continue after its ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    ticks = utime + stime;
    return true;
}

int VECpuUsage::SystemLoad() {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t idle = 0, total = 0;
    if (!readSystem(idle, total)) return -1;
    if (m_first || total <= m_prevTotal) {
        m_first = false;
        m_prevIdle = idle;
        m_prevTotal = total;
        return 0;
    }
    const double dIdle = static_cast<double>(idle - m_prevIdle);
    const double dTotal = static_cast<double>(total - m_prevTotal);
    m_prevIdle = idle;
    m_prevTotal = total;
    const int load = static_cast<int>((1.0 - dIdle / dTotal) * 100.0 + 0.5);
    return std::max(0, std::min(100, load));
}

int VECpuUsage::ProcessLoad(int pid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t ticks = 0, idle = 0, total = 0;
    if (!readProcess(pid, ticks) || !readSystem(idle, total)) return -1;
    if (m_procFirst || pid != m_procPid || total <= m_prevProcTotal) {
        m_procFirst = false;
        m_procPid = pid;
        m_prevProcTicks = ticks;
        m_prevProcTotal = total;
        return 0;
    }
    // The system total counts every core; scale to one core's time.
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const double elapsed = static_cast<double>(total - m_prevProcTotal) / static_cast<double>(cores);
    const double used = static_cast<double>(ticks) - static_cast<double>(m_prevProcTicks);
    m_prevProcTicks = ticks;
    m_prevProcTotal = total;
    const int load = static_cast<int>(used / elapsed * 100.0);
    return load < 0 ? 0 : load;
}
