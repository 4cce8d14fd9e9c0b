#pragma once
// The private network of a real-call test. The test process first moves
// into a network namespace of its own (unshare), so nothing it does is seen
// outside; this adds a second namespace for the peer (baresip), joins the
// two with a veth pair, and starts the lab's Kamailio on the phone's side.
// The peer namespace is removed again by Destroy() or the destructor.
#include "CallTestSupport.h"
#include "support/TempDir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace qf::test {

inline int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

// True when something already holds address:port over UDP.
inline bool UdpBound(const char* address, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    const bool inUse = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    close(fd);
    return inUse;
}

class LabCallNetwork {
public:
    LabCallNetwork() = default;
    LabCallNetwork(const LabCallNetwork&) = delete;
    LabCallNetwork& operator=(const LabCallNetwork&) = delete;
    ~LabCallNetwork() { Destroy(); }

    // Makes the peer namespace "<prefix>-<pid>" and the veth pair
    // phoneIf/peerIf with the two /24 addresses. Empty on success, else the
    // command that failed.
    std::string Create(const std::string& prefix, const std::string& phoneIf, const std::string& peerIf,
                       const std::string& phoneAddress, const std::string& peerAddress) {
        const std::string ns = prefix + "-" + std::to_string(getpid());
        const std::string inPeer = "ip -n " + ns + " ";
        if (Shell("ip link set lo up") != 0) return "ip link set lo up";
        if (Shell("ip netns add " + ns) != 0) return "ip netns add " + ns;
        m_ns = ns;
        const std::string steps[] = {
            "ip link add " + phoneIf + " type veth peer name " + peerIf + " netns " + ns,
            "ip addr add " + phoneAddress + "/24 dev " + phoneIf,
            "ip link set " + phoneIf + " up",
            inPeer + "link set lo up",
            inPeer + "addr add " + peerAddress + "/24 dev " + peerIf,
            inPeer + "link set " + peerIf + " up",
        };
        for (const auto& step : steps)
            if (Shell(step) != 0) return step;
        return "";
    }

    // Starts the lab's Kamailio listening on address:5060; true once it has
    // bound the port (its log is dir/kamailio.log).
    static bool StartKamailio(ChildProcess& kamailio, const TempDir& dir, const std::string& address) {
        if (!kamailio.Start({"kamailio", "-f", std::string(QF_SOURCE_DIR) + "/lab/kamailio/kamailio.cfg", "-DD", "-E",
                             "-m", "32", "-M", "4", "-A", "QF_LISTEN=udp:" + address + ":5060", "-A",
                             "QF_CTL=\"unix:" + dir.file("kamailio.ctl") + "\""},
                            dir.file("kamailio.log")))
            return false;
        return WaitUntil([&] { return UdpBound(address.c_str(), 5060); }, std::chrono::seconds(10));
    }

    // The peer's namespace, for "ip netns exec".
    const std::string& PeerNamespace() const { return m_ns; }

    void Destroy() {
        if (!m_ns.empty()) Shell("ip netns del " + m_ns);
        m_ns.clear();
    }

private:
    std::string m_ns;
};

} // namespace qf::test
