#include "hostile_material.h"

#include <random>

#include "exchange/protocol/wire_formats.h"

namespace exsim {

using namespace exchange;

namespace {

constexpr char kAlawSilence = static_cast<char>(0xD5);

std::string RandomBytes(std::mt19937* rng, size_t n, int min_byte) {
  std::uniform_int_distribution<int> dist(min_byte, 255);
  std::string out(n, '\0');
  for (char& c : out)
    c = static_cast<char>(dist(*rng));
  return out;
}

}  // namespace

std::vector<std::string> HostileTcpChunks(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> chunks;
  // Random bytes with NULs guaranteed inside (and not starting with '{').
  std::string random = RandomBytes(&rng, 64, 0);
  random[0] = '\x01';
  random[10] = random[33] = random[63] = '\0';
  chunks.push_back(random);
  std::string no_nul = RandomBytes(&rng, 1024, 1);
  no_nul[0] = 'X';
  chunks.push_back(no_nul);
  std::string blob = RandomBytes(&rng, 4000, 0);
  blob[0] = '\0';
  chunks.push_back(blob);
  chunks.push_back(std::string(kTagRemoteUdpPort) + "[" + std::string(200, '7') + "]");
  chunks.push_back(std::string(kTagRemoteUdpPort) + "[99999999999999999999]");
  chunks.push_back(std::string(kTagWaitDial.substr(0, kTagWaitDial.size() - 1)));
  chunks.push_back(" {GuaJi}");
  return chunks;
}

std::vector<std::string> HostileVoiceDatagrams(unsigned seed, std::string_view address_text) {
  std::mt19937 rng(seed ^ 0x5A5A5A5Au);
  std::vector<std::string> out;
  out.push_back(RandomBytes(&rng, 2000, 0));
  std::string oversize_valid_head = BuildServerVoice(address_text, 1, "");
  oversize_valid_head.resize(2000, kAlawSilence);
  out.push_back(oversize_valid_head);
  out.push_back(std::string());
  out.push_back(std::string(1, '7'));
  std::string non_numeric = BuildServerVoice(address_text, 0, "");
  non_numeric.replace(16, 16, std::string("abc\x01-12xyz\0\0\0\0\0\0", 16));
  out.push_back(non_numeric);
  std::string huge = BuildServerVoice(address_text, 0, "");
  huge.replace(16, 16, std::string(16, '9'));  // fills the field: no terminating NUL
  out.push_back(huge);
  std::string address_no_nul = BuildServerVoice(std::string(16, 'A'), 1, "");
  out.push_back(address_no_nul);
  return out;
}

}  // namespace exsim
