#include "voiceengine/rtp/SocketManager.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "app/Trace.h"
#include "voiceengine/rtp/VEUdpSocket.h"

SocketManager::~SocketManager() {
    Stop();
}

int SocketManager::AddSocket(const std::shared_ptr<VEUdpSocket>& socket) {
    QF_TRACE("SocketManager::AddSocket");
    if (!socket) return -1;
    std::lock_guard<std::mutex> lock(m_lock);
    // A socket removed and added again within one cycle stays registered;
    // one already known takes no second place.
    m_toRemove.erase(std::remove(m_toRemove.begin(), m_toRemove.end(), socket), m_toRemove.end());
    if (std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end() ||
        std::find(m_toAdd.begin(), m_toAdd.end(), socket) != m_toAdd.end()) {
        QF_LEAVE();
        return 0;
    }
    if (m_sockets.size() + m_toAdd.size() >= kMaxSockets) {
        QF_LOG_ERROR("socket table full");
        return -1;
    }
    m_toAdd.push_back(socket);
    QF_LEAVE();
    return 0;
}

void SocketManager::RemoveSocket(const std::shared_ptr<VEUdpSocket>& socket) {
    QF_TRACE("SocketManager::RemoveSocket");
    if (!socket) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_toAdd.erase(std::remove(m_toAdd.begin(), m_toAdd.end(), socket), m_toAdd.end());
    if (std::find(m_sockets.begin(), m_sockets.end(), socket) != m_sockets.end()) m_toRemove.push_back(socket);
    QF_LEAVE();
}

int SocketManager::Start() {
    QF_TRACE("SocketManager::Start");
    if (m_running.load()) return 0;
    m_stop = false;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (...) {
        QF_LOG_ERROR("cannot start the socket thread");
        return -1;
    }
    m_running = true;
    // Media wants the thread ahead of ordinary work; without the right to
    // real-time scheduling it still runs, at normal priority.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (pthread_setschedparam(m_thread.native_handle(), SCHED_FIFO, &param) != 0) {
        QF_LOG_DEBUG("socket thread runs without real-time priority");
        QF_LEAVE();
        return -2;
    }
    QF_LEAVE();
    return 0;
}

void SocketManager::Stop() {
    QF_TRACE("SocketManager::Stop");
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
    m_running = false;
    QF_LEAVE();
}

size_t SocketManager::SocketCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sockets.size() + m_toAdd.size();
}

void SocketManager::ApplyChanges() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& s : m_toRemove)
        m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), s), m_sockets.end());
    m_toRemove.clear();
    for (auto& s : m_toAdd) m_sockets.push_back(std::move(s));
    m_toAdd.clear();
}

void SocketManager::Run() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<VEUdpSocket>> polled;
    fds.reserve(kMaxSockets);
    polled.reserve(kMaxSockets);
    while (!m_stop.load()) {
        ApplyChanges();
        fds.clear();
        polled.clear();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            for (const auto& s : m_sockets) {
                short events = 0;
                if (s->WantsRead()) events |= POLLIN;
                if (s->WantsWrite()) events |= POLLOUT;
                int fd = s->Fd();
                if (events == 0 || fd < 0) continue;
                fds.push_back(pollfd{fd, events, 0});
                polled.push_back(s);
            }
        }
        if (fds.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
            continue;
        }
        int n = ::poll(fds.data(), fds.size(), kCycleMs);
        if (n <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            const short r = fds[i].revents;
            if (r == 0) continue;
            // A socket closed meanwhile has no fd any more; its number may
            // already belong to a new socket, which the next cycle polls.
            if (polled[i]->Fd() != fds[i].fd) continue;
            if (r & (POLLIN | POLLERR)) polled[i]->ReadOne();
            if (r & POLLOUT) polled[i]->FlushQueue();
        }
    }
}
