// Received RTP from anywhere: the external-transport entry (length and
// version checks, the receive handler), the channel's packet processing
// with RED and telephone events bound, and SRTP unprotect of junk.
#include <cstddef>
#include <cstdint>

#include "voiceengine/rtp/SocketManager.h"
#include "voiceengine/rtp/VEChannelTransport.h"
#include "voiceengine/rtp/callbacksocket.h"

#include <arpa/inet.h>

namespace {

class Sink : public VERtpPayloadSink {
public:
    int ReceiveFrequency(int payloadType) override { return payloadType < 96 ? 8000 : 16000; }
    int OnRtpPayload(const VERtpPayload& p) override {
        // Touch every byte the transport claims is there.
        unsigned sum = 0;
        for (size_t i = 0; i < p.length; ++i) sum += p.data[i];
        for (size_t i = 0; i < p.packetLength; ++i) sum += p.packet[i];
        return static_cast<int>(sum & 1) - 1;
    }
};

// Plays the engine: straight on into the channel's processing.
class Engine : public VERtpReceiver {
public:
    void ReceivedRtp(int, const uint8_t* data, size_t length) override {
        if (transport) transport->ProcessRtp(data, length, sink);
    }
    void ReceivedRtcp(int, const uint8_t* data, size_t length) override {
        if (transport) transport->ProcessRtcp(data, length);
    }
    VEChannelTransport* transport = nullptr;
    Sink sink;
};

struct Fixture {
    Fixture() : plain(0, manager, engine), secured(1, manager, securedEngine) {
        engine.transport = &plain;
        securedEngine.transport = &secured;
        for (VEChannelTransport* t : {&plain, &secured}) {
            t->SetReceiveRedPayloadType(117);
            t->SetReceiveTelephoneEventPayloadType(97);
        }
        VESrtpSession::LibraryInit();
        uint8_t key[30] = {1, 2, 3};
        secured.EnableSRTPReceive(VESrtpParams::Make(1, 30, 3, 20, 10, 3, key, 30));
    }
    SocketManager manager;
    Engine engine;
    callbacksocket socketHandler{0, false, engine, nullptr};
    Engine securedEngine;
    VEChannelTransport plain;
    VEChannelTransport secured;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture f;
    f.plain.ProcessRtp(data, size, f.engine.sink);
    f.plain.ReceivedRTPPacket(data, size);
    f.secured.ReceivedRTPPacket(data, size);
    // The socket path: filters, first SSRC, sender address.
    sockaddr_storage from{};
    auto& in = reinterpret_cast<sockaddr_in&>(from);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(40000 + (size & 1)));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    f.socketHandler.SetFilterPort(size & 2 ? 40000 : 0);
    f.socketHandler.OnDatagram(data, size, from);
    return 0;
}
