#pragma once
// The engine's one socket thread: waits on every registered socket with
// poll() (at most 10 ms, so additions and removals apply within a cycle),
// reads one datagram per readable socket per cycle and flushes the send
// queues of writable ones. Sockets are added and removed by queueing; the
// thread applies the change at the start of its next cycle.
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class VEUdpSocket;

class SocketManager {
public:
    static constexpr size_t kMaxSockets = 1024;
    static constexpr int kCycleMs = 10;

    SocketManager() = default;
    ~SocketManager();
    SocketManager(const SocketManager&) = delete;
    SocketManager& operator=(const SocketManager&) = delete;

    // 0 when added to the queue, -1 when the table is full.
    int AddSocket(const std::shared_ptr<VEUdpSocket>& socket);
    void RemoveSocket(const std::shared_ptr<VEUdpSocket>& socket);

    // Starts the thread: 0; -1 when the thread cannot start; -2 when it runs
    // but without the raised (real-time) priority.
    int Start();
    void Stop();
    bool Running() const { return m_running.load(); }
    size_t SocketCount() const;

private:
    void Run();
    void ApplyChanges();

    mutable std::mutex m_lock;   // the three tables
    std::vector<std::shared_ptr<VEUdpSocket>> m_sockets;
    std::vector<std::shared_ptr<VEUdpSocket>> m_toAdd;
    std::vector<std::shared_ptr<VEUdpSocket>> m_toRemove;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
