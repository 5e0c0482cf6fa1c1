// The shape of the voice both sides of the exchange speak: 8 kHz G.711 A-law, one byte per sample.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exchange {

constexpr int kSamplesPerMs = 8;
// One client datagram's block: 16 ms.
constexpr size_t kClientBlockSamples = 128;
// A-law's code for zero signal.
constexpr uint8_t kAlawSilence = 0xD5;

}  // namespace exchange
