#pragma once
// The RTP sender of one channel: builds and sends RTP packets, replaces
// audio by RFC 2833 telephone-event packets while an event runs, wraps
// payloads as RFC 2198 redundancy when asked, protects with SRTP, and sends
// the channel's RTCP report when one is due.
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "voiceengine/rtp/VERtpClock.h"
#include "voiceengine/rtp/VERtpInterfaces.h"
#include "voiceengine/rtp/VESrtpSession.h"

class VEUdpSocket;
class VERtcpHandler;
class VERtpReceiveStatistics;
class VESsrcSource;

class rtpsender {
public:
    static constexpr int kDefaultTelephoneEventPt = 106;
    static constexpr size_t kMaxPayload = 1500;
    static constexpr int kEventGapMs = 100;        // audio between two events
    static constexpr size_t kMaxQueuedEvents = 16;

    struct Destination {
        std::string address;
        int rtpPort = 0;
        int rtcpPort = 0;
        bool ipv6 = false;
    };

    rtpsender(int channel, std::shared_ptr<VERtcpHandler> rtcp, VERtpReceiveStatistics& stats,
              VERtpTraceSink* trace, const VERtpClock& clock = VERtpClock::Real());
    ~rtpsender();

    // Start of sending: header, destination, DSCP. 0; -1 (address or
    // socket); -2 DSCP could not be applied (sending works); -3 multicast
    // set-up failed.
    int init(const Destination& destination, std::shared_ptr<VEUdpSocket> rtpSocket,
             std::shared_ptr<VEUdpSocket> rtcpSocket, int payloadType, bool marker);
    // End of sending: last report (with BYE) when RTCP is on.
    void stop();
    bool running() const;

    void setCodec(const char* name, int frequency, int payloadType);
    int send(int payloadType, const uint8_t* payload, size_t length, int durationSamples, bool marker,
             const uint32_t* csrcs, int csrcCount, const uint32_t* energy, int energyCount);
    void advanceTimestamp(int samples);

    void setTelephoneEventPayloadType(int payloadType);
    int telephoneEventPayloadType() const;
    int queueTelephoneEvent(int event, int lengthMs, int level);
    void setObserver(VERtpSenderObserver* observer);
    void setRedundancy(bool on, int redPayloadType);

    void setDscp(int dscp);
    int dscp() const;
    void setSsrc(uint32_t ssrc);       // takes effect at the next init()
    uint32_t ssrc() const;
    uint16_t sequenceNumber() const;
    uint32_t timestamp() const;

    VESrtpSession& srtp() { return m_srtp; }
    void setExternalTransport(VETransport* transport);

private:
    int sendPacket(uint8_t* packet, size_t length, size_t capacity);   // SRTP + socket/external
    void sendEventPacket(bool marker, bool end);
    void sendRtcpIfDue(bool force, bool bye);
    void writeHeader(uint8_t* p, int payloadType, bool marker, uint32_t timestamp, int csrcCount, bool extension);

    const int m_channel;
    std::shared_ptr<VERtcpHandler> m_rtcp;
    VERtpReceiveStatistics& m_stats;
    VERtpTraceSink* m_trace;
    const VERtpClock& m_clock;
    std::shared_ptr<VESsrcSource> m_ssrcSource;

    mutable std::mutex m_lock;   // everything below
    bool m_running = false;
    uint32_t m_ssrc = 0;
    uint32_t m_requestedSsrc = 0;
    bool m_ssrcRequested = false;
    uint16_t m_sequence = 0;
    uint32_t m_timestamp = 0;
    int m_payloadType = 0;
    int m_frequency = 8000;
    std::string m_codecName;
    int m_telephoneEventPt = kDefaultTelephoneEventPt;
    int m_dscp = 0;
    std::shared_ptr<VEUdpSocket> m_rtpSocket;
    std::shared_ptr<VEUdpSocket> m_rtcpSocket;
    sockaddr_storage m_rtpTo{};
    socklen_t m_rtpToLength = 0;
    sockaddr_storage m_rtcpTo{};
    socklen_t m_rtcpToLength = 0;
    VETransport* m_external = nullptr;
    VERtpSenderObserver* m_observer = nullptr;
    VESrtpSession m_srtp;

    bool m_red = false;
    int m_redPt = 117;
    std::vector<uint8_t> m_previous;   // payload of the previous packet
    int m_previousPt = -1;
    uint32_t m_previousTimestamp = 0;

    struct Event {
        int event;
        int lengthMs;
        int level;
    };
    std::deque<Event> m_events;
    bool m_eventRunning = false;
    Event m_current{};
    uint32_t m_eventTimestamp = 0;
    int m_eventDuration = 0;          // samples so far
    int m_eventRemainingMs = 0;
    bool m_eventFirst = false;
    int m_audioMsSinceEvent = kEventGapMs;
};
