#include "voiceengine/rtp/rtpsender.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/rtp/VERtcpHandler.h"
#include "voiceengine/rtp/VERtpPacket.h"
#include "voiceengine/rtp/VERtpReceiveStatistics.h"
#include "voiceengine/rtp/VESsrcSource.h"
#include "voiceengine/rtp/VEUdpSocket.h"

namespace {

// Room for the largest packet we build: header, 15 contributors, energy
// extension, a RED block of up to 1023 bytes, the payload and the SRTP tag.
constexpr size_t kPacketRoom = 12 + 60 + 4 + 32 + 5 + 1023 + 1500 + 64;

bool Resolve(const std::string& address, int port, bool ipv6, sockaddr_storage& out, socklen_t& length) {
    out = sockaddr_storage{};
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) return false;
        length = sizeof(sockaddr_in6);
        return true;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&out);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) return false;
    length = sizeof(sockaddr_in);
    return true;
}

} // namespace

rtpsender::rtpsender(int channel, std::shared_ptr<VERtcpHandler> rtcp, VERtpReceiveStatistics& stats,
                     VERtpTraceSink* trace, const VERtpClock& clock)
    : m_channel(channel), m_rtcp(std::move(rtcp)), m_stats(stats), m_trace(trace), m_clock(clock),
      m_ssrcSource(VESsrcSource::Acquire()) {
    m_ssrc = m_ssrcSource->Next();
    m_sequence = static_cast<uint16_t>(std::rand());
}

rtpsender::~rtpsender() = default;

void rtpsender::writeHeader(uint8_t* p, int payloadType, bool marker, uint32_t timestamp, int csrcCount,
                            bool extension) {
    p[0] = static_cast<uint8_t>(0x80 | (extension ? 0x10 : 0) | (csrcCount & 0x0F));
    p[1] = static_cast<uint8_t>((payloadType & 0x7F) | (marker ? 0x80 : 0));
    VERtpPacket::Write16(p + 2, m_sequence);
    VERtpPacket::Write32(p + 4, timestamp);
    VERtpPacket::Write32(p + 8, m_ssrc);
}

int rtpsender::init(const Destination& destination, std::shared_ptr<VEUdpSocket> rtpSocket,
                    std::shared_ptr<VEUdpSocket> rtcpSocket, int payloadType, bool marker) {
    QF_TRACE("rtpsender::init");
    std::lock_guard<std::mutex> lock(m_lock);
    if (payloadType >= 0) m_payloadType = payloadType & 0x7F;
    VERtpTrace(m_trace, VERtpTraceSink::kInfo,
               "\trtpsender::init(ip=%s, receiverport=%d, RTCPport=%d, TOS=%d, payload=%d, market=%d, ID=%d, "
               "ssrcSet=%d, ipV6Enable=%d)",
               destination.address.c_str(), destination.rtpPort, destination.rtcpPort, m_dscp, m_payloadType,
               marker ? 1 : 0, m_channel, m_ssrcRequested ? 1 : 0, destination.ipv6 ? 1 : 0);
    if (m_ssrcRequested) {
        m_ssrc = m_requestedSsrc;
        m_ssrcSource->Reserve(m_ssrc);
        m_ssrcRequested = false;
    }
    m_rtpSocket = std::move(rtpSocket);
    m_rtcpSocket = std::move(rtcpSocket);
    if (!m_external) {
        if (!m_rtpSocket ||
            !Resolve(destination.address, destination.rtpPort, destination.ipv6, m_rtpTo, m_rtpToLength) ||
            !Resolve(destination.address, destination.rtcpPort, destination.ipv6, m_rtcpTo, m_rtcpToLength)) {
            QF_LOG_ERROR("destination %s not usable", destination.address.c_str());
            m_rtpSocket.reset();
            m_rtcpSocket.reset();
            return -1;
        }
    }
    int result = 0;
    if (m_dscp != 0 && !m_external) {
        // The marking interface takes DSCP values up to 46 (expedited
        // forwarding); anything above is refused as it always was.
        int rc = m_dscp > 46 ? EINVAL : m_rtpSocket->SetDscp(m_dscp);
        if (rc == 0 && m_rtcpSocket) rc = m_rtcpSocket->SetDscp(m_dscp);
        if (rc != 0) {
            VERtpTrace(m_trace, VERtpTraceSink::kWarning, "Set TOS error %i", rc);
            result = -2;
        }
    }
    if (!destination.ipv6 && !m_external) {
        const int first = std::atoi(destination.address.c_str());
        VERtpTrace(m_trace, VERtpTraceSink::kInfo, "\t\tfirst digit in IP-address = %d", first);
        if (first >= 224 && first <= 239) {
            VERtpTrace(m_trace, VERtpTraceSink::kInfo, "\t\tmulticast address has been detected");
            int rc = m_rtpSocket->SetMulticastTtl(64);
            if (rc != 0) {
                VERtpTrace(m_trace, VERtpTraceSink::kError, "setsockopt for multicast error, GetLastError: %i", rc);
                m_rtpSocket.reset();
                m_rtcpSocket.reset();
                return -3;
            }
        }
    }
    m_running = true;
    QF_LEAVE();
    return result;
}

