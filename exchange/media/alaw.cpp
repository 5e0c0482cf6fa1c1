#include "exchange/media/alaw.h"

#include <array>

namespace exchange {
namespace {

// Segment ends of A-law's 13-bit magnitude scale, shifted to 16 bits.
constexpr int kSegmentEnd[8] = {0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};

constexpr int16_t Decode(uint8_t code) {
  const int a = code ^ 0x55;
  int magnitude = (a & 0x0F) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    magnitude += 8;
  } else {
    magnitude = (magnitude + 0x108) << (segment - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

constexpr std::array<int16_t, 256> MakeTable() {
  std::array<int16_t, 256> table{};
  for (int i = 0; i < 256; ++i)
    table[static_cast<size_t>(i)] = Decode(static_cast<uint8_t>(i));
  return table;
}

constexpr std::array<int16_t, 256> kDecode = MakeTable();

}  // namespace

int16_t AlawToLinear(uint8_t code) {
  return kDecode[code];
}

uint8_t LinearToAlaw(int16_t sample) {
  int value = sample;
  int mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  int segment = 0;
  while (segment < 8 && value > kSegmentEnd[segment])
    ++segment;
  if (segment == 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = segment << 4;
  code |= segment < 2 ? (value >> 4) & 0x0F : (value >> (segment + 3)) & 0x0F;
  return static_cast<uint8_t>(code ^ mask);
}

bool AlawQuiet(const uint8_t* samples, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (((samples[i] ^ 0x55) & 0x70) != 0) return false;
  }
  return true;
}

}  // namespace exchange
