// The address server's check of a query: only the one well-formed 452-byte record is accepted, anything else
// gets a bounded description, and reading a field never goes past the record.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exchange/protocol/wire_formats.h"

namespace {

// Generous: every byte of a 64-byte field shown as \xHH, plus the words around it.
constexpr size_t kMaxProblemText = 2048;

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckRecord(const std::string& record, const std::string& valid) {
  std::string problem = exchange::ValidateAddressQuery(record);
  Check(problem.empty() == (record == valid));
  Check(problem.size() <= kMaxProblemText);
  for (size_t number = 0; number <= exchange::kAddressFieldCount + 1; ++number) {
    std::string text = exchange::AddressFieldText(record, number);
    // A field the client left without its NUL reads as all 64 bytes, never more.
    Check(text.size() <= exchange::kAddressFieldSize && text.find('\0') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string valid = exchange::BuildAddressQuery();
  // The input as it arrives, in storage of its own so a read past its end is caught.
  std::string as_sent(reinterpret_cast<const char*>(data), size);
  CheckRecord(as_sent, valid);

  // The input written over a valid query at an offset it chooses: most of the record stays well-formed, so
  // every field's check is reached.
  if (size >= 2) {
    std::string record = valid;
    size_t offset = (static_cast<size_t>(data[0]) << 8 | data[1]) % exchange::kAddressRecordSize;
    size_t n = std::min(size - 2, record.size() - offset);
    std::memcpy(&record[offset], data + 2, n);
    CheckRecord(record, valid);
  }
  return 0;
}
