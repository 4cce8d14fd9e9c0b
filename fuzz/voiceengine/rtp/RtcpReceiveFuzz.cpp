// Received RTCP compound packets: every part walked by its length field.
#include <cstddef>
#include <cstdint>

#include "voiceengine/rtp/VERtcpHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VERtcpHandler handler;
    static bool once = [] {
        handler.SetAppHandler(
            [](void*, int, int, uint32_t, const uint8_t* d, size_t n) {
                volatile unsigned sum = 0;
                for (size_t i = 0; i < n; ++i) sum = sum + d[i];
            },
            nullptr, 0);
        return true;
    }();
    (void)once;
    handler.Parse(data, size, 0x0000000A);
    // Our own report after whatever was parsed must still build.
    uint8_t out[VERtcpHandler::kMaxReport];
    handler.BuildReport(out, sizeof out, 0xA, 8000, true, VERtpReceiveReport{});
    return 0;
}
