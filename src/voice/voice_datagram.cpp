#include "voice/voice_datagram.h"

#include <cstring>

#include "call/decimal.h"

namespace pelvarine {

void FrameVoiceDatagram(int32_t sequence, const uint8_t* block, uint8_t* datagram) {
  // "%d" by hand, from the last digit backwards, so the field needs no intermediate buffer.
  std::memset(datagram, ' ', kSequenceFieldSize);
  uint32_t magnitude = sequence < 0 ? 0u - static_cast<uint32_t>(sequence) : static_cast<uint32_t>(sequence);
  size_t pos = kSequenceFieldSize;
  do {
    datagram[--pos] = static_cast<uint8_t>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (sequence < 0) datagram[--pos] = '-';
  std::memcpy(datagram + kSequenceFieldSize, block, kVoiceBlockSize);
}

int32_t ReadSequenceNumber(const uint8_t* datagram) {
  const char* field = reinterpret_cast<const char*>(datagram + kIncomingSequenceOffset);
  const void* nul = std::memchr(field, 0, kSequenceFieldSize);
  size_t length = nul ? static_cast<const char*>(nul) - field : kSequenceFieldSize;
  return ParseDecimalSaturated(std::string_view(field, length));
}

bool PassesAddressFilter(const uint8_t* datagram, std::string_view local_address) {
  const char* text = reinterpret_cast<const char*>(datagram);
  const void* nul = std::memchr(text, 0, kIncomingDatagramSize);
  size_t length = nul ? static_cast<const char*>(nul) - text : kIncomingDatagramSize;
  return std::string_view(text, length).find(local_address) != std::string_view::npos;
}

}  // namespace pelvarine
