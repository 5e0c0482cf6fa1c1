#include "exchange/venue_client/pe_image.h"

namespace venue_client {
namespace {

constexpr size_t kPeOffsetField = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kCertificateDirectory = 4;

uint32_t Le(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

bool Fail(std::string* problem, const char* why) {
  *problem = why;
  return false;
}

}  // namespace

bool ParsePeImage(const std::string& bytes, PeImage* image, std::string* problem) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
    return Fail(problem, "is not a Windows program (no MZ header)");
  size_t pe = Le(bytes, kPeOffsetField, 4);
  if (pe > bytes.size() || bytes.size() - pe < 4 + kCoffHeaderSize || bytes.compare(pe, 4, "PE\0\0", 4) != 0)
    return Fail(problem, "is not a Windows program (no PE header)");
  size_t coff = pe + 4;
  size_t section_count = Le(bytes, coff + 2, 2);
  size_t optional_size = Le(bytes, coff + 16, 2);
  size_t optional = coff + kCoffHeaderSize;
  if (optional_size < 2 || bytes.size() - optional < optional_size)
    return Fail(problem, "is a damaged Windows program (its optional header leaves the file)");
  uint16_t magic = static_cast<uint16_t>(Le(bytes, optional, 2));
  if (magic != kPe32Magic && magic != kPe32PlusMagic)
    return Fail(problem, "is not a 32- or 64-bit Windows program (unknown optional header)");
  size_t directory_count_at = optional + (magic == kPe32Magic ? 92 : 108);
  if (optional_size < directory_count_at + 4 - optional)
    return Fail(problem, "is a damaged Windows program (its optional header is too short)");
  image->checksum_offset = optional + 64;
  size_t directories = directory_count_at + 4;
  size_t directory_count = Le(bytes, directory_count_at, 4);
  size_t certificate_entry = directories + 8 * kCertificateDirectory;
  image->certificate_size = 0;
  if (directory_count > kCertificateDirectory && certificate_entry + 8 <= optional + optional_size)
    image->certificate_size = Le(bytes, certificate_entry + 4, 4);

  size_t table = optional + optional_size;
  if (section_count > (bytes.size() - table) / kSectionHeaderSize)
    return Fail(problem, "is a damaged Windows program (its section table leaves the file)");
  image->sections.clear();
  for (size_t i = 0; i < section_count; ++i) {
    size_t at = table + i * kSectionHeaderSize;
    PeSection section;
    section.name = bytes.substr(at, 8);
    section.name.resize(section.name.find('\0') == std::string::npos ? 8 : section.name.find('\0'));
    section.virtual_size = Le(bytes, at + 8, 4);
    section.raw_size = Le(bytes, at + 16, 4);
    section.raw_offset = Le(bytes, at + 20, 4);
    image->sections.push_back(section);
  }
  return true;
}

uint32_t PeChecksum(const std::string& bytes, size_t checksum_offset) {
  auto byte = [&](size_t at) -> uint32_t {
    bool in_field = at >= checksum_offset && at < checksum_offset + 4;
    return at < bytes.size() && !in_field ? static_cast<unsigned char>(bytes[at]) : 0;
  };
  uint32_t sum = 0;
  for (size_t at = 0; at < bytes.size(); at += 2) {
    sum += byte(at) | byte(at + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(bytes.size());
}

uint32_t StoredChecksum(const std::string& bytes, size_t checksum_offset) {
  return Le(bytes, checksum_offset, 4);
}

void StoreChecksum(std::string* bytes, size_t checksum_offset) {
  uint32_t sum = PeChecksum(*bytes, checksum_offset);
  for (int i = 0; i < 4; ++i)
    (*bytes)[checksum_offset + i] = static_cast<char>(sum >> (8 * i));
}

}  // namespace venue_client
