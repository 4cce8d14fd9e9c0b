#include "voiceengine/rtp/callbacksocket.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/rtp/VERtpPacket.h"

namespace {

bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
}

} // namespace

callbacksocket::callbacksocket(int channel, bool rtcp, VERtpReceiver& receiver, VERtpTraceSink* trace)
    : m_channel(channel), m_rtcp(rtcp), m_receiver(receiver), m_trace(trace) {}

std::string callbacksocket::FormatAddress(const sockaddr_storage& address, int* port) {
    char text[64] = {0};
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        const uint8_t* b = a.sin6_addr.s6_addr;
        std::snprintf(text, sizeof text, "%X:%X:%X:%X:%X:%X:%X:%X", (b[0] << 8) | b[1], (b[2] << 8) | b[3],
                      (b[4] << 8) | b[5], (b[6] << 8) | b[7], (b[8] << 8) | b[9], (b[10] << 8) | b[11],
                      (b[12] << 8) | b[13], (b[14] << 8) | b[15]);
        if (port) *port = ntohs(a.sin6_port);
    } else {
        const auto& a = reinterpret_cast<const sockaddr_in&>(address);
        const auto* b = reinterpret_cast<const uint8_t*>(&a.sin_addr.s_addr);
        std::snprintf(text, sizeof text, "%i.%i.%i.%i", b[0], b[1], b[2], b[3]);
        if (port) *port = ntohs(a.sin_port);
    }
    return text;
}

void callbacksocket::OnDatagram(const uint8_t* data, size_t length, const sockaddr_storage& from) {
    // Once per datagram on the socket thread: no entry/leave lines here.
    // A datagram longer than we keep is dropped whole: cutting it would hand
    // a damaged packet on.
    if (!data || length == 0 || length > kMaxKept) return;
    uint8_t packet[kMaxKept];
    std::memcpy(packet, data, length);
    int port = 0;
    std::string text = FormatAddress(from, &port);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_rtcp && m_filterPort != 0 && port != m_filterPort) return;
        if (m_haveFilterAddress && !SameAddress(from, m_filterAddress)) return;
        if (!m_rtcp) {
            if (length < VERtpPacket::kHeaderLength) return;
            const uint32_t ssrc = VERtpPacket::Read32(packet + 8);
            if (m_autoStart) {
                if (m_haveOwnAddress && SameAddress(from, m_ownAddress)) return;
                if (m_haveSsrc && ssrc != m_firstSsrc) return;
            }
            if (!m_haveSsrc) {
                m_firstSsrc = ssrc;
                m_haveSsrc = true;
            }
        }
        m_fromIP = std::move(text);
        m_fromPort = port;
    }
    Deliver(packet, length);
}

void callbacksocket::Inject(const uint8_t* data, size_t length) {
    if (!data || length == 0 || length > kMaxKept) return;
    uint8_t packet[kMaxKept];
    std::memcpy(packet, data, length);
    if (!m_rtcp && length >= VERtpPacket::kHeaderLength) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_haveSsrc) {
            m_firstSsrc = VERtpPacket::Read32(packet + 8);
            m_haveSsrc = true;
        }
    }
    Deliver(packet, length);
}

void callbacksocket::Deliver(uint8_t* data, size_t length) {
    if (m_rtcp) {
        m_receiver.ReceivedRtcp(m_channel, data, length);
        return;
    }
    if (m_srtp.Enabled()) {
        const int rc = m_srtp.Unprotect(data, length);
        if (rc == -1) {
            VERtpTrace(m_trace, VERtpTraceSink::kError, "Failed to initiate SRTP");
            return;
        }
        if (rc != 0) {
            VERtpTrace(m_trace, VERtpTraceSink::kError,
                       "Decoding incoming data failed, error when decrypting SRTP data");
            return;
        }
    }
    m_receiver.ReceivedRtp(m_channel, data, length);
}

void callbacksocket::SetFilterPort(int port) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_filterPort = port;
}

int callbacksocket::FilterPort() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_filterPort;
}

int callbacksocket::SetFilterAddress(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (address.empty()) {
        m_haveFilterAddress = false;
        return 0;
    }
    sockaddr_storage a{};
    if (inet_pton(AF_INET, address.c_str(), &reinterpret_cast<sockaddr_in&>(a).sin_addr) == 1) {
        a.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, address.c_str(), &reinterpret_cast<sockaddr_in6&>(a).sin6_addr) == 1) {
        a.ss_family = AF_INET6;
    } else {
        return -1;
    }
    m_filterAddress = a;
    m_haveFilterAddress = true;
    return 0;
}

void callbacksocket::SetOwnAddress(const sockaddr_storage& own) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_ownAddress = own;
    m_haveOwnAddress = true;
}

void callbacksocket::SetAutoStart(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_autoStart = on;
}

std::string callbacksocket::FromIP() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fromIP;
}

int callbacksocket::FromPort() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fromPort;
}

uint32_t callbacksocket::FirstSsrc() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_firstSsrc;
}

void callbacksocket::ResetSource() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_firstSsrc = 0;
    m_haveSsrc = false;
}
