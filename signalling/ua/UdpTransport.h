#pragma once
// The UDP socket the user agent sends and receives on (IPv4 only).
#include <netinet/in.h>

#include <cstddef>
#include <string>

namespace ua {

class CUdpTransport {
public:
    enum { MAX_DATAGRAM = 65535 };

    CUdpTransport();
    ~CUdpTransport();
    CUdpTransport(const CUdpTransport&) = delete;
    CUdpTransport& operator=(const CUdpTransport&) = delete;

    // Binds to address (null or empty: all interfaces) and port (0: any).
    // 0 on success, -1 on failure. The socket is non-blocking.
    int Open(const char* address, int port);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    int LocalPort() const { return m_port; }

    // Resolves host (dotted or a name) to an IPv4 address; 0 or -1.
    static int Resolve(const char* host, int port, sockaddr_in* out);

    // 0 when the whole datagram was handed to the kernel, else -1.
    int Send(const char* host, int port, const char* data, size_t len);
    int SendTo(const sockaddr_in& to, const char* data, size_t len);

    // Reads one datagram into buf (capacity cap). Returns its length, 0
    // when nothing is waiting, -1 on error. Datagrams longer than cap are
    // reported with their cut length and *truncated set.
    long Receive(char* buf, size_t cap, sockaddr_in* from, bool* truncated);

    // Reads one queued ICMP error (port or host unreachable). Returns 1
    // with the destination the failed datagram was sent to, 0 when none.
    int ReadError(sockaddr_in* failedDestination);

    // The local address the kernel would use to reach host, as dotted
    // text. The bound address when the socket is bound to one.
    std::string LocalAddressFor(const char* host);

private:
    int m_fd;
    int m_port;
    in_addr m_bound;
};

std::string AddressText(const sockaddr_in& a);

} // namespace ua
