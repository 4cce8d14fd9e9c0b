#include "voiceengine/VEChannel.h"

#include "voiceengine/G711.h"
#include "voiceengine/VETrace.h"

#include <cmath>
#include <cstring>

VEChannel::VEChannel(int number, const VECodecTable& table, VERTPDatabase& database, VETrace& trace,
                     SocketManager& sockets, VERtpReceiver& receiver, VERtpTraceSink* rtpTrace)
    : m_number(number), m_table(table), m_database(database), m_trace(trace),
      m_transport(std::make_unique<VEChannelTransport>(number, sockets, receiver, rtpTrace)), m_jitter(number) {
    memset(m_txBuffer, 0, sizeof m_txBuffer);
    m_jitter.SetTrace([this](int level, const std::string& text) { m_trace.Print(level, "%s", text.c_str()); });
}

VEChannel::~VEChannel() = default;

int VEChannel::ReceiveFrequency(int payloadType) {
    VERTPDatabase::Entry e;
    if (m_database.Lookup(m_number, payloadType, e) != 0)
        return 0;
    return e.frequency;
}

int VEChannel::OnRtpPayload(const VERtpPayload& payload) {
    if (payload.telephoneEvent)
        return 0; // events are the far end's keys, not audio to play
    if (payload.redundant)
        return 0; // the primary copy arrives with the same audio on a clean path
    VERTPDatabase::Entry e;
    if (m_database.Lookup(m_number, payload.payloadType, e) != 0 || payload.length > 1500) {
        ++droppedPackets;
        m_trace.Print(VETrace::kStream, "JB_10MS16B_RecIn() error code = %d", JbFixed::kErrUnknownPayload);
        return -1;
    }
    lastPayloadType = payload.payloadType;
    m_trace.Print(VETrace::kStream, "Put %i bytes packet into JBCore (sampling rate: %i)",
                  static_cast<int>(payload.packetLength), e.frequency);
    // The buffer takes RTP packets; a block out of a RED packet gets a
    // header of its own (same sequence number, its own timestamp and type).
    uint8_t* p = m_rebuilt;
    p[0] = 0x80;
    p[1] = static_cast<uint8_t>((payload.marker ? 0x80 : 0) | (payload.payloadType & 0x7f));
    p[2] = static_cast<uint8_t>(payload.sequenceNumber >> 8);
    p[3] = static_cast<uint8_t>(payload.sequenceNumber);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(payload.timestamp >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(payload.ssrc >> (24 - 8 * i));
    }
    if (payload.length)
        memcpy(p + 12, payload.data, payload.length);
    if (m_jitter.InsertPacket(p, static_cast<int>(12 + payload.length), arrivalUs) != 0) {
        ++droppedPackets;
        m_trace.Print(VETrace::kStream, "JB_10MS16B_RecIn() error code = %d", m_jitter.LastError());
        return -1;
    }
    return 0;
}

void VEChannel::ResetReceiveSide() {
    m_jitter.Reset();
    m_jitter.RemoveCodecs();
    for (int idx = 0; idx < VECodecTable::kCount; ++idx) {
        const int pt = m_database.PayloadTypeOf(m_number, idx);
        if (pt >= 0)
            m_jitter.AddCodec(pt, m_table.At(idx).info.name, m_table.At(idx).info.frequency);
    }
    m_transport->SetReceiveTelephoneEventPayloadType(
        m_database.PayloadTypeOf(m_number, VECodecTable::kTelephoneEvent));
    m_transport->SetReceiveRedPayloadType(m_database.PayloadTypeOf(m_number, VECodecTable::kRed));
}

void VEChannel::SetTransmitCodec(const VECodecInfo& codec) {
    const bool restart = !VECodecTable::NameEquals(codec.name, m_txCodec.name) || codec.packetSize != m_txCodec.packetSize;
    m_txCodec = codec;
    m_txCodecIndex = m_table.IndexOf(codec.name);
    if (restart)
        m_txFill = 0;
}

void VEChannel::ResetTransmitter() {
    m_txFill = 0;
    m_hangoverBlocks = 0;
    m_inComfortNoise = false;
    m_comfortNoiseBlocks = 0;
    m_markNext = false;
}

