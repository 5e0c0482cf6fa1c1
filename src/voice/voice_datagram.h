#pragma once
// Voice datagrams. Out: 16-byte right-aligned sequence text, then one 128-byte A-law block (144 bytes).
// In: read as at most 160 bytes; the address filter text starts at 0, the sequence field is bytes
// 16-31 and the block bytes 32-159. Pure functions that allocate nothing.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pelvarine {

constexpr size_t kVoiceBlockSize = 128;  // 16 ms of 8 kHz A-law
constexpr size_t kSequenceFieldSize = 16;
constexpr size_t kOutgoingDatagramSize = kSequenceFieldSize + kVoiceBlockSize;  // 144
constexpr size_t kIncomingDatagramSize = 160;
constexpr size_t kIncomingSequenceOffset = 16;
constexpr size_t kIncomingBlockOffset = 32;

// Writes the datagram for `sequence` and `block` into `datagram`.
void FrameVoiceDatagram(int32_t sequence, const uint8_t* block, uint8_t* datagram);

// The sequence number of a received datagram (bytes 16-31), as atol reads it, saturated.
int32_t ReadSequenceNumber(const uint8_t* datagram);

// Whether `local_address` occurs in the datagram's text: its bytes from 0 up to the first zero byte.
bool PassesAddressFilter(const uint8_t* datagram, std::string_view local_address);

}  // namespace pelvarine
