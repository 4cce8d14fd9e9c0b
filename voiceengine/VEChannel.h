#pragma once
// One voice channel of the engine: its addresses and ports (held by its
// media transport), its send codec and packetisation, its receive buffer
// and the listening / playing / sending flags. The engine's channel table
// owns these; the engine's locks guard them (see VEAPI).
#include "voiceengine/CodecTable.h"
#include "voiceengine/JbFixed.h"
#include "voiceengine/VECodecInfo.h"
#include "voiceengine/VERTPDatabase.h"
#include "voiceengine/rtp/VEChannelTransport.h"
#include "voiceengine/rtp/VERtpInterfaces.h"

#include <atomic>
#include <cstdint>
#include <memory>

class VETrace;

class VEChannel : public VERtpPayloadSink {
public:
    enum { kMaxPacketSamples = 960 };

    VEChannel(int number, const VECodecTable& table, VERTPDatabase& database, VETrace& trace,
              SocketManager& sockets, VERtpReceiver& receiver, VERtpTraceSink* rtpTrace);
    ~VEChannel() override;

    int Number() const { return m_number; }
    VEChannelTransport& Transport() { return *m_transport; }

    // Receive side (under the engine's locks).
    int ReceiveFrequency(int payloadType) override;
    int OnRtpPayload(const VERtpPayload& payload) override;
    // The channel's jitter buffer, which the mixer plays from.
    JbFixed& JitterBuffer() { return m_jitter; }
    // Re-initialises the receive side: decoders for the current payload
    // bindings, an empty buffer.
    void ResetReceiveSide();

    // Send side: the codec to packetise with (a change of name restarts the
    // encoder state), then 10 ms blocks at 8000 Hz from the capture side
    // (in-band DTMF is added here).
    void SetTransmitCodec(const VECodecInfo& codec);
    void ResetTransmitter();
    void ProcessCapture(const int16_t* block8k);

    // Flags and figures the facade keeps per channel.
    VECodecInfo sendCodec{};
    std::atomic<bool> playing{false};
    std::atomic<bool> sending{false};
    std::atomic<bool> muted{false};
    std::atomic<bool> onHold{false};
    bool autoStart = false;
    int packetTimeoutSec = 0;
    int64_t lastPacketMs = 0;
    int lastPayloadType = -1;
    int64_t arrivalUs = -1; // of the packet being delivered (-1 = now)
    uint64_t droppedPackets = 0;
    int sendCNPayloadType = 13;
    bool vadEnabled = false;
    bool vadDisableDtx = false; // with VAD on, every block still counts as speech
    // In-band DTMF mixed into the captured audio (audio thread).
    int inBandEvent = 0;
    int inBandSamplesLeft = 0;
    int inBandLevel = 10;
    uint32_t inBandPhase = 0;

private:
    const int m_number;
    const VECodecTable& m_table;
    VERTPDatabase& m_database;
    VETrace& m_trace;
    std::unique_ptr<VEChannelTransport> m_transport;
    JbFixed m_jitter;
    uint8_t m_rebuilt[12 + 1500];

    // Packetisation state (audio thread, under the sound card lock).
    VECodecInfo m_txCodec{};
    int m_txCodecIndex = -1;
    int16_t m_txBuffer[kMaxPacketSamples + 80];
    int m_txFill = 0;
    // Voice activity and comfort noise on the send side.
    int m_hangoverBlocks = 0;
    bool m_inComfortNoise = false;
    int m_comfortNoiseBlocks = 0;
    bool m_markNext = false;
};