void VEChannel::ProcessCapture(const int16_t* block8k) {
    static const int16_t kSilence[80] = {};
    const int16_t* in = (muted || onHold) ? kSilence : block8k;
    const int packetSize = m_txCodec.packetSize;
    const bool g711 = m_txCodecIndex == VECodecTable::kPCMU || m_txCodecIndex == VECodecTable::kPCMA ||
                      m_txCodecIndex == VECodecTable::kXG711U || m_txCodecIndex == VECodecTable::kXG711A;
    if (!g711 || packetSize <= 0 || packetSize > kMaxPacketSamples) {
        // Codecs without an encoder here: the block is dropped, the
        // timestamp still runs so the far end sees the gap.
        switch (m_txCodecIndex) {
        case VECodecTable::kWBPCM: m_trace.Print(VETrace::kError, "WBPCM_10MS16B_Encoder() failed"); break;
        case VECodecTable::kAWBLC: m_trace.Print(VETrace::kError, "AWBLC_10MS16B_Encoder() failed"); break;
        case VECodecTable::kILBC: m_trace.Print(VETrace::kError, "iLBC encoding failed"); break;
        case VECodecTable::kAWB: m_trace.Print(VETrace::kError, "AWB encoding error: %i", -1); break;
        default: break;
        }
        m_transport->AdvanceTimestamp(m_txCodec.frequency == 16000 ? 160 : 80);
        return;
    }
    // Voice activity: energy above about -50 dBov, held for 200 ms after the
    // last loud block. A comfort-noise period starts only at a packet
    // boundary, so a packet being collected is always completed.
    if (vadEnabled && !vadDisableDtx) {
        double energy = 0;
        for (int i = 0; i < 80; ++i)
            energy += static_cast<double>(in[i]) * in[i];
        energy /= 80.0;
        constexpr double kSpeechEnergy = 10.0 * 10.0; // rms 10 of 32768
        if (energy > kSpeechEnergy)
            m_hangoverBlocks = 20;
        else if (m_hangoverBlocks > 0)
            --m_hangoverBlocks;
        const bool speech = energy > kSpeechEnergy || m_hangoverBlocks > 0;
        if (!speech && m_txFill == 0) {
            if (!m_inComfortNoise) {
                m_inComfortNoise = true;
                m_comfortNoiseBlocks = 0;
            }
            // A noise-level frame at the start and every 200 ms; between
            // them only the timestamp runs on.
            if (m_comfortNoiseBlocks++ % 20 == 0) {
                const double rms = std::sqrt(energy);
                int level = rms < 1.0 ? 127 : static_cast<int>(-20.0 * std::log10(rms / 32768.0));
                level = level < 0 ? 0 : (level > 127 ? 127 : level);
                const uint8_t frame = static_cast<uint8_t>(level);
                m_trace.Print(VETrace::kStream, "Sent CN packet %i bytes", 1);
                m_transport->SendRtp(sendCNPayloadType, &frame, 1, 80, false);
            } else {
                m_transport->AdvanceTimestamp(80);
            }
            return;
        }
        if (speech && m_inComfortNoise) {
            m_inComfortNoise = false;
            m_markNext = true; // first speech packet after comfort noise
        }
    }
    memcpy(m_txBuffer + m_txFill, in, 80 * sizeof(int16_t));
    m_txFill += 80;
    if (m_txFill < packetSize)
        return;
    uint8_t payload[kMaxPacketSamples];
    const char* name;
    if (m_txCodecIndex == VECodecTable::kPCMU || m_txCodecIndex == VECodecTable::kXG711U) {
        g711::EncodeUlaw(m_txBuffer, static_cast<size_t>(packetSize), payload);
        name = m_txCodecIndex == VECodecTable::kPCMU ? "PCMU" : "XG711U";
    } else {
        g711::EncodeAlaw(m_txBuffer, static_cast<size_t>(packetSize), payload);
        name = m_txCodecIndex == VECodecTable::kPCMA ? "PCMA" : "XG711A";
    }
    m_txFill = 0;
    m_trace.Print(VETrace::kStream, "Sent %s packet %i bytes", name, packetSize);
    m_transport->SendRtp(m_txCodec.payloadType, payload, static_cast<size_t>(packetSize), packetSize, m_markNext);
    m_markNext = false;
}
