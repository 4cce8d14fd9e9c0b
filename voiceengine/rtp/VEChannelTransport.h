#pragma once
// The media transport of one channel: its RTP and RTCP sockets with their
// receive handlers, the RTP sender, the RTCP handler and the receive
// statistics. The channel (and the facade) call it; it calls back the
// engine's VERtpReceiver for each datagram and the channel's
// VERtpPayloadSink for each payload.
//
// Results: 0, or an engine code (see VERtpCode); -1 without a code.
// Threads: the facade calls under its API lock; SendRtp()/AdvanceTimestamp()
// come from the audio thread; datagrams arrive on the socket manager thread.
// The object has its own locks for what those threads share.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "voiceengine/rtp/VERtpClock.h"
#include "voiceengine/rtp/VERtpInterfaces.h"
#include "voiceengine/rtp/VESrtpSession.h"

class SocketManager;
class VEUdpSocket;
class callbacksocket;
class rtpsender;
class VERtcpHandler;
class VERtpReceiveStatistics;

// Figures of the last report received from the remote side, and ours.
struct VERtcpStatistics {
    // From our receive statistics (what our report blocks carry).
    int fractionLost = 0;             // 0..255
    int cumulativeLost = 0;           // 24-bit signed
    uint32_t extendedHighestSequence = 0;
    uint32_t jitter = 0;              // timestamp units
    // From the remote side's last SR/RR report block about us.
    int remoteFractionLost = 0;
    uint32_t remoteJitter = 0;
    int roundTripMs = 0;
    uint32_t packetsSent = 0;
    uint32_t octetsSent = 0;
    uint32_t packetsReceived = 0;
};

class VEChannelTransport {
public:
    static constexpr int kDefaultRtpPort = 37644;
    static constexpr size_t kMaxExternalPacket = 807;
    static constexpr size_t kMaxPayload = 1500;

    VEChannelTransport(int channel, SocketManager& manager, VERtpReceiver& receiver,
                       VERtpTraceSink* trace = nullptr, const VERtpClock& clock = VERtpClock::Real());
    ~VEChannelTransport();
    VEChannelTransport(const VEChannelTransport&) = delete;
    VEChannelTransport& operator=(const VEChannelTransport&) = delete;

    int Channel() const { return m_channel; }

    // --- Ports and addresses -------------------------------------------
    // Opens RTP and RTCP receive sockets (RTCP port 0 = RTP port + 1) and
    // sets the source port to the RTP port. Null or empty texts mean none.
    // 8029, 8006, -1 (sending), 8012, 10003, 9001. A GQoS request that
    // cannot be honoured leaves warning 8033 in TakeWarning().
    int SetRecPort(int rtpPort, const char* multicastGroup, const char* localAddress, int rtcpPort);
    void GetRecPort(int& rtpPort, int& rtcpPort) const;
    int SetSrcPort(int port);                      // 8006, 8018
    int SetSendPort(int rtpPort, int rtcpPort);    // 8006, 8018; RTCP 0 = RTP + 1
    void GetSendPort(int& rtpPort, int& rtcpPort) const;
    int SetSendIP(const char* address);            // 8018, 8019 (IPv6 text only with IPv6)
    std::string GetSendIP() const;
    int EnableIPv6();                              // 8039 once sockets exist
    bool IPv6() const;

    // --- Receiving ---------------------------------------------------------
    int StartListen();    // 8001 (no receive port), 8012, 10011, 9007
    int StopListen();
    bool Listening() const;

    // Payload types the receive path treats specially (-1 = none). The
    // channel sets them from its payload bindings.
    void SetReceiveTelephoneEventPayloadType(int payloadType);
    void SetReceiveRedPayloadType(int payloadType);

    // Under the engine's locks: parses the packet with every header check,
    // updates the receive statistics, keeps the contributing sources and
    // energy levels, splits RED and decodes telephone events, and hands each
    // payload to the sink. Returns how many payloads the sink took, -1 for a
    // malformed packet (dropped without a trace of its content).
    int ProcessRtp(const uint8_t* packet, size_t length, VERtpPayloadSink& sink);
    // RTCP from the socket or an external transport. 0, or -1 when dropped.
    int ProcessRtcp(const uint8_t* packet, size_t length);

    // External transport: packets handed in by the facade. RTP: 8032 for a
    // length outside 1..807, -1 ("RTP version not supported") for a version
    // other than 2; otherwise SRTP and the engine's receive entry as for a
    // datagram. RTCP: parsed like a datagram.
    int ReceivedRTPPacket(const uint8_t* data, size_t length);
    int ReceivedRTCPPacket(const uint8_t* data, size_t length);

    // --- Filters and what was seen -----------------------------------------
    int SetFilterPort(int port);                   // 0 = any
    int GetFilterPort() const;
    int SetFilterIP(const char* address);          // 8019; null/empty = any
    std::string GetFromIP() const;
    int GetFromPort() const;
    uint32_t GetRemoteSSRC() const;                // first SSRC seen (0 = none)
    int GetCSRCs(uint32_t* out, int capacity) const;   // of the last packet, up to 15
    int GetEnergyLevels(uint32_t* out, int capacity) const;   // up to 8 words
    // Push-to-talk style reception: only the first source's SSRC is taken
    // and the host's own packets are ignored.
    void SetAutoStart(bool on);

