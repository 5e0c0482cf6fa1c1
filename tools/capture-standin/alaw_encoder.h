// G.711 A-law from 16-bit linear samples: what a sound card's mapper hands a program that asked for
// A-law capture. Portable, so the native unit tests check it against an independent encoder.
#pragma once

#include <cstdint>

namespace capture_standin {

inline uint8_t AlawFromLinear(int16_t sample) {
  // A-law works on 13-bit magnitudes; the sign goes into the top bit and even bits are inverted on
  // the line, which the final mask does.
  int value = sample >> 3;
  uint8_t mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  int segment = 0;
  while (segment < 8 && value >= (0x20 << segment))
    ++segment;
  if (segment >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int mantissa = segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
  return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

}  // namespace capture_standin
