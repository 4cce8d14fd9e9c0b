#include "web/INetEvent.h"

#include <chrono>

CINetEvent::CINetEvent(std::string name, bool signalled) : m_name(std::move(name)), m_signalled(signalled) {}

void CINetEvent::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    m_cond.notify_all();
}

void CINetEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool CINetEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0) timeoutMs = 0;
    return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_signalled; });
}

bool CINetEvent::IsSet() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signalled;
}
