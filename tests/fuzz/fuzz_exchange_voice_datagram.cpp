// The client's voice datagram: its sequence field is read only when it is spaces followed by digits, the
// value is the one those digits spell, and what the exchange builds reads back the same.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "exchange/protocol/wire_formats.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// What the field means, written as plainly as possible.
bool ExpectedSequence(const std::string& d, long long* value) {
  if (d.size() < 16) return false;
  size_t i = 0;
  while (i < 16 && d[i] == ' ')
    ++i;
  if (i == 16) return false;
  long long v = 0;
  for (; i < 16; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(d[i]))) return false;
    v = v * 10 + (d[i] - '0');
  }
  *value = v;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string datagram(reinterpret_cast<const char*>(data), size);
  long long expected = 0;
  bool valid = ExpectedSequence(datagram, &expected);
  std::optional<long long> got = exchange::ParseClientVoiceSequence(datagram);
  Check(got.has_value() == valid);
  if (got) Check(*got == expected && *got >= 0);

  // Built datagrams carry their sequence and audio through.
  if (got) {
    std::string audio = datagram.substr(16);
    std::string built = exchange::BuildClientVoice(*got, audio);
    Check(built.size() == exchange::kClientVoiceSize);
    std::optional<long long> again = exchange::ParseClientVoiceSequence(built);
    Check(again && *again == *got);
    Check(built.compare(16, std::min(audio.size(), exchange::kVoiceSamples), audio, 0,
                        std::min(audio.size(), exchange::kVoiceSamples)) == 0);
  }

  // The exchange's datagram toward the client: the allocation-free form equals the plain one, and the
  // client's reading of it gives back the address and sequence.
  if (size >= 8) {
    long long sequence = 0;
    std::memcpy(&sequence, data, sizeof(sequence));
    if (sequence < 0) sequence = -(sequence + 1);
    std::string address = datagram.substr(8, 20);
    uint8_t audio[exchange::kVoiceSamples] = {};
    std::memcpy(audio, data, std::min(size, sizeof(audio)));
    std::string plain = exchange::BuildServerVoice(
        address, sequence, std::string_view(reinterpret_cast<const char*>(audio), sizeof(audio)));
    std::vector<uint8_t> filled(exchange::kServerVoiceSize);
    exchange::FillServerVoice(filled.data(), address, sequence, audio);
    Check(plain.size() == filled.size() && std::memcmp(plain.data(), filled.data(), filled.size()) == 0);
    std::optional<exchange::ServerVoice> read = exchange::ParseServerVoice(plain);
    Check(read.has_value());
    std::string shown = address.substr(0, 16);
    Check(read->address_text == shown.substr(0, shown.find('\0')));
    Check(read->sequence_text == std::to_string(sequence).substr(0, 16));
    Check(std::memcmp(read->audio.data(), audio, sizeof(audio)) == 0);
  }
  if (exchange::ParseServerVoice(datagram)) Check(size == exchange::kServerVoiceSize);
  return 0;
}