void rtpsender::stop() {
    QF_TRACE("rtpsender::stop");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_running) sendRtcpIfDue(true, true);
    m_running = false;
    m_events.clear();
    m_eventRunning = false;
    m_previous.clear();
    m_previousPt = -1;
    m_rtpSocket.reset();
    m_rtcpSocket.reset();
    QF_LEAVE();
}

bool rtpsender::running() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_running;
}

void rtpsender::setCodec(const char* name, int frequency, int payloadType) {
    QF_TRACE("rtpsender::setCodec");
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string newName = name ? name : "";
    m_frequency = frequency > 0 ? frequency : 8000;
    m_payloadType = payloadType & 0x7F;
    if (strcasecmp(newName.c_str(), m_codecName.c_str()) != 0) {
        // A new codec restarts the timeline from the wall clock.
        const VENtpTime ntp = m_clock.NowNtp();
        const uint64_t rate = static_cast<uint64_t>(m_frequency);
        m_timestamp = static_cast<uint32_t>(static_cast<uint64_t>(ntp.seconds) * rate +
                                            ((static_cast<uint64_t>(ntp.fraction) * rate) >> 32));
        m_codecName = newName;
    }
    QF_LEAVE();
}

int rtpsender::sendPacket(uint8_t* packet, size_t length, size_t capacity) {
    if (m_srtp.Enabled()) {
        const int rc = m_srtp.Protect(packet, length, capacity);
        if (rc == -1) {
            VERtpTrace(m_trace, VERtpTraceSink::kError, "Failed to initiate SRTP");
            return -1;
        }
        if (rc != 0) {
            VERtpTrace(m_trace, VERtpTraceSink::kError,
                       "Sending encoded data failed, error when encrypting SRTP data");
            return -1;
        }
    }
    if (m_external) {
        if (m_external->SendPacket(m_channel, packet, static_cast<int>(length)) < 0) {
            VERtpTrace(m_trace, VERtpTraceSink::kError, "Sending encoded data failed (error code = %i)", -1);
            return -1;
        }
        return 0;
    }
    if (!m_rtpSocket) return -1;
    const int rc = m_rtpSocket->SendTo(packet, length, m_rtpTo, m_rtpToLength);
    if (rc != 0) {
        VERtpTrace(m_trace, VERtpTraceSink::kError, "Sending encoded data failed (error code = %i)", rc);
        return -1;
    }
    return 0;
}

