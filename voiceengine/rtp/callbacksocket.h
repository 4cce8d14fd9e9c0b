#pragma once
// Receive handler of one channel socket (RTP or RTCP): source filters, the
// sender's address, the first SSRC, push-to-talk source locking, SRTP
// unprotect, then the engine's receive entry. Lives as long as a socket
// callback may still reach it (shared ownership).
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "voiceengine/rtp/VERtpInterfaces.h"
#include "voiceengine/rtp/VESrtpSession.h"

class callbacksocket {
public:
    static constexpr size_t kMaxKept = 1024;   // longest RTP datagram we take

    callbacksocket(int channel, bool rtcp, VERtpReceiver& receiver, VERtpTraceSink* trace);

    // A datagram from the socket thread.
    void OnDatagram(const uint8_t* data, size_t length, const sockaddr_storage& from);
    // A packet handed in by an external transport (no address, no filters).
    void Inject(const uint8_t* data, size_t length);

    void SetFilterPort(int port);
    int FilterPort() const;
    // Empty text clears the filter. 0, or -1 when the text is no address.
    int SetFilterAddress(const std::string& address);
    void SetOwnAddress(const sockaddr_storage& own);
    void SetAutoStart(bool on);

    std::string FromIP() const;
    int FromPort() const;
    uint32_t FirstSsrc() const;
    void ResetSource();

    VESrtpSession& srtp() { return m_srtp; }

    // "%i.%i.%i.%i" for IPv4, "%X:%X:%X:%X:%X:%X:%X:%X" for IPv6.
    static std::string FormatAddress(const sockaddr_storage& address, int* port);

private:
    void Deliver(uint8_t* data, size_t length);

    const int m_channel;
    const bool m_rtcp;
    VERtpReceiver& m_receiver;
    VERtpTraceSink* m_trace;

    mutable std::mutex m_lock;
    int m_filterPort = 0;
    bool m_haveFilterAddress = false;
    sockaddr_storage m_filterAddress{};
    bool m_haveOwnAddress = false;
    sockaddr_storage m_ownAddress{};
    bool m_autoStart = false;
    uint32_t m_firstSsrc = 0;
    bool m_haveSsrc = false;
    std::string m_fromIP;
    int m_fromPort = 0;
    VESrtpSession m_srtp;
};
