#pragma once
// The codec description record exchanged with the engine's callers
// (codec list, send codec, receive payload binding). Fixed layout.
#include <cstdint>

struct VECodecInfo {
    int32_t payloadType;
    char name[32]; // zero-terminated; compared without regard to case
    int32_t frequency;
    int32_t packetSize; // samples per packet at frequency
    int32_t channels;
    int32_t rate; // bit/s; -1 = adaptive
};
