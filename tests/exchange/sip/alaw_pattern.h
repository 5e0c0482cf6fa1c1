// A deterministic, non-repeating stream of A-law bytes (xorshift64), so that any 8 of them in a row say where
// in the stream they came from: what a far end hears can be traced back byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace exchange {

inline std::vector<uint8_t> AlawPattern(size_t size, uint64_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    byte = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

}  // namespace exchange
