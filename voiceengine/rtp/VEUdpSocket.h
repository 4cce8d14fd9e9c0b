#pragma once
// One non-blocking UDP socket of the engine (IPv4 or IPv6). The socket
// manager thread reads it and flushes its send queue; any thread may send.
// Close() takes effect at once (the port is free for a new bind when it
// returns); a datagram already read when Close() runs may still reach the
// receive callback.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class VEUdpSocket {
public:
    using ReceiveCallback = std::function<void(const uint8_t* data, size_t length, const sockaddr_storage& from)>;
    using ErrorCallback = std::function<void(int error)>;

    static constexpr size_t kReceiveBuffer = 2048;   // one datagram
    static constexpr size_t kMaxQueued = 256;        // datagrams waiting for the socket

    VEUdpSocket() = default;
    ~VEUdpSocket();
    VEUdpSocket(const VEUdpSocket&) = delete;
    VEUdpSocket& operator=(const VEUdpSocket&) = delete;

    // Creates the socket (AF_INET or AF_INET6), non-blocking. 0 or errno.
    int Create(int family);
    // Binds to the address text (empty = wildcard) and port. 0 or errno.
    int Bind(const std::string& localAddress, int port);
    // Joins a multicast group on the default interface. 0 or errno.
    int JoinMulticast(const std::string& group);
    int SetMulticastTtl(int ttl);
    // DSCP value 0..63 into the TOS / traffic class byte. 0 or errno.
    int SetDscp(int dscp);
    void Close();

    // Sends at once, or queues when datagrams are waiting or the send would
    // block. 0, or errno of a failed send (ENOBUFS when the queue is full).
    int SendTo(const void* data, size_t length, const sockaddr_storage& to, socklen_t toLength);

    void SetCallbacks(ReceiveCallback onReceive, ErrorCallback onError);
    void SetReceiving(bool on);
    bool Receiving() const;

    // Socket manager side.
    int Fd() const;
    bool WantsRead() const;
    bool WantsWrite() const;
    void ReadOne();       // one datagram to the receive callback
    void FlushQueue();    // queued datagrams until empty or would block

    int Family() const { return m_family; }
    int LocalPort() const;   // bound port, 0 when none
    int LastError() const;

private:
    struct Queued {
        std::vector<uint8_t> data;
        sockaddr_storage to;
        socklen_t toLength;
    };

    mutable std::mutex m_lock;   // fd, queue, flags and callbacks
    int m_fd = -1;
    int m_family = AF_INET;
    bool m_receiving = false;
    int m_lastError = 0;
    std::deque<Queued> m_queue;
    ReceiveCallback m_onReceive;
    ErrorCallback m_onError;
};
