#include "voiceengine/rtp/VEChannelTransport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VERtcpHandler.h"
#include "voiceengine/rtp/VERtpPacket.h"
#include "voiceengine/rtp/VERtpReceiveStatistics.h"
#include "voiceengine/rtp/VEUdpSocket.h"
#include "voiceengine/rtp/callbacksocket.h"
#include "voiceengine/rtp/rtpsender.h"

namespace {

bool ValidPort(int port) {
    return port >= 1024 && port <= 65535;
}

bool ParsesAs(int family, const char* text) {
    uint8_t buffer[sizeof(in6_addr)];
    return text && inet_pton(family, text, buffer) == 1;
}

// The host's own IPv4 address as its name resolves, to recognise our own
// packets when receiving in push-to-talk style.
bool OwnAddress(sockaddr_storage& out) {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) return false;
    std::memset(&out, 0, sizeof out);
    std::memcpy(&out, result->ai_addr, std::min<size_t>(result->ai_addrlen, sizeof out));
    freeaddrinfo(result);
    return true;
}

} // namespace

VEChannelTransport::VEChannelTransport(int channel, SocketManager& manager, VERtpReceiver& receiver,
                                       VERtpTraceSink* trace, const VERtpClock& clock)
    : m_channel(channel), m_manager(manager), m_receiver(receiver), m_trace(trace), m_clock(clock),
      m_rtpHandler(std::make_shared<callbacksocket>(channel, false, receiver, trace)),
      m_rtcpHandler(std::make_shared<callbacksocket>(channel, true, receiver, trace)),
      m_stats(std::make_unique<VERtpReceiveStatistics>()),
      m_rtcp(std::make_shared<VERtcpHandler>(clock)),
      m_sender(std::make_unique<rtpsender>(channel, m_rtcp, *m_stats, trace, clock)) {
    QF_TRACE("VEChannelTransport::VEChannelTransport");
    m_rtcp->SetAppHandler(nullptr, nullptr, channel);
    QF_LEAVE();
}

VEChannelTransport::~VEChannelTransport() {
    QF_TRACE("VEChannelTransport::~VEChannelTransport");
    std::lock_guard<std::mutex> lock(m_lock);
    CloseSocket(m_extraSocket);
    CloseSocket(m_rtpSocket);
    CloseSocket(m_rtcpSocket);
    QF_LEAVE();
}

void VEChannelTransport::CloseSocket(std::shared_ptr<VEUdpSocket>& socket) {
    if (!socket) return;
    socket->Close();
    m_manager.RemoveSocket(socket);
    socket.reset();
}

