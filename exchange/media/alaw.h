// G.711 A-law to and from 16-bit linear, for the few places that must shape the signal (fading concealment)
// or judge it (is this stretch quiet enough to drop or stretch unnoticed?). Audio that passes through is
// never converted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

int16_t AlawToLinear(uint8_t code);
uint8_t LinearToAlaw(int16_t sample);

// True when every sample is in A-law's lowest segment (below about -42 dBFS): background, not speech.
bool AlawQuiet(const uint8_t* samples, size_t count);

}  // namespace exchange
