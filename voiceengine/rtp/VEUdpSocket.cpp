#include "voiceengine/rtp/VEUdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/Trace.h"

VEUdpSocket::~VEUdpSocket() {
    Close();
}

int VEUdpSocket::Create(int family) {
    QF_TRACE("VEUdpSocket::Create");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_family = family == AF_INET6 ? AF_INET6 : AF_INET;
    int fd = ::socket(m_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        m_lastError = errno;
        QF_LOG_ERROR("socket() failed errno = %d", m_lastError);
        return m_lastError;
    }
    m_fd = fd;
    QF_LEAVE();
    return 0;
}

int VEUdpSocket::Bind(const std::string& localAddress, int port) {
    QF_TRACE("VEUdpSocket::Bind");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return EBADF;
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (m_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        a->sin6_addr = in6addr_any;
        if (!localAddress.empty() && inet_pton(AF_INET6, localAddress.c_str(), &a->sin6_addr) != 1) return EINVAL;
        len = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        if (!localAddress.empty() && inet_pton(AF_INET, localAddress.c_str(), &a->sin_addr) != 1) return EINVAL;
        len = sizeof(sockaddr_in);
    }
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        m_lastError = errno;
        QF_LOG_ERROR("bind() failed errno = %d", m_lastError);
        return m_lastError;
    }
    QF_LEAVE();
    return 0;
}

int VEUdpSocket::JoinMulticast(const std::string& group) {
    QF_TRACE("VEUdpSocket::JoinMulticast");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return EBADF;
    int rc = 0;
    if (m_family == AF_INET6) {
        ipv6_mreq req{};
        if (inet_pton(AF_INET6, group.c_str(), &req.ipv6mr_multiaddr) != 1) return EINVAL;
        rc = setsockopt(m_fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req);
    } else {
        ip_mreq req{};
        if (inet_pton(AF_INET, group.c_str(), &req.imr_multiaddr) != 1) return EINVAL;
        req.imr_interface.s_addr = htonl(INADDR_ANY);
        rc = setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
    }
    if (rc != 0) {
        m_lastError = errno;
        QF_LOG_ERROR("multicast join failed errno = %d", m_lastError);
        return m_lastError;
    }
    QF_LEAVE();
    return 0;
}

int VEUdpSocket::SetMulticastTtl(int ttl) {
    QF_TRACE("VEUdpSocket::SetMulticastTtl");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return EBADF;
    int rc = m_family == AF_INET6 ? setsockopt(m_fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl)
                                  : setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    if (rc != 0) return m_lastError = errno;
    QF_LEAVE();
    return 0;
}

int VEUdpSocket::SetDscp(int dscp) {
    QF_TRACE("VEUdpSocket::SetDscp");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return EBADF;
    if (dscp < 0 || dscp > 63) return EINVAL;
    int tos = dscp << 2;   // DSCP sits above the two ECN bits
    int rc = m_family == AF_INET6 ? setsockopt(m_fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos)
                                  : setsockopt(m_fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    if (rc != 0) {
        m_lastError = errno;
        QF_LOG_ERROR("IP_TOS failed errno = %d", m_lastError);
        return m_lastError;
    }
    QF_LEAVE();
    return 0;
}

void VEUdpSocket::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_receiving = false;
    m_queue.clear();
    m_onReceive = nullptr;
    m_onError = nullptr;
}

int VEUdpSocket::SendTo(const void* data, size_t length, const sockaddr_storage& to, socklen_t toLength) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return m_lastError = EBADF;
    if (m_queue.empty()) {
        ssize_t n = ::sendto(m_fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), toLength);
        if (n >= 0) return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return m_lastError = errno;
    }
    if (m_queue.size() >= kMaxQueued) return m_lastError = ENOBUFS;
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_queue.push_back(Queued{std::vector<uint8_t>(bytes, bytes + length), to, toLength});
    return 0;
}

void VEUdpSocket::SetCallbacks(ReceiveCallback onReceive, ErrorCallback onError) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_onReceive = std::move(onReceive);
    m_onError = std::move(onError);
}

void VEUdpSocket::SetReceiving(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_receiving = on;
}

bool VEUdpSocket::Receiving() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_receiving;
}

int VEUdpSocket::Fd() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fd;
}

bool VEUdpSocket::WantsRead() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fd >= 0 && m_receiving && m_onReceive;
}

bool VEUdpSocket::WantsWrite() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fd >= 0 && !m_queue.empty();
}

void VEUdpSocket::ReadOne() {
    uint8_t buffer[kReceiveBuffer];
    sockaddr_storage from{};
    ReceiveCallback onReceive;
    ErrorCallback onError;
    ssize_t n = -1;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_fd < 0 || !m_receiving) return;   // switched off since the poll began
        socklen_t fromLen = sizeof from;
        n = ::recvfrom(m_fd, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            error = m_lastError = errno;
            onError = m_onError;
        } else {
            onReceive = m_onReceive;
        }
    }
    // The callbacks run without the socket lock: they take the engine's
    // locks, and the engine may be closing this socket meanwhile.
    if (n < 0) {
        if (onError) onError(error);
        return;
    }
    if (static_cast<size_t>(n) > sizeof buffer) return;   // cut by the buffer: not a datagram we can use
    if (onReceive) onReceive(buffer, static_cast<size_t>(n), from);
}

void VEUdpSocket::FlushQueue() {
    std::lock_guard<std::mutex> lock(m_lock);
    while (m_fd >= 0 && !m_queue.empty()) {
        const Queued& q = m_queue.front();
        ssize_t n = ::sendto(m_fd, q.data.data(), q.data.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&q.to), q.toLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            m_lastError = errno;   // this one is lost; go on with the rest
        }
        m_queue.pop_front();
    }
}

int VEUdpSocket::LocalPort() const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fd < 0) return 0;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

int VEUdpSocket::LastError() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastError;
}