int VEChannelTransport::OpenSocket(std::shared_ptr<VEUdpSocket>& socket, const std::shared_ptr<callbacksocket>& handler,
                                   int port, const std::string& group, const std::string& local) {
    QF_TRACE("VEChannelTransport::OpenSocket");
    auto s = std::make_shared<VEUdpSocket>();
    int rc = s->Create(m_ipv6 ? AF_INET6 : AF_INET);
    if (rc == 0) {
        rc = s->Bind(local, port);
        if (rc != 0) VERtpTrace(m_trace, VERtpTraceSink::kError, "\tbind() failed (return value %d)", rc);
    }
    if (rc == 0 && !group.empty()) {
        rc = s->JoinMulticast(group);
        if (rc != 0)
            VERtpTrace(m_trace, VERtpTraceSink::kError, "\tsetsockopt() for multicast failed (WSAGetLastError: %d)",
                       rc);
    }
    if (rc != 0) {
        s->Close();
        QF_LOG_ERROR("socket for port %d not opened (%d)", port, rc);
        return rc;
    }
    if (handler) {
        std::shared_ptr<callbacksocket> h = handler;
        VERtpTraceSink* trace = m_trace;
        s->SetCallbacks([h](const uint8_t* data, size_t length, const sockaddr_storage& from) {
            h->OnDatagram(data, length, from);
        }, [trace, port](int error) {
            // A failed read loses that datagram only; the socket stays in use.
            VERtpTrace(trace, VERtpTraceSink::kWarning, "Receiving on port %d failed (error code = %d)", port, error);
        });
    }
    if (m_manager.AddSocket(s) != 0) {
        s->Close();
        QF_LOG_ERROR("socket manager full");
        return -1;
    }
    socket = std::move(s);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SetRecPort(int rtpPort, const char* multicastGroup, const char* localAddress, int rtcpPort) {
    QF_TRACE("VEChannelTransport::SetRecPort");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_external) {
        VERtpTrace(m_trace, VERtpTraceSink::kError,
                   "External transport has been initialized: VE_SetRecPort() not used (error code = %d)",
                   VERtpCode::ExternalTransport);
        return VERtpCode::ExternalTransport;
    }
    if (!ValidPort(rtpPort) || (rtcpPort != 0 && !ValidPort(rtcpPort))) return VERtpCode::PortOutOfRange;
    if (m_sender->running()) return VERtpCode::Failed;
    if (m_listening) return VERtpCode::Listening;
    CloseSocket(m_rtpSocket);
    CloseSocket(m_rtcpSocket);
    m_recPort = 0;
    m_recRtcpPort = 0;
    if (m_gqosServiceType != -1) {
        // No QoS provider to create the sockets on: plain sockets, and the
        // request is dropped for this channel.
        VERtpTrace(m_trace, VERtpTraceSink::kWarning, "NO GQoS support available");
        m_warning = VERtpCode::NoGQoS;
        m_gqosServiceType = -1;
    }
    const std::string group = multicastGroup ? multicastGroup : "";
    const std::string local = localAddress ? localAddress : "";
    const int rtcp = rtcpPort != 0 ? rtcpPort : rtpPort + 1;
    if (OpenSocket(m_rtpSocket, m_rtpHandler, rtpPort, group, local) != 0) {
        QF_LOG_ERROR("RTP socket failed");
        return VERtpCode::RtpSocket;
    }
    if (OpenSocket(m_rtcpSocket, m_rtcpHandler, rtcp, group, local) != 0) {
        CloseSocket(m_rtpSocket);
        QF_LOG_ERROR("RTCP socket failed");
        return VERtpCode::RtcpSocket;
    }
    if (m_autoStart) {
        sockaddr_storage own{};
        if (OwnAddress(own)) m_rtpHandler->SetOwnAddress(own);
    }
    m_recPort = rtpPort;
    m_recRtcpPort = rtcp;
    m_srcPort = rtpPort;
    QF_LEAVE();
    return 0;
}

void VEChannelTransport::GetRecPort(int& rtpPort, int& rtcpPort) const {
    std::lock_guard<std::mutex> lock(m_lock);
    rtpPort = m_recPort;
    rtcpPort = m_recRtcpPort;
}

int VEChannelTransport::SetSrcPort(int port) {
    QF_TRACE("VEChannelTransport::SetSrcPort");
    std::lock_guard<std::mutex> lock(m_lock);
    if (!ValidPort(port)) return VERtpCode::PortOutOfRange;
    if (m_sender->running()) return VERtpCode::Sending;
    m_srcPort = port;
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SetSendPort(int rtpPort, int rtcpPort) {
    QF_TRACE("VEChannelTransport::SetSendPort");
    std::lock_guard<std::mutex> lock(m_lock);
    if (!ValidPort(rtpPort) || (rtcpPort != 0 && !ValidPort(rtcpPort))) return VERtpCode::PortOutOfRange;
    if (m_sender->running()) return VERtpCode::Sending;
    m_sendPort = rtpPort;
    m_sendRtcpPort = rtcpPort != 0 ? rtcpPort : rtpPort + 1;
    QF_LEAVE();
    return 0;
}

void VEChannelTransport::GetSendPort(int& rtpPort, int& rtcpPort) const {
    std::lock_guard<std::mutex> lock(m_lock);
    rtpPort = m_sendPort;
    rtcpPort = m_sendRtcpPort;
}

int VEChannelTransport::SetSendIP(const char* address) {
    QF_TRACE("VEChannelTransport::SetSendIP");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_sender->running()) return VERtpCode::Sending;
    if (!address || std::strlen(address) > 39) return VERtpCode::InvalidAddress;
    if (!ParsesAs(m_ipv6 ? AF_INET6 : AF_INET, address)) return VERtpCode::InvalidAddress;
    m_sendIP = address;
    QF_LEAVE();
    return 0;
}