void rtpsender::sendEventPacket(bool marker, bool end) {
    uint8_t packet[16 + 64];
    writeHeader(packet, m_telephoneEventPt, marker, m_eventTimestamp, 0, false);
    packet[12] = static_cast<uint8_t>(m_current.event);
    packet[13] = static_cast<uint8_t>((end ? 0x80 : 0) | (m_current.level & 0x3F));
    VERtpPacket::Write16(packet + 14, static_cast<uint16_t>(m_eventDuration > 0xFFFF ? 0xFFFF : m_eventDuration));
    if (sendPacket(packet, 16, sizeof packet) == 0 && m_rtcp) m_rtcp->CountSent(4);
    ++m_sequence;
}

void rtpsender::sendRtcpIfDue(bool force, bool bye) {
    if (!m_rtcp || !m_rtcp->Enabled()) return;
    if (!force && !m_rtcp->ReportDue()) return;
    const VERtpReceiveReport block = m_stats.MakeReport();
    VERtpTrace(m_trace, VERtpTraceSink::kInfo, "RTCP statistics fraction_lost=%d, jitter =%d",
               block.fractionLost, static_cast<int>(block.jitter));
    uint8_t report[VERtcpHandler::kMaxReport];
    // The closing report has always stated its RTP time at 8 kHz.
    const size_t length = m_rtcp->BuildReport(report, sizeof report, m_ssrc, bye ? 8000 : m_frequency, bye, block);
    if (length == 0) return;
    if (m_external) {
        m_external->SendRTCPPacket(m_channel, report, static_cast<int>(length));
    } else if (m_rtcpSocket) {
        const int rc = m_rtcpSocket->SendTo(report, length, m_rtcpTo, m_rtcpToLength);
        if (rc != 0) VERtpTrace(m_trace, VERtpTraceSink::kWarning, "Sending RTCP failed (error code = %i)", rc);
    }
}

