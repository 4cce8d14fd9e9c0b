#pragma once
// G.711 mu-law and A-law companding (ITU-T G.711), sample by sample and
// for whole blocks. The XG711 variants use the same bitstream.
#include <cstddef>
#include <cstdint>

namespace g711 {

uint8_t LinearToUlaw(int16_t sample);
int16_t UlawToLinear(uint8_t code);
uint8_t LinearToAlaw(int16_t sample);
int16_t AlawToLinear(uint8_t code);

void EncodeUlaw(const int16_t* in, size_t count, uint8_t* out);
void DecodeUlaw(const uint8_t* in, size_t count, int16_t* out);
void EncodeAlaw(const int16_t* in, size_t count, uint8_t* out);
void DecodeAlaw(const uint8_t* in, size_t count, int16_t* out);

} // namespace g711