std::string VEChannelTransport::GetSendIP() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sendIP;
}

int VEChannelTransport::EnableIPv6() {
    QF_TRACE("VEChannelTransport::EnableIPv6");
    std::lock_guard<std::mutex> lock(m_lock);
    // The sockets' family is fixed when they are opened.
    if (m_rtpSocket || m_rtcpSocket || m_sender->running()) return 8039;
    m_ipv6 = true;
    QF_LEAVE();
    return 0;
}

bool VEChannelTransport::IPv6() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ipv6;
}

int VEChannelTransport::StartListen() {
    QF_TRACE("VEChannelTransport::StartListen");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_recPort == 0) return VERtpCode::PortNotSet;
    if (m_listening) return VERtpCode::Listening;
    if (!m_rtpSocket) return VERtpCode::RtpReceiveStart;
    if (!m_rtcpSocket) return VERtpCode::RtcpReceiveStart;
    m_rtpSocket->SetReceiving(true);
    m_rtcpSocket->SetReceiving(true);
    m_listening = true;
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::StopListen() {
    QF_TRACE("VEChannelTransport::StopListen");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_rtpSocket) m_rtpSocket->SetReceiving(false);
    if (m_rtcpSocket) m_rtcpSocket->SetReceiving(false);
    m_listening = false;
    QF_LEAVE();
    return 0;
}

bool VEChannelTransport::Listening() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listening;
}

void VEChannelTransport::SetReceiveTelephoneEventPayloadType(int payloadType) {
    m_telephoneEventPt = payloadType;
}

void VEChannelTransport::SetReceiveRedPayloadType(int payloadType) {
    m_redPt = payloadType;
}

int VEChannelTransport::ProcessRtp(const uint8_t* packet, size_t length, VERtpPayloadSink& sink) {
    // Once per packet: no entry/leave lines here.
    VERtpHeaderView h;
    if (VERtpPacket::Parse(packet, length, h) != 0) return -1;

    m_csrcCount = h.csrcCount;
    for (int i = 0; i < h.csrcCount; ++i) m_csrcs[static_cast<size_t>(i)] = VERtpPacket::Read32(h.csrcs + 4 * i);
    if (h.extension && h.extensionProfile == 0xF0F0) {
        m_energyCount = static_cast<int>(std::min<size_t>(h.extensionWords, m_energy.size()));
        for (int i = 0; i < m_energyCount; ++i)
            m_energy[static_cast<size_t>(i)] = VERtpPacket::Read32(h.extensionData + 4 * i);
    }

    VERedBlock blocks[VERtpPacket::kMaxRedBlocks];
    int count = 1;
    if (m_redPt >= 0 && h.payloadType == m_redPt) {
        count = VERtpPacket::SplitRed(h.payload, h.payloadLength, h.timestamp, blocks, VERtpPacket::kMaxRedBlocks);
        if (count <= 0) return -1;
    } else {
        blocks[0].payloadType = h.payloadType;
        blocks[0].timestamp = h.timestamp;
        blocks[0].data = h.payload;
        blocks[0].length = h.payloadLength;
        blocks[0].primary = true;
    }

    const VERedBlock& primary = blocks[count - 1];
    m_stats->Update(h.ssrc, h.sequenceNumber, h.timestamp, sink.ReceiveFrequency(primary.payloadType),
                    m_clock.NowMs());

    int taken = 0;
    for (int i = 0; i < count; ++i) {
        const VERedBlock& b = blocks[i];
        VERtpPayload p;
        p.packet = packet;
        p.packetLength = length;
        p.data = b.data;
        p.length = b.length;
        p.payloadType = b.payloadType;
        p.sequenceNumber = h.sequenceNumber;
        p.timestamp = b.timestamp;
        p.ssrc = h.ssrc;
        p.marker = h.marker && b.primary;
        p.redundant = !b.primary;
        if (m_telephoneEventPt >= 0 && b.payloadType == m_telephoneEventPt) {
            if (b.length < 4) continue;   // not an event
            p.telephoneEvent = true;
            p.event = b.data[0];
            p.eventEnd = (b.data[1] & 0x80) != 0;
            p.eventVolume = b.data[1] & 0x3F;
            p.eventDuration = VERtpPacket::Read16(b.data + 2);
            if (!m_haveEvent || b.timestamp != m_lastEventTimestamp) {
                m_haveEvent = true;
                m_lastEventTimestamp = b.timestamp;
                m_eventEnded = false;
                p.eventStarted = true;
            }
            if (p.eventEnd && !m_eventEnded) {
                m_eventEnded = true;
                p.eventFinished = true;
            }
        }
        if (sink.OnRtpPayload(p) >= 0) ++taken;
    }
    return taken;
}

