// Known voice for the buffer tests: byte streams whose every sample can be recognised on the far side, and
// a small deterministic random source for jitter, so every run replays the same network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace exchange {
namespace testing {

// Deterministic across platforms and library versions (unlike the standard distributions).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 2862933555777941757ULL + 3037000493ULL) {}
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state_ >> 33);
  }
  // Uniform in [0, bound].
  uint32_t Upto(uint32_t bound) { return Next() % (bound + 1); }

 private:
  uint64_t state_;
};

// A-law bytes that are never in the quiet lowest segment, so no buffer may treat them as droppable silence.
inline std::vector<uint8_t> LoudStream(size_t samples, uint64_t seed) {
  Random random(seed);
  std::vector<uint8_t> stream(samples);
  for (uint8_t& sample : stream) {
    const uint32_t r = random.Next();
    const uint32_t segment = 1 + r % 7;
    sample = static_cast<uint8_t>((((r >> 8) & 0x8F) | (segment << 4)) ^ 0x55);
  }
  return stream;
}

// Speech-like: loud stretches of `talk_samples` alternating with quiet ones of `pause_samples`.
inline std::vector<uint8_t> TalkStream(size_t samples, size_t talk_samples, size_t pause_samples,
                                       uint64_t seed) {
  std::vector<uint8_t> stream = LoudStream(samples, seed);
  const size_t period = talk_samples + pause_samples;
  for (size_t i = 0; i < samples; ++i) {
    if (i % period >= talk_samples) stream[i] = static_cast<uint8_t>(0xD5 ^ (i & 0x03));
  }
  return stream;
}

// Where `got`, from `at` on, first differs from `expected`; kSame when it holds all of `expected` there.
constexpr size_t kSame = static_cast<size_t>(-1);
inline size_t FirstDifference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& got,
                              size_t at = 0) {
  for (size_t i = 0; i < expected.size(); ++i) {
    if (at + i >= got.size() || got[at + i] != expected[i]) return i;
  }
  return kSame;
}

}  // namespace testing
}  // namespace exchange
