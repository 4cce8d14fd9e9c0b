#include "voiceengine/rtp/VERtcpHandler.h"

#include <algorithm>
#include <cstring>

#include "app/Trace.h"
#include "voiceengine/rtp/VERtpPacket.h"

namespace {
constexpr int kSr = 200, kRr = 201, kSdes = 202, kBye = 203, kApp = 204, kXr = 207;
}

VERtcpHandler::VERtcpHandler(const VERtpClock& clock) : m_clock(clock) {}

void VERtcpHandler::Enable(bool on) {
    QF_TRACE("VERtcpHandler::Enable");
    std::lock_guard<std::mutex> lock(m_lock);
    m_enabled = on;
    if (on) {
        m_packetsSent = 0;
        m_octetsSent = 0;
        m_lastSentMs = m_clock.NowMs() - 3000;
    }
    QF_LEAVE();
}

bool VERtcpHandler::Enabled() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_enabled;
}

void VERtcpHandler::SetCNAME(const std::string& cname) {
    QF_TRACE("VERtcpHandler::SetCNAME");
    std::lock_guard<std::mutex> lock(m_lock);
    m_cname = cname.substr(0, kMaxCname);
    QF_LEAVE();
}

std::string VERtcpHandler::CNAME() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_cname;
}

void VERtcpHandler::CountSent(size_t payloadOctets) {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_packetsSent;
    m_octetsSent += static_cast<uint32_t>(payloadOctets);
}

bool VERtcpHandler::ReportDue() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_enabled && m_clock.NowMs() - m_lastSentMs > kIntervalMs;
}

size_t VERtcpHandler::BuildReport(uint8_t* out, size_t capacity, uint32_t ssrc, int frequency, bool bye,
                                  const VERtpReceiveReport& block) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!out || capacity < kMaxReport) return 0;
    const int64_t nowMs = m_clock.NowMs();
    const VENtpTime ntp = m_clock.NowNtp();
    // Sender report: header, SSRC, NTP, RTP time, counts, one report block.
    uint8_t* p = out;
    p[0] = 0x81;
    p[1] = kSr;
    VERtpPacket::Write16(p + 2, 12);
    VERtpPacket::Write32(p + 4, ssrc);
    VERtpPacket::Write32(p + 8, ntp.seconds);
    VERtpPacket::Write32(p + 12, ntp.fraction);
    const uint64_t rate = static_cast<uint64_t>(frequency > 0 ? frequency : 8000);
    const uint64_t rtp = static_cast<uint64_t>(ntp.seconds) * rate + ((static_cast<uint64_t>(ntp.fraction) * rate) >> 32);
    VERtpPacket::Write32(p + 16, static_cast<uint32_t>(rtp));
    VERtpPacket::Write32(p + 20, m_packetsSent);
    VERtpPacket::Write32(p + 24, m_octetsSent);
    uint8_t* rb = p + 28;
    VERtpPacket::Write32(rb, block.ssrc);
    const uint32_t lost = static_cast<uint32_t>(block.cumulativeLost) & 0xFFFFFF;
    VERtpPacket::Write32(rb + 4, (static_cast<uint32_t>(block.fractionLost) << 24) | lost);
    VERtpPacket::Write32(rb + 8, block.extendedHighestSequence);
    VERtpPacket::Write32(rb + 12, block.jitter);
    uint32_t lsr = 0, dlsr = 0;
    if (m_haveSr) {
        lsr = m_lastSrNtp.Middle();
        const int64_t held = std::max<int64_t>(0, nowMs - m_lastSrReceivedAtMs);
        dlsr = static_cast<uint32_t>(held * 65536 / 1000);
    }
    VERtpPacket::Write32(rb + 16, lsr);
    VERtpPacket::Write32(rb + 20, dlsr);
    p += 52;

    // SDES with one CNAME item; the item list ends with at least one zero
    // byte, and the chunk is padded to a whole word.
    const size_t nameLength = m_cname.size();
    const size_t chunk = 4 + 2 + nameLength;
    const size_t padded = (chunk + 1 + 3) & ~size_t{3};
    std::memset(p, 0, 4 + padded);
    p[0] = 0x81;
    p[1] = kSdes;
    VERtpPacket::Write16(p + 2, static_cast<uint16_t>(padded / 4));
    VERtpPacket::Write32(p + 4, ssrc);
    p[8] = 1;
    p[9] = static_cast<uint8_t>(nameLength);
    std::memcpy(p + 10, m_cname.data(), nameLength);
    p += 4 + padded;

    if (bye) {
        p[0] = 0x81;
        p[1] = kBye;
        VERtpPacket::Write16(p + 2, 1);
        VERtpPacket::Write32(p + 4, ssrc);
        p += 8;
    }
    m_lastSentMs = nowMs;
    m_lastSrSentMiddle = ntp.Middle();
    m_lastSrSentAtMs = nowMs;
    return static_cast<size_t>(p - out);
}

void VERtcpHandler::ParseReportBlock(const uint8_t* block) {
    m_remoteFractionLost = block[4];
    m_remoteJitter = VERtpPacket::Read32(block + 12);
    const uint32_t lsr = VERtpPacket::Read32(block + 16);
    const uint32_t dlsr = VERtpPacket::Read32(block + 20);
    // An LSR of 0 means the other side has no SR of ours yet; matching it
    // against our (still empty) record would give a made-up round trip.
    if (lsr == 0 || lsr != m_lastSrSentMiddle) return;
    const int64_t delayMs = static_cast<int64_t>(dlsr) * 1000 / 65536;
    const int64_t rtt = m_clock.NowMs() - (m_lastSrSentAtMs + delayMs);
    m_rttMs = rtt < 0 ? 0 : static_cast<int>(std::min<int64_t>(rtt, 0x7FFFFFFF));
}

