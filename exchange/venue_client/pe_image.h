// The few parts of a Windows executable (PE32 or PE32+) that writing a venue's copy touches: the section
// table, the optional header's CheckSum and the certificate table of a signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace venue_client {

struct PeSection {
  std::string name;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
};

struct PeImage {
  size_t checksum_offset = 0;       // file offset of the optional header's CheckSum
  uint32_t certificate_size = 0;    // size of the certificate table (0: not signed)
  std::vector<PeSection> sections;  // as the section table lists them
};

// Reads the headers of `bytes`; false with `problem` set when they are not a PE image's or point
// outside the file.
bool ParsePeImage(const std::string& bytes, PeImage* image, std::string* problem);

// The checksum Windows' CheckSumMappedFile computes: the file's 16-bit little-endian words (the CheckSum
// field itself counted as zero) added with end-around carry, plus the file's length.
uint32_t PeChecksum(const std::string& bytes, size_t checksum_offset);
uint32_t StoredChecksum(const std::string& bytes, size_t checksum_offset);
void StoreChecksum(std::string* bytes, size_t checksum_offset);

}  // namespace venue_client
