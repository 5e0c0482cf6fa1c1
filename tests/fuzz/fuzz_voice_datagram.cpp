// Any received datagram is filtered and numbered without reading outside its 160 bytes.

#include <cstdlib>
#include <cstring>
#include <string>

#include "voice/voice_datagram.h"

using namespace pelvarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: how much of the rest is the local address; then the datagram.
  size_t address_length = data[0] % 16;
  if (address_length > size - 1) address_length = size - 1;
  std::string local(reinterpret_cast<const char*>(data + 1), address_length);
  uint8_t* datagram = static_cast<uint8_t*>(std::calloc(kIncomingDatagramSize, 1));
  size_t rest = size - 1 - address_length;
  std::memcpy(datagram, data + 1 + address_length,
              rest < kIncomingDatagramSize ? rest : kIncomingDatagramSize);
  bool passes = PassesAddressFilter(datagram, local);
  if (local.empty() && !passes) std::abort();
  volatile int32_t sequence = ReadSequenceNumber(datagram);
  (void)sequence;
  uint8_t frame[kOutgoingDatagramSize];
  FrameVoiceDatagram(ReadSequenceNumber(datagram), datagram + kIncomingBlockOffset, frame);
  std::free(datagram);
  return 0;
}
