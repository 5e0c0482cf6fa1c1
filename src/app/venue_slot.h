#pragma once
// The venue slot: the client's address server and home-page host, kept as a fixed-size record in a section
// of their own in the executable (".venue") so that pelvarine-client can write a venue's copy without a
// compiler. The client and that command both use this header, so they cannot disagree on the layout.
//
//   offset  size  field
//        0    16  marker "PELVARINE:VENUE:" (no NUL)
//       16     4  layout version, little-endian (1)
//       20    64  address server: IPv4 dotted text or a host name, NUL-padded (at most 63 characters)
//       84   128  home-page host, NUL-padded (at most 127 characters)
//      212     4  CRC-32 (IEEE) of bytes 0-211, little-endian: a damaged slot is refused, never half-read
//
// Plain C++17, constexpr throughout: the client's default slot is built at compile time.

#include <cstddef>
#include <cstdint>

namespace pelvarine::venue {

inline constexpr char kSectionName[] = ".venue";
inline constexpr char kMarker[] = "PELVARINE:VENUE:";
inline constexpr size_t kMarkerSize = sizeof kMarker - 1;
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kVersionOffset = 16;
inline constexpr size_t kAddressOffset = 20;
inline constexpr size_t kAddressField = 64;
inline constexpr size_t kHomePageOffset = 84;
inline constexpr size_t kHomePageField = 128;
inline constexpr size_t kCheckOffset = 212;
inline constexpr size_t kSlotSize = 216;
static_assert(kMarkerSize == kVersionOffset && kVersionOffset + 4 == kAddressOffset &&
              kAddressOffset + kAddressField == kHomePageOffset &&
              kHomePageOffset + kHomePageField == kCheckOffset && kCheckOffset + 4 == kSlotSize);

struct Slot {
  unsigned char bytes[kSlotSize];
};

constexpr uint32_t Crc32(const unsigned char* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

constexpr uint32_t ReadLe32(const unsigned char* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

constexpr void WriteLe32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<unsigned char>(value >> (8 * i));
}

constexpr size_t TextLength(const char* text) {
  size_t n = 0;
  while (text[n] != 0)
    ++n;
  return n;
}

// Why `text` cannot stand as a host (address server or home page) in a field of `field` bytes, or nullptr
// when it can: IPv4 dotted text (four numbers 0-255, no leading zeros, which Windows reads as octal) or a
// host name (letters, digits and hyphens in dot-separated labels of 1-63, none beginning or ending with a
// hyphen, the last not all digits). Nothing else may reach the connect or the browser's command line.
constexpr const char* HostProblem(const char* text, size_t field) {
  size_t length = TextLength(text);
  if (length == 0) return "is empty";
  if (length >= field)
    return field == kAddressField ? "is longer than 63 characters" : "is longer than 127 characters";
  bool digits_and_dots = true;
  for (size_t i = 0; i < length; ++i)
    digits_and_dots = digits_and_dots && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.');
  if (digits_and_dots) {
    int parts = 0;
    for (size_t start = 0; start <= length; ++parts) {
      size_t end = start;
      unsigned value = 0;
      while (end < length && text[end] != '.' && end - start < 4)
        value = value * 10 + static_cast<unsigned>(text[end++] - '0');
      size_t digits = end - start;
      if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0'))
        return "is not IPv4 dotted text: four numbers 0-255 without leading zeros";
      start = end + 1;
    }
    return parts == 4 ? nullptr : "is not IPv4 dotted text: four numbers 0-255 without leading zeros";
  }
  size_t label_start = 0;
  bool label_all_digits = true;
  for (size_t i = 0; i <= length; ++i) {
    char c = i < length ? text[i] : '.';
    if (c == '.') {
      size_t label = i - label_start;
      if (label == 0) return "has an empty label (two dots, or a dot at either end)";
      if (label > 63) return "has a label longer than 63 characters";
      if (text[label_start] == '-' || text[i - 1] == '-') return "has a label beginning or ending with '-'";
      if (i == length && label_all_digits) return "ends in an all-digit label (neither IPv4 nor a host name)";
      label_start = i + 1;
      label_all_digits = true;
      continue;
    }
    bool digit = c >= '0' && c <= '9';
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!digit && !letter && c != '-') return "has a character other than letters, digits, '-' and '.'";
    label_all_digits = label_all_digits && digit;
  }
  return nullptr;
}

// The slot holding these two texts, with its marker, version and check. Texts must pass HostProblem.
constexpr Slot MakeSlot(const char* address, const char* home_page) {
  Slot slot{};
  for (size_t i = 0; i < kMarkerSize; ++i)
    slot.bytes[i] = static_cast<unsigned char>(kMarker[i]);
  WriteLe32(slot.bytes + kVersionOffset, kVersion);
  for (size_t i = 0; address[i] != 0 && i + 1 < kAddressField; ++i)
    slot.bytes[kAddressOffset + i] = static_cast<unsigned char>(address[i]);
  for (size_t i = 0; home_page[i] != 0 && i + 1 < kHomePageField; ++i)
    slot.bytes[kHomePageOffset + i] = static_cast<unsigned char>(home_page[i]);
  WriteLe32(slot.bytes + kCheckOffset, Crc32(slot.bytes, kCheckOffset));
  return slot;
}

enum class SlotState { kGood, kNoMarker, kUnknownVersion, kDamaged };

// Whether `slot` is one this layout reads: marker, version, check, and each field NUL-terminated.
constexpr SlotState CheckSlot(const Slot& slot) {
  for (size_t i = 0; i < kMarkerSize; ++i)
    if (slot.bytes[i] != static_cast<unsigned char>(kMarker[i])) return SlotState::kNoMarker;
  if (ReadLe32(slot.bytes + kVersionOffset) != kVersion) return SlotState::kUnknownVersion;
  if (ReadLe32(slot.bytes + kCheckOffset) != Crc32(slot.bytes, kCheckOffset)) return SlotState::kDamaged;
  if (slot.bytes[kHomePageOffset - 1] != 0 || slot.bytes[kCheckOffset - 1] != 0) return SlotState::kDamaged;
  return SlotState::kGood;
}

// The field's text (NUL-terminated within the field once CheckSlot said kGood).
inline const char* AddressText(const Slot& slot) {
  return reinterpret_cast<const char*>(slot.bytes + kAddressOffset);
}
inline const char* HomePageText(const Slot& slot) {
  return reinterpret_cast<const char*>(slot.bytes + kHomePageOffset);
}

}  // namespace pelvarine::venue
