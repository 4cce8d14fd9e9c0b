#include "voiceengine/rtp/VESsrcSource.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "app/Trace.h"

namespace {
std::mutex g_sourceLock;
std::weak_ptr<VESsrcSource> g_source;
} // namespace

std::shared_ptr<VESsrcSource> VESsrcSource::Acquire() {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    auto source = g_source.lock();
    if (!source) {
        source = std::make_shared<VESsrcSource>();
        g_source = source;
    }
    return source;
}

VESsrcSource::VESsrcSource() {
    m_used.reserve(10);
}

uint32_t VESsrcSource::Draw() {
    // Own generator seeded from the clock and the random device, so the
    // values do not depend on (or disturb) the C library's rand() state.
    static thread_local std::mt19937 engine(
        static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ std::random_device{}());
    return engine();
}

uint32_t VESsrcSource::Next() {
    QF_TRACE("VESsrcSource::Next");
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t value = 0;
    do {
        value = Draw();
    } while (value == 0 || std::find(m_used.begin(), m_used.end(), value) != m_used.end());
    if (m_used.size() == m_used.capacity()) m_used.reserve(m_used.size() + 10);
    m_used.push_back(value);
    QF_LEAVE();
    return value;
}

void VESsrcSource::Reserve(uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (std::find(m_used.begin(), m_used.end(), value) != m_used.end()) return;
    if (m_used.size() == m_used.capacity()) m_used.reserve(m_used.size() + 10);
    m_used.push_back(value);
}

bool VESsrcSource::Used(uint32_t value) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return std::find(m_used.begin(), m_used.end(), value) != m_used.end();
}
