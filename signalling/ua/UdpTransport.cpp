#include "signalling/ua/UdpTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ua {

std::string AddressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

CUdpTransport::CUdpTransport() : m_fd(-1), m_port(0) { m_bound.s_addr = htonl(INADDR_ANY); }

CUdpTransport::~CUdpTransport() { Close(); }

int CUdpTransport::Open(const char* address, int port) {
    Close();
    if (port < 0 || port > 65535) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &local.sin_addr) != 1) return -1;

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    // ICMP errors (nobody listening at the server's port) are queued so
    // that a request to a dead server fails at once, not after Timer F.
    setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    m_fd = fd;
    m_port = ntohs(bound.sin_port);
    m_bound = local.sin_addr;
    return 0;
}

void CUdpTransport::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_port = 0;
}

int CUdpTransport::Resolve(const char* host, int port, sockaddr_in* out) {
    if (!host || !*host || !out || port <= 0 || port > 65535) return -1;
    memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &out->sin_addr) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
    out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return 0;
}

int CUdpTransport::Send(const char* host, int port, const char* data, size_t len) {
    sockaddr_in to{};
    if (Resolve(host, port, &to) != 0) return -1;
    return SendTo(to, data, len);
}

int CUdpTransport::SendTo(const sockaddr_in& to, const char* data, size_t len) {
    if (m_fd < 0 || !data || len == 0 || len > MAX_DATAGRAM) return -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ssize_t n = sendto(m_fd, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n == static_cast<ssize_t>(len)) return 0;
        // A pending ICMP error is reported by the next call on the socket;
        // it belongs to an earlier datagram, so try again.
        if (n < 0 && (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == EINTR)) continue;
        return -1;
    }
    return -1;
}

long CUdpTransport::Receive(char* buf, size_t cap, sockaddr_in* from, bool* truncated) {
    if (m_fd < 0 || !buf || cap == 0) return -1;
    sockaddr_in src{};
    iovec iov{buf, cap};
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = recvmsg(m_fd, &msg, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        // An ICMP error surfaces here too; the error queue tells whom it is for.
        if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) return 0;
        return -1;
    }
    if (from) *from = src;
    if (truncated) *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    return static_cast<long>(n);
}

int CUdpTransport::ReadError(sockaddr_in* failedDestination) {
    if (m_fd < 0) return 0;
    char data[64];
    char control[512];
    sockaddr_in dst{};
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &dst;
    msg.msg_namelen = sizeof dst;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (recvmsg(m_fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err err;
        memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin != SO_EE_ORIGIN_ICMP && err.ee_origin != SO_EE_ORIGIN_LOCAL) continue;
        if (err.ee_errno != ECONNREFUSED && err.ee_errno != EHOSTUNREACH && err.ee_errno != ENETUNREACH)
            continue;
        if (failedDestination) *failedDestination = dst;
        return 1;
    }
    return 0;
}

std::string CUdpTransport::LocalAddressFor(const char* host) {
    if (m_bound.s_addr != htonl(INADDR_ANY)) {
        sockaddr_in b{};
        b.sin_addr = m_bound;
        return AddressText(b);
    }
    sockaddr_in to{};
    if (Resolve(host, 5060, &to) == 0) {
        // Connecting a UDP socket sends nothing; it only picks the route.
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            sockaddr_in local{};
            socklen_t len = sizeof local;
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
            close(fd);
            if (ok && local.sin_addr.s_addr != htonl(INADDR_ANY)) return AddressText(local);
        }
    }
    return "127.0.0.1";
}

} // namespace ua
