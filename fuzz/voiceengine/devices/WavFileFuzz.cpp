// Any file given to playback: the header walk and the decoding must end
// cleanly, whatever the bytes say.
#include <cstdint>
#include <cstdio>

#include "voiceengine/FileConvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = std::tmpfile();
    if (!f) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::rewind(f);
    FILEConvert reader;
    const bool loop = size > 0 && (data[size - 1] & 1);
    if (reader.Open(f, FILEConvert::kFormatWav, 0.5f, 0, 0, loop) == 0) {
        int16_t block[160];
        // A looping file plays forever; a hundred blocks are enough.
        for (int i = 0; i < 100 && reader.Read10ms(block) > 0; ++i) {
        }
    }
    return 0;
}