    // --- Sending -----------------------------------------------------------
    // The send codec; the RTP timestamp is re-seeded from the wall clock
    // when the name changes.
    void SetSendCodec(const char* name, int frequency, int payloadType);
    // 8019, 8001, 8006 (destination), 10015 (socket), or 9010: warning,
    // sending runs (the DSCP value could not be applied).
    int StartSend();
    // Sends the last RTCP report with BYE when RTCP is on.
    int StopSend();
    bool Sending() const;

    // From the transmit side with a finished payload. `durationSamples`
    // advances the timestamp afterwards. 0 when sent (or replaced by a
    // telephone-event packet), -1 on failure (length, SRTP, socket).
    int SendRtp(int payloadType, const uint8_t* payload, size_t length, int durationSamples, bool marker,
                const uint32_t* csrcs = nullptr, int csrcCount = 0,
                const uint32_t* energyLevels = nullptr, int energyCount = 0);
    // Silence that is not sent still moves the timestamp.
    void AdvanceTimestamp(int samples);

    int SetDTMFPayloadType(int payloadType);       // 8005 outside 0..127
    // Queues an out-of-band event (ranges are checked by the facade).
    int SendTelephoneEvent(int event, int lengthMs, int level);
    void SetSenderObserver(VERtpSenderObserver* observer);
    // RFC 2198 on send: each packet repeats the previous payload.
    int EnableRedundancy(bool on, int redPayloadType);

    int SetSendTOS(int dscp);          // 9010 outside 0..63, 8018 while sending
    int GetSendTOS() const;
    int SetSendGQOS(bool enable, int serviceType);   // 8018 while sending
    int GetSendGQOS(bool& enabled, int& serviceType) const;
    int SetSendSSRC(uint32_t ssrc);    // 8018 while sending; used at the next StartSend
    uint32_t GetSendSSRC() const;

    // --- RTCP ----------------------------------------------------------------
    int EnableRTCP(bool enable);
    bool RTCPEnabled() const;
    int SetRTCPCNAME(const char* cname);     // at most 255 characters kept
    std::string GetRemoteRTCPCNAME() const;
    VERtcpStatistics GetRTCPStatistics() const;
    // Handler for received APP packets (subtype, name, data).
    void SetRtcpAppHandler(void (*handler)(void* user, int channel, int subtype, uint32_t name,
                                           const uint8_t* data, size_t length),
                           void* user);

    // --- SRTP ------------------------------------------------------------------
    // 9014 when libsrtp rejects the parameters (send); receive rejection
    // returns -1 without a code. Parameters already stored are kept.
    int EnableSRTPSend(const VESrtpParams& params);
    int DisableSRTPSend();
    int EnableSRTPReceive(const VESrtpParams& params);
    int DisableSRTPReceive();

    // --- External transport --------------------------------------------------
    // Installs the object (null removes it) and marks the channel listening.
    int SetSendTransport(VETransport* transport);
    bool ExternalTransport() const;

    // A warning set by the last call that still succeeded (8033), or 0;
    // reading clears it.
    int TakeWarning();

private:
    int OpenSocket(std::shared_ptr<VEUdpSocket>& socket, const std::shared_ptr<callbacksocket>& handler, int port,
                   const std::string& group, const std::string& local);
    void CloseSocket(std::shared_ptr<VEUdpSocket>& socket);

    const int m_channel;
    SocketManager& m_manager;
    VERtpReceiver& m_receiver;
    VERtpTraceSink* m_trace;
    const VERtpClock& m_clock;

    mutable std::mutex m_lock;   // ports, flags, socket pointers
    bool m_autoStart = false;
    int m_recPort = 0;
    int m_recRtcpPort = 0;
    int m_srcPort = 0;
    int m_sendPort = 0;
    int m_sendRtcpPort = 0;
    std::string m_sendIP = "0.0.0.0";
    bool m_ipv6 = false;
    bool m_listening = false;
    bool m_external = false;
    int m_warning = 0;
    int m_gqosServiceType = -1;

    std::shared_ptr<VEUdpSocket> m_rtpSocket;
    std::shared_ptr<VEUdpSocket> m_rtcpSocket;
    std::shared_ptr<VEUdpSocket> m_extraSocket;
    std::shared_ptr<callbacksocket> m_rtpHandler;
    std::shared_ptr<callbacksocket> m_rtcpHandler;
    std::unique_ptr<VERtpReceiveStatistics> m_stats;
    std::shared_ptr<VERtcpHandler> m_rtcp;
    std::unique_ptr<rtpsender> m_sender;

    // Receive-side packet state (under the engine's locks).
    int m_telephoneEventPt = -1;
    int m_redPt = -1;
    uint32_t m_lastEventTimestamp = 0;
    bool m_haveEvent = false;
    bool m_eventEnded = false;
    std::array<uint32_t, 15> m_csrcs{};
    int m_csrcCount = 0;
    std::array<uint32_t, 8> m_energy{};
    int m_energyCount = 0;
};
