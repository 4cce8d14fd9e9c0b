// Arbitrary datagrams into the jitter buffer, each followed by a pull of
// 10 ms: no input may crash it or make it misbehave on the next block.
#include <cstdint>
#include <cstring>

#include "voiceengine/JbFixed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JbFixed jb(0);
    jb.AddCodec(0, "PCMU", 8000);
    jb.AddCodec(8, "PCMA", 8000);
    jb.AddCodec(13, "CN", 8000);
    jb.AddCodec(101, "telephone-event", 8000);
    // Split the input into packets at each 2-byte length prefix.
    size_t pos = 0;
    int64_t t = 0;
    int16_t out[160];
    while (pos + 2 <= size) {
        const size_t len = static_cast<size_t>((data[pos] << 8) | data[pos + 1]) % 400;
        pos += 2;
        const size_t take = len < size - pos ? len : size - pos;
        jb.InsertPacket(data + pos, static_cast<int>(take), t);
        pos += take;
        t += 10000;
        int n = 0;
        jb.GetAudio10ms(out, n);
        if (n != 80 && n != 160) __builtin_trap();
    }
    uint8_t f;
    uint32_t c, e, j;
    jb.GetRtcpStatistics(f, c, e, j);
    return 0;
}
