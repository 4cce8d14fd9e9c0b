// Packets handed to a running engine: the first byte picks RTP or RTCP,
// the rest is the packet. RTP goes all the way through the channel's
// payload bindings into the jitter buffer, and every input is followed by
// one block of playout so that whatever was buffered is decoded and mixed.
#include "platform/KeyValueStore.h"
#include "voiceengine/FileSndCardStream.h"
#include "voiceengine/VEAPI.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Outgoing packets go nowhere.
class NullTransport : public VETransport {
public:
    int SendPacket(int, const void*, int length) override { return length; }
    int SendRTCPPacket(int, const void*, int length) override { return length; }
};

struct Fixture {
    Fixture() {
        const auto dir = std::filesystem::temp_directory_path() / "qf-fuzz-engine-store";
        qf::platform::CKeyValueStore::LocalMachine().SetPath((dir / "machine.store").string());
        engine.SetSoundCardFactory([this](VESndCardCallback* cb) {
            VEFileSndCardStream::Config c;
            c.paced = false;
            auto made = std::make_unique<VEFileSndCardStream>(cb, c);
            card = made.get();
            return std::unique_ptr<VESndCardStream>(std::move(made));
        });
        engine.VE_Init(0, 0, 0, 0, 0, 1);
        engine.VE_CreateChannel();
        engine.VE_SetSendTransport(0, &transport);
        VECodecInfo events{};
        events.payloadType = 97;
        std::snprintf(events.name, sizeof events.name, "telephone-event");
        events.frequency = 8000;
        events.packetSize = 1600;
        events.channels = 1;
        engine.VE_SetRecPayloadType(0, &events);
        engine.VE_StartPlayout(0);
    }
    VEAPI engine;
    NullTransport transport;
    VEFileSndCardStream* card = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fixture = new Fixture; // lives for the process
    if (size < 1)
        return 0;
    const bool rtcp = (data[0] & 1) != 0;
    if (rtcp)
        fixture->engine.VE_ReceivedRTCPPacket(0, data + 1, static_cast<int>(size - 1));
    else
        fixture->engine.VE_ReceivedRTPPacket(0, data + 1, static_cast<int>(size - 1));
    if (fixture->card)
        fixture->card->Step();
    return 0;
}
