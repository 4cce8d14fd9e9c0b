#pragma once
// RTCP of one channel: builds our compound report (SR with one report
// block, SDES with the CNAME, BYE on the last one), parses what the remote
// side sends (SR, RR, SDES, XR VoIP metrics, APP) and works out the round
// trip from the LSR/DLSR of its report blocks.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "voiceengine/rtp/VERtpClock.h"
#include "voiceengine/rtp/VERtpReceiveStatistics.h"

class VERtcpHandler {
public:
    static constexpr int kIntervalMs = 5000;
    static constexpr size_t kMaxCname = 255;
    static constexpr size_t kMaxReport = 52 + 8 + 4 + kMaxCname + 4 + 8;   // SR + SDES + BYE
    static constexpr const char* kDefaultCname = "user1@undefined";

    using AppHandler = void (*)(void* user, int channel, int subtype, uint32_t name, const uint8_t* data,
                                size_t length);

    explicit VERtcpHandler(const VERtpClock& clock = VERtpClock::Real());

    // On: counters reset, and the first report falls due about 2 s later.
    void Enable(bool on);
    bool Enabled() const;
    void SetCNAME(const std::string& cname);
    std::string CNAME() const;

    // Counted by the sender for every RTP packet.
    void CountSent(size_t payloadOctets);
    bool ReportDue() const;

    // Our compound packet into `out` (at least kMaxReport bytes). `frequency`
    // scales the NTP time into the SR's RTP timestamp. Returns the length.
    size_t BuildReport(uint8_t* out, size_t capacity, uint32_t ssrc, int frequency, bool bye,
                       const VERtpReceiveReport& block);

    // 0 when taken, -1 when the packet was dropped (malformed, or a first
    // part other than SR, RR or APP).
    int Parse(const uint8_t* data, size_t length, uint32_t ourSsrc);

    void SetAppHandler(AppHandler handler, void* user, int channel);

    int RoundTripMs() const;
    std::string RemoteCNAME() const;
    uint32_t RemoteSSRC() const;
    int RemoteFractionLost() const;
    uint32_t RemoteJitter() const;
    uint32_t PacketsSent() const;
    uint32_t OctetsSent() const;
    // Last SR received: its NTP middle 32 bits and RTP timestamp.
    uint32_t LastSrMiddle() const;
    uint32_t LastSrRtpTimestamp() const;
    bool HaveVoipMetrics(uint8_t out[28]) const;

private:
    void ParseReportBlock(const uint8_t* block);

    const VERtpClock& m_clock;
    mutable std::mutex m_lock;
    bool m_enabled = false;
    std::string m_cname = kDefaultCname;
    int64_t m_lastSentMs = 0;
    uint32_t m_lastSrSentMiddle = 0;
    int64_t m_lastSrSentAtMs = 0;
    uint32_t m_packetsSent = 0;
    uint32_t m_octetsSent = 0;

    bool m_haveSr = false;
    VENtpTime m_lastSrNtp;
    uint32_t m_lastSrRtp = 0;
    int64_t m_lastSrReceivedAtMs = 0;
    uint32_t m_remoteSsrc = 0;
    std::string m_remoteCname;
    int m_rttMs = 0;
    int m_remoteFractionLost = 0;
    uint32_t m_remoteJitter = 0;
    bool m_haveXr = false;
    std::array<uint8_t, 28> m_xr{};

    AppHandler m_appHandler = nullptr;
    void* m_appUser = nullptr;
    int m_channel = -1;
};
