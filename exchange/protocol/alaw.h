// G.711 A-law conversion between 16-bit linear PCM and 8-bit A-law codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace exchange {

// Encodes one 16-bit linear sample (only the top 13 bits are significant).
std::uint8_t AlawEncode(std::int16_t sample);

// Decodes one A-law code into a 16-bit linear sample (middle of the quantisation interval).
std::int16_t AlawDecode(std::uint8_t code);

// True when every code is in A-law's lowest segment (below about -42 dBFS): background, not speech.
bool AlawQuiet(const std::uint8_t* codes, std::size_t count);

// Continuous sine generator producing A-law encoded blocks at 8000 samples/s.
class ToneGenerator {
 public:
  // amplitude is relative to full scale (0.5 = about -6 dBFS).
  explicit ToneGenerator(double frequency_hz, double amplitude = 0.5);

  // Returns `samples` A-law bytes continuing the phase of the previous call.
  std::string Next(int samples);

 private:
  double step_;
  double amplitude_;
  double phase_ = 0.0;
};

}  // namespace exchange
