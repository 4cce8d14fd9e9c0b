#pragma once
// What the media transport needs from the rest of the engine, and what it
// hands back: result codes, the engine trace, the receive entry points, the
// per-payload sink of a channel and the external transport object.
//
// Result convention of the transport objects: 0 is success; a positive value
// is the engine's error or warning code (8xxx usage, 9xxx warning, 10xxx
// device/run-time) that the facade stores in _lastError before it returns -1;
// VERtpCode::Failed (-1) is a failure that sets no code.
#include <cstddef>
#include <cstdint>

struct VERtpCode {
    static constexpr int Ok = 0;
    static constexpr int Failed = -1;             // failure without a code
    static constexpr int PortNotSet = 8001;
    static constexpr int ArgumentOutOfRange = 8005;
    static constexpr int PortOutOfRange = 8006;
    static constexpr int Listening = 8012;
    static constexpr int Sending = 8018;
    static constexpr int InvalidAddress = 8019;
    static constexpr int ExternalTransport = 8029;
    static constexpr int PacketLength = 8032;     // external RTP packet not 1..807 bytes
    static constexpr int NoGQoS = 8033;           // warning: QoS requested, none available
    static constexpr int RtcpSocket = 9001;
    static constexpr int RtcpReceiveStart = 9007;
    static constexpr int QosFailed = 9010;        // warning: sending continues
    static constexpr int SrtpSend = 9014;
    static constexpr int RtpSocket = 10003;
    static constexpr int RtpReceiveStart = 10011;
    static constexpr int SendSocket = 10015;
};

// The engine's trace file (levels are its bit values). The transport only
// formats a line when Wants() says the level is switched on.
class VERtpTraceSink {
public:
    enum Level {
        kInfo = 1, kWarning = 2, kError = 4, kCritical = 8, kMemory = 16,
        kTimer = 32, kStream = 64, kApiCall = 128, kDebug = 256
    };
    virtual ~VERtpTraceSink() = default;
    virtual bool Wants(int level) const = 0;
    virtual void Line(int level, const char* text) = 0;
};

// Formats and writes one trace line when the sink wants the level; safe
// with a null sink.
void VERtpTrace(VERtpTraceSink* sink, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Receive entry of the engine, called from the socket manager thread (or
// from the facade for packets handed in by an external transport). The
// datagram has passed the socket's source filters and SRTP; it is exactly as
// it arrived otherwise (no header check yet). The engine does its own entry
// steps (version check, API lock, channel check, last-packet time, playing
// check) and then, under its sound card lock, calls
// VEChannelTransport::ProcessRtp() with the channel's payload sink.
// The channel number is passed instead of an object, so a datagram still in
// flight while a channel is deleted finds no channel and is dropped.
class VERtpReceiver {
public:
    virtual ~VERtpReceiver() = default;
    virtual void ReceivedRtp(int channel, const uint8_t* data, size_t length) = 0;
    // The engine calls VEChannelTransport::ProcessRtcp() for the channel.
    virtual void ReceivedRtcp(int channel, const uint8_t* data, size_t length) = 0;
};

// One payload taken from a received RTP packet. A RED (RFC 2198) packet
// yields one of these per block, oldest first, the redundant ones marked.
// A telephone-event payload carries its parsed fields.
struct VERtpPayload {
    const uint8_t* packet = nullptr;   // the whole RTP packet (header included)
    size_t packetLength = 0;
    const uint8_t* data = nullptr;     // this block's payload
    size_t length = 0;
    int payloadType = 0;               // of this block (not the RED type)
    uint16_t sequenceNumber = 0;       // of the carrying packet
    uint32_t timestamp = 0;            // of this block (RED offset applied)
    uint32_t ssrc = 0;
    bool marker = false;
    bool redundant = false;            // an older block repeated in a RED packet

    bool telephoneEvent = false;       // payload type is the receive telephone-event type
    int event = 0;                     // 0..255
    bool eventEnd = false;             // E bit
    int eventVolume = 0;               // 0..63
    int eventDuration = 0;             // samples
    bool eventStarted = false;         // first packet seen of a new event (new timestamp)
    bool eventFinished = false;        // first end packet seen of the event
};

// A channel's receive side as the transport sees it (the channel implements
// it; the engine passes it to ProcessRtp()).
class VERtpPayloadSink {
public:
    virtual ~VERtpPayloadSink() = default;
    // Sampling rate of a received payload type (from the channel's payload
    // bindings), or <= 0 when the type is not bound. Used for the
    // interarrival jitter.
    virtual int ReceiveFrequency(int payloadType) = 0;
    // One payload for the jitter buffer. Returns 0 when taken, negative when
    // rejected (the channel counts the drop).
    virtual int OnRtpPayload(const VERtpPayload& payload) = 0;
};

// Optional external transport: installed with VEChannelTransport::
// SetSendTransport(); from then on outgoing RTP and RTCP go here instead of
// to the sockets. Returns the number of bytes taken, negative on failure.
class VETransport {
public:
    virtual ~VETransport() = default;
    virtual int SendPacket(int channel, const void* data, int length) = 0;
    virtual int SendRTCPPacket(int channel, const void* data, int length) = 0;
};

// Events the RTP sender reports to its channel while sending.
class VERtpSenderObserver {
public:
    virtual ~VERtpSenderObserver() = default;
    // An out-of-band event has started; with local feedback on, the channel
    // plays the tone for (lengthMs - 80) ms at the level.
    virtual void OnTelephoneEventStarted(int event, int lengthMs, int level) = 0;
};