int rtpsender::send(int payloadType, const uint8_t* payload, size_t length, int durationSamples, bool marker,
                    const uint32_t* csrcs, int csrcCount, const uint32_t* energy, int energyCount) {
    // Runs once per packet on the audio thread: no entry/leave lines here.
    std::unique_lock<std::mutex> lock(m_lock);
    if (length > kMaxPayload || (length > 0 && !payload)) {
        VERtpTrace(m_trace, VERtpTraceSink::kError, "rtpsender::send error, len is not correct:%i",
                   static_cast<int>(length));
        return -1;
    }
    VERtpTrace(m_trace, VERtpTraceSink::kStream, "\t\trtpsender::send(len=%d,timeLen=%d)", static_cast<int>(length),
               durationSamples);
    if (!m_running) return -1;
    const int periodMs = durationSamples > 0 ? durationSamples * 1000 / m_frequency : 0;

    bool started = false;
    Event startedEvent{};
    if (!m_eventRunning && !m_events.empty() && m_audioMsSinceEvent >= kEventGapMs) {
        m_current = m_events.front();
        m_events.pop_front();
        m_timestamp += static_cast<uint32_t>(durationSamples);
        m_eventTimestamp = m_timestamp;
        m_eventDuration = 0;
        m_eventRemainingMs = m_current.lengthMs;
        m_eventFirst = true;
        m_eventRunning = true;
        started = true;
        startedEvent = m_current;
    }
    if (m_eventRunning) {
        if (m_eventRemainingMs > 0) {
            m_eventDuration += durationSamples;
            m_eventRemainingMs -= periodMs;
            sendEventPacket(m_eventFirst, false);
            m_eventFirst = false;
        } else {
            for (int i = 0; i < 3; ++i) sendEventPacket(false, true);
            m_timestamp = m_eventTimestamp + static_cast<uint32_t>(m_eventDuration + durationSamples);
            m_eventRunning = false;
            m_audioMsSinceEvent = 0;
        }
        sendRtcpIfDue(false, false);
        VERtpSenderObserver* observer = m_observer;
        lock.unlock();
        if (started && observer) observer->OnTelephoneEventStarted(startedEvent.event, startedEvent.lengthMs, startedEvent.level);
        return 0;
    }

    uint8_t packet[kPacketRoom];
    csrcCount = csrcs ? std::clamp(csrcCount, 0, 15) : 0;
    energyCount = energy ? std::clamp(energyCount, 0, 8) : 0;
    const bool red = m_red;
    writeHeader(packet, red ? m_redPt : payloadType, marker, m_timestamp, csrcCount, energyCount > 0);
    size_t pos = 12;
    for (int i = 0; i < csrcCount; ++i, pos += 4) VERtpPacket::Write32(packet + pos, csrcs[i]);
    if (energyCount > 0) {
        packet[pos] = 0xF0;
        packet[pos + 1] = 0xF0;
        VERtpPacket::Write16(packet + pos + 2, static_cast<uint16_t>(energyCount));
        pos += 4;
        for (int i = 0; i < energyCount; ++i, pos += 4) VERtpPacket::Write32(packet + pos, energy[i]);
    }
    if (red) {
        const uint32_t offset = m_timestamp - m_previousTimestamp;
        if (m_previousPt >= 0 && m_previous.size() <= 1023 && offset <= 0x3FFF) {
            packet[pos] = static_cast<uint8_t>(0x80 | m_previousPt);
            packet[pos + 1] = static_cast<uint8_t>(offset >> 6);
            packet[pos + 2] = static_cast<uint8_t>(((offset & 0x3F) << 2) | (m_previous.size() >> 8));
            packet[pos + 3] = static_cast<uint8_t>(m_previous.size() & 0xFF);
            packet[pos + 4] = static_cast<uint8_t>(payloadType & 0x7F);
            pos += 5;
            if (!m_previous.empty()) std::memcpy(packet + pos, m_previous.data(), m_previous.size());
            pos += m_previous.size();
        } else {
            packet[pos++] = static_cast<uint8_t>(payloadType & 0x7F);
        }
        m_previous.assign(payload, payload + length);
        m_previousPt = payloadType & 0x7F;
        m_previousTimestamp = m_timestamp;
    }
    if (length > 0) std::memcpy(packet + pos, payload, length);
    pos += length;

    const int rc = sendPacket(packet, pos, sizeof packet);
    if (rc == 0 && m_rtcp) m_rtcp->CountSent(pos - 12);
    ++m_sequence;
    m_timestamp += static_cast<uint32_t>(durationSamples);
    m_audioMsSinceEvent += periodMs;
    sendRtcpIfDue(false, false);
    return rc;
}

void rtpsender::advanceTimestamp(int samples) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timestamp += static_cast<uint32_t>(samples);
}

void rtpsender::setTelephoneEventPayloadType(int payloadType) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_telephoneEventPt = payloadType & 0x7F;
}

int rtpsender::telephoneEventPayloadType() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_telephoneEventPt;
}

int rtpsender::queueTelephoneEvent(int event, int lengthMs, int level) {
    QF_TRACE("rtpsender::queueTelephoneEvent");
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_events.size() >= kMaxQueuedEvents) {
        QF_LOG_ERROR("event queue full");
        return -1;
    }
    m_events.push_back(Event{event, lengthMs, level});
    QF_LEAVE();
    return 0;
}

void rtpsender::setObserver(VERtpSenderObserver* observer) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_observer = observer;
}

void rtpsender::setRedundancy(bool on, int redPayloadType) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_red = on;
    m_redPt = redPayloadType & 0x7F;
    m_previous.clear();
    m_previousPt = -1;
}

void rtpsender::setDscp(int dscp) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_dscp = dscp;
}

int rtpsender::dscp() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dscp;
}

void rtpsender::setSsrc(uint32_t ssrc) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requestedSsrc = ssrc;
    m_ssrcRequested = true;
}

uint32_t rtpsender::ssrc() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ssrcRequested ? m_requestedSsrc : m_ssrc;
}

uint16_t rtpsender::sequenceNumber() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sequence;
}

uint32_t rtpsender::timestamp() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_timestamp;
}

void rtpsender::setExternalTransport(VETransport* transport) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_external = transport;
}
