#include "exchange/protocol/alaw.h"

#include <cmath>

namespace exchange {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr int kSampleRate = 8000;
}  // namespace

std::uint8_t AlawEncode(std::int16_t sample) {
  // Work on the 13-bit magnitude; negative values are folded onto 0..4095 with the sign in the mask.
  int value = sample >> 3;
  int mask;
  if (value >= 0) {
    mask = 0xD5;
  } else {
    mask = 0x55;
    value = -value - 1;
  }
  // Segment = number of significant bits above the 5-bit floor (segments 0 and 1 share a step of 2).
  int segment = 0;
  for (int limit = 0x1F; segment < 8 && value > limit; limit = (limit << 1) | 1)
    ++segment;
  if (segment >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  int code = segment << 4;
  code |= (segment < 2 ? (value >> 1) : (value >> segment)) & 0x0F;
  return static_cast<std::uint8_t>(code ^ mask);
}

std::int16_t AlawDecode(std::uint8_t code) {
  int a = code ^ 0x55;
  int magnitude = (a & 0x0F) << 4;
  int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    magnitude += 8;
  } else {
    magnitude += 0x108;
    magnitude <<= segment - 1;
  }
  return static_cast<std::int16_t>((a & 0x80) ? magnitude : -magnitude);
}

bool AlawQuiet(const std::uint8_t* codes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (((codes[i] ^ 0x55) & 0x70) != 0) return false;
  }
  return true;
}

ToneGenerator::ToneGenerator(double frequency_hz, double amplitude)
    : step_(kTwoPi * frequency_hz / kSampleRate), amplitude_(amplitude) {}

std::string ToneGenerator::Next(int samples) {
  std::string out;
  out.reserve(samples > 0 ? samples : 0);
  for (int i = 0; i < samples; ++i) {
    double v = amplitude_ * 32767.0 * std::sin(phase_);
    out.push_back(static_cast<char>(AlawEncode(static_cast<std::int16_t>(std::lround(v)))));
    phase_ += step_;
    if (phase_ >= kTwoPi) phase_ -= kTwoPi;
  }
  return out;
}

}  // namespace exchange