int VERtcpHandler::Parse(const uint8_t* data, size_t length, uint32_t ourSsrc) {
    if (!data || length < 8) return -1;
    if ((data[0] & 0xC0) != 0x80) return -1;
    const int firstType = data[1];
    if (firstType != kSr && firstType != kRr && firstType != kApp) return -1;
    // APP parts go to their handler after the lock is released, so the
    // handler may ask this object for figures.
    struct AppPart {
        int subtype;
        uint32_t name;
        const uint8_t* data;
        size_t length;
    };
    AppPart apps[8];
    int appCount = 0;
    AppHandler appHandler = nullptr;
    void* appUser = nullptr;
    int channel = -1;
    {
    std::lock_guard<std::mutex> lock(m_lock);
    appHandler = m_appHandler;
    appUser = m_appUser;
    channel = m_channel;
    size_t pos = 0;
    while (length - pos >= 4) {
        const uint8_t* h = data + pos;
        if ((h[0] & 0xC0) != 0x80) return -1;
        const int count = h[0] & 0x1F;
        const int type = h[1];
        const size_t partLength = (static_cast<size_t>(VERtpPacket::Read16(h + 2)) + 1) * 4;
        if (partLength > length - pos) return -1;
        const uint8_t* body = h + 4;
        const size_t bodyLength = partLength - 4;
        switch (type) {
        case kSr:
            if (bodyLength < 24) return -1;
            m_remoteSsrc = VERtpPacket::Read32(body);
            m_lastSrNtp.seconds = VERtpPacket::Read32(body + 4);
            m_lastSrNtp.fraction = VERtpPacket::Read32(body + 8);
            m_lastSrRtp = VERtpPacket::Read32(body + 12);
            m_lastSrReceivedAtMs = m_clock.NowMs();
            m_haveSr = true;
            if (count >= 1 && bodyLength >= 24 + 24) ParseReportBlock(body + 24);
            break;
        case kRr:
            if (bodyLength < 4) return -1;
            if (count >= 1 && bodyLength >= 4 + 24) ParseReportBlock(body + 4);
            break;
        case kSdes: {
            if (count < 1 || bodyLength < 4) break;
            m_remoteSsrc = VERtpPacket::Read32(body);
            size_t i = 4;
            while (i + 2 <= bodyLength && body[i] != 0) {
                const int item = body[i];
                const size_t itemLength = body[i + 1];
                if (itemLength > bodyLength - i - 2) return -1;
                if (item == 1)
                    m_remoteCname.assign(reinterpret_cast<const char*>(body + i + 2),
                                         std::min(itemLength, kMaxCname));
                i += 2 + itemLength;
            }
            break;
        }
        case kXr: {
            // Report blocks after the sender's SSRC; keep VoIP metrics about us.
            size_t i = 4;
            while (bodyLength >= i + 4) {
                const int blockType = body[i];
                const size_t blockLength = (static_cast<size_t>(VERtpPacket::Read16(body + i + 2)) + 1) * 4;
                if (blockLength > bodyLength - i) return -1;
                if (blockType == 7 && blockLength >= 36 && VERtpPacket::Read32(body + i + 4) == ourSsrc) {
                    std::memcpy(m_xr.data(), body + i + 8, m_xr.size());
                    m_haveXr = true;
                }
                i += blockLength;
            }
            break;
        }
        case kApp:
            if (bodyLength < 8) return -1;
            if (appCount < 8) apps[appCount++] = AppPart{count, VERtpPacket::Read32(body + 4), body + 8, bodyLength - 8};
            break;
        default:
            break;   // BYE and others: nothing we keep
        }
        pos += partLength;
    }
    }
    if (appHandler)
        for (int i = 0; i < appCount; ++i)
            appHandler(appUser, channel, apps[i].subtype, apps[i].name, apps[i].data, apps[i].length);
    return 0;
}

void VERtcpHandler::SetAppHandler(AppHandler handler, void* user, int channel) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_appHandler = handler;
    m_appUser = user;
    m_channel = channel;
}

int VERtcpHandler::RoundTripMs() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rttMs;
}
std::string VERtcpHandler::RemoteCNAME() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_remoteCname;
}
uint32_t VERtcpHandler::RemoteSSRC() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_remoteSsrc;
}
int VERtcpHandler::RemoteFractionLost() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_remoteFractionLost;
}
uint32_t VERtcpHandler::RemoteJitter() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_remoteJitter;
}
uint32_t VERtcpHandler::PacketsSent() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_packetsSent;
}
uint32_t VERtcpHandler::OctetsSent() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_octetsSent;
}
uint32_t VERtcpHandler::LastSrMiddle() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_haveSr ? m_lastSrNtp.Middle() : 0;
}
uint32_t VERtcpHandler::LastSrRtpTimestamp() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastSrRtp;
}
bool VERtcpHandler::HaveVoipMetrics(uint8_t out[28]) const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_haveXr) return false;
    std::memcpy(out, m_xr.data(), m_xr.size());
    return true;
}