int VEChannelTransport::ProcessRtcp(const uint8_t* packet, size_t length) {
    return m_rtcp->Parse(packet, length, m_sender->ssrc());
}

int VEChannelTransport::ReceivedRTPPacket(const uint8_t* data, size_t length) {
    QF_TRACE("VEChannelTransport::ReceivedRTPPacket");
    if (!data || length < 1 || length > kMaxExternalPacket) return VERtpCode::PacketLength;
    if ((data[0] & 0xC0) != 0x80) {
        VERtpTrace(m_trace, VERtpTraceSink::kError, "RTP version not supported");
        return VERtpCode::Failed;
    }
    m_rtpHandler->Inject(data, length);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::ReceivedRTCPPacket(const uint8_t* data, size_t length) {
    QF_TRACE("VEChannelTransport::ReceivedRTCPPacket");
    if (!data || length == 0) return VERtpCode::Failed;
    m_rtcpHandler->Inject(data, length);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SetFilterPort(int port) {
    QF_TRACE("VEChannelTransport::SetFilterPort");
    if (port < 0 || port > 65535) return VERtpCode::PortOutOfRange;
    m_rtpHandler->SetFilterPort(port);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::GetFilterPort() const {
    return m_rtpHandler->FilterPort();
}

int VEChannelTransport::SetFilterIP(const char* address) {
    QF_TRACE("VEChannelTransport::SetFilterIP");
    const std::string text = address ? address : "";
    if (m_rtpHandler->SetFilterAddress(text) != 0) return VERtpCode::InvalidAddress;
    m_rtcpHandler->SetFilterAddress(text);
    QF_LEAVE();
    return 0;
}

std::string VEChannelTransport::GetFromIP() const {
    return m_rtpHandler->FromIP();
}

int VEChannelTransport::GetFromPort() const {
    return m_rtpHandler->FromPort();
}

uint32_t VEChannelTransport::GetRemoteSSRC() const {
    return m_rtpHandler->FirstSsrc();
}

int VEChannelTransport::GetCSRCs(uint32_t* out, int capacity) const {
    const int n = std::min(m_csrcCount, capacity);
    for (int i = 0; out && i < n; ++i) out[i] = m_csrcs[static_cast<size_t>(i)];
    return out ? n : 0;
}

int VEChannelTransport::GetEnergyLevels(uint32_t* out, int capacity) const {
    const int n = std::min(m_energyCount, capacity);
    for (int i = 0; out && i < n; ++i) out[i] = m_energy[static_cast<size_t>(i)];
    return out ? n : 0;
}

void VEChannelTransport::SetAutoStart(bool on) {
    QF_TRACE("VEChannelTransport::SetAutoStart");
    std::lock_guard<std::mutex> lock(m_lock);
    m_autoStart = on;
    m_rtpHandler->SetAutoStart(on);
    if (on) m_rtpHandler->ResetSource();
    QF_LEAVE();
}

void VEChannelTransport::SetSendCodec(const char* name, int frequency, int payloadType) {
    m_sender->setCodec(name, frequency, payloadType);
}

int VEChannelTransport::StartSend() {
    QF_TRACE("VEChannelTransport::StartSend");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_sender->running()) return VERtpCode::Sending;
    if (!m_external) {
        // "0.0.0.0" is what a channel holds before any address is given.
        if (m_sendIP.empty() || m_sendIP == "0.0.0.0" || m_sendIP == "::") return VERtpCode::InvalidAddress;
        if (m_sendPort == 0) return VERtpCode::PortNotSet;
        if (m_sendPort < 0 || m_sendPort > 65535) return VERtpCode::PortOutOfRange;
    }
    std::shared_ptr<VEUdpSocket> sendSocket = m_rtpSocket;
    if (!m_external && m_srcPort != 0 && m_srcPort != m_recPort) {
        CloseSocket(m_extraSocket);
        const int rc = OpenSocket(m_extraSocket, nullptr, m_srcPort, "", "");
        if (rc != 0) {
            VERtpTrace(m_trace, VERtpTraceSink::kError,
                       "VE_StartSend() - Cannot Intialize Extra Socket - (error code = %d)", VERtpCode::SendSocket);
            return VERtpCode::SendSocket;
        }
        sendSocket = m_extraSocket;
    }
    rtpsender::Destination d;
    d.address = m_sendIP;
    d.rtpPort = m_sendPort;
    d.rtcpPort = m_sendRtcpPort != 0 ? m_sendRtcpPort : m_sendPort + 1;
    d.ipv6 = m_ipv6;
    const int rc = m_sender->init(d, sendSocket, m_rtcpSocket, -1, false);
    if (rc == -2) {
        QF_LEAVE();
        return VERtpCode::QosFailed;   // sending runs all the same
    }
    if (rc != 0) {
        VERtpTrace(m_trace, VERtpTraceSink::kError, "VE_StartSend() - Cannot Intialize Socket - (error code = %d)",
                   VERtpCode::SendSocket);
        if (rc == -3) {
            CloseSocket(m_extraSocket);
        }
        return VERtpCode::SendSocket;
    }
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::StopSend() {
    QF_TRACE("VEChannelTransport::StopSend");
    std::lock_guard<std::mutex> lock(m_lock);
    m_sender->stop();
    CloseSocket(m_extraSocket);
    QF_LEAVE();
    return 0;
}

bool VEChannelTransport::Sending() const {
    return m_sender->running();
}

int VEChannelTransport::SendRtp(int payloadType, const uint8_t* payload, size_t length, int durationSamples,
                                bool marker, const uint32_t* csrcs, int csrcCount, const uint32_t* energyLevels,
                                int energyCount) {
    return m_sender->send(payloadType, payload, length, durationSamples, marker, csrcs, csrcCount, energyLevels,
                          energyCount);
}

void VEChannelTransport::AdvanceTimestamp(int samples) {
    m_sender->advanceTimestamp(samples);
}

int VEChannelTransport::SetDTMFPayloadType(int payloadType) {
    QF_TRACE("VEChannelTransport::SetDTMFPayloadType");
    if (payloadType < 0 || payloadType > 127) return VERtpCode::ArgumentOutOfRange;
    m_sender->setTelephoneEventPayloadType(payloadType);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SendTelephoneEvent(int event, int lengthMs, int level) {
    QF_TRACE("VEChannelTransport::SendTelephoneEvent");
    if (m_sender->queueTelephoneEvent(event, lengthMs, level) != 0) return VERtpCode::Failed;
    QF_LEAVE();
    return 0;
}

void VEChannelTransport::SetSenderObserver(VERtpSenderObserver* observer) {
    m_sender->setObserver(observer);
}

int VEChannelTransport::EnableRedundancy(bool on, int redPayloadType) {
    QF_TRACE("VEChannelTransport::EnableRedundancy");
    if (redPayloadType < 0 || redPayloadType > 127) return VERtpCode::ArgumentOutOfRange;
    m_sender->setRedundancy(on, redPayloadType);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SetSendTOS(int dscp) {
    QF_TRACE("VEChannelTransport::SetSendTOS");
    if (m_sender->running()) return VERtpCode::Sending;
    if (dscp < 0 || dscp > 63) return VERtpCode::QosFailed;
    m_sender->setDscp(dscp);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::GetSendTOS() const {
    return m_sender->dscp();
}

int VEChannelTransport::SetSendGQOS(bool enable, int serviceType) {
    QF_TRACE("VEChannelTransport::SetSendGQOS");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_sender->running()) return VERtpCode::Sending;
    m_gqosServiceType = enable ? serviceType : -1;
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::GetSendGQOS(bool& enabled, int& serviceType) const {
    std::lock_guard<std::mutex> lock(m_lock);
    enabled = m_gqosServiceType != -1;
    serviceType = m_gqosServiceType;
    return 0;
}

int VEChannelTransport::SetSendSSRC(uint32_t ssrc) {
    QF_TRACE("VEChannelTransport::SetSendSSRC");
    if (m_sender->running()) return VERtpCode::Sending;
    m_sender->setSsrc(ssrc);
    QF_LEAVE();
    return 0;
}

uint32_t VEChannelTransport::GetSendSSRC() const {
    return m_sender->ssrc();
}

int VEChannelTransport::EnableRTCP(bool enable) {
    QF_TRACE("VEChannelTransport::EnableRTCP");
    m_rtcp->Enable(enable);
    QF_LEAVE();
    return 0;
}

bool VEChannelTransport::RTCPEnabled() const {
    return m_rtcp->Enabled();
}

int VEChannelTransport::SetRTCPCNAME(const char* cname) {
    QF_TRACE("VEChannelTransport::SetRTCPCNAME");
    if (!cname) return VERtpCode::ArgumentOutOfRange;
    m_rtcp->SetCNAME(cname);
    QF_LEAVE();
    return 0;
}

std::string VEChannelTransport::GetRemoteRTCPCNAME() const {
    const std::string cname = m_rtcp->RemoteCNAME();
    VERtpTrace(m_trace, VERtpTraceSink::kInfo, "\t\tremote CNAME = %s", cname.c_str());
    return cname;
}

VERtcpStatistics VEChannelTransport::GetRTCPStatistics() const {
    VERtcpStatistics s;
    const VERtpReceiveReport r = m_stats->Peek();
    s.fractionLost = r.fractionLost;
    s.cumulativeLost = r.cumulativeLost;
    s.extendedHighestSequence = r.extendedHighestSequence;
    s.jitter = r.jitter;
    s.packetsReceived = r.received;
    s.remoteFractionLost = m_rtcp->RemoteFractionLost();
    s.remoteJitter = m_rtcp->RemoteJitter();
    s.roundTripMs = m_rtcp->RoundTripMs();
    s.packetsSent = m_rtcp->PacketsSent();
    s.octetsSent = m_rtcp->OctetsSent();
    return s;
}

void VEChannelTransport::SetRtcpAppHandler(void (*handler)(void*, int, int, uint32_t, const uint8_t*, size_t),
                                           void* user) {
    m_rtcp->SetAppHandler(handler, user, m_channel);
}

int VEChannelTransport::EnableSRTPSend(const VESrtpParams& params) {
    QF_TRACE("VEChannelTransport::EnableSRTPSend");
    if (VESrtpSession::Check(params, VESrtpSession::kSend) != 0) return VERtpCode::SrtpSend;
    m_sender->srtp().Configure(params, VESrtpSession::kSend);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::DisableSRTPSend() {
    QF_TRACE("VEChannelTransport::DisableSRTPSend");
    m_sender->srtp().Disable();
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::EnableSRTPReceive(const VESrtpParams& params) {
    QF_TRACE("VEChannelTransport::EnableSRTPReceive");
    if (VESrtpSession::Check(params, VESrtpSession::kReceive) != 0) return VERtpCode::Failed;
    m_rtpHandler->srtp().Configure(params, VESrtpSession::kReceive);
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::DisableSRTPReceive() {
    QF_TRACE("VEChannelTransport::DisableSRTPReceive");
    m_rtpHandler->srtp().Disable();
    QF_LEAVE();
    return 0;
}

int VEChannelTransport::SetSendTransport(VETransport* transport) {
    QF_TRACE("VEChannelTransport::SetSendTransport");
    std::lock_guard<std::mutex> lock(m_lock);
    m_external = transport != nullptr;
    m_sender->setExternalTransport(transport);
    if (transport) m_listening = true;
    QF_LEAVE();
    return 0;
}

bool VEChannelTransport::ExternalTransport() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_external;
}

int VEChannelTransport::TakeWarning() {
    std::lock_guard<std::mutex> lock(m_lock);
    const int w = m_warning;
    m_warning = 0;
    return w;
}
