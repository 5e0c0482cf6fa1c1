#pragma once
// The bytes exchanged with the address server and the phone server: the address query record, the
// client's messages, the server's tags and the dial string. Pure functions; texts are GBK.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvarine {

constexpr uint16_t kAddressServerPort = 32765;
constexpr std::string_view kRequestToken = "{QMVRTEPLOSKANDIRWEXULBO19870524}";
constexpr std::string_view kQueryCode = "274953";

constexpr size_t kAddressRecordSize = 452;
constexpr size_t kAddressFieldSize = 64;
constexpr size_t kSignalChunkSize = 1024;  // one receive on the signalling connection
constexpr size_t kDialStringSize = 64;     // the dial string's field, so at most 63 characters
constexpr size_t kDialInputLimit = 62;     // number and password inputs are read up to this length

// One layout serves as query and as reply: 4 reserved bytes, then seven 64-byte NUL-padded text fields.
struct AddressQueryRecord {
  std::array<uint8_t, kAddressRecordSize> bytes{};

  // Field 1..7.
  uint8_t* Field(int number) { return bytes.data() + 4 + (number - 1) * kAddressFieldSize; }
  const uint8_t* Field(int number) const { return bytes.data() + 4 + (number - 1) * kAddressFieldSize; }
};

enum class SignalTag {
  kNone,
  kBuoHao,
  kGuaJi,
  kZhaiJi,
  kChanelBusyNow,
  kChanelWaitBohao,
  kHelo,
  kRemoteUdpPort,
  kBoHaoStop,
  kBoHaoNext,
  kZhiLiangCha,
  kPasswordOrTelphoneNumberFailed,
};

struct RecognisedSignal {
  SignalTag tag = SignalTag::kNone;
  int32_t port = 0;  // "{RemoteUDPPort}" only: the argument read as a decimal number, saturated
};

constexpr std::string_view kQualityRequest = "{ZhiLiangCha}";

enum class DialMode { kDepartment = 0, kDirectNumber = 1 };

AddressQueryRecord BuildAddressQuery();

// Field 5 up to its first NUL, at most 63 characters.
std::string ReadPhoneServerAddress(const AddressQueryRecord& reply);

// "{MyInNetLocalIP}[" + local address right-aligned in 11 characters + "]".
std::string FormatLocalAddressMessage(std::string_view local_address);

// "{BuoHao}[(" + local address + ")" + dial string + "]".
std::string FormatDialMessage(std::string_view local_address, std::string_view dial_string);

// Department mode: the extension. Direct-number mode: number "#" password "#", an empty password taken
// as one space, each input cut at 62 characters. Empty when the result would not fit the 63 characters of
// the dial string's field: such a number is refused rather than cut into a different one.
std::optional<std::string> ComposeDialString(DialMode mode, std::string_view extension,
                                             std::string_view number, std::string_view password);

// The received bytes of one receive, up to the first NUL and never past `received`.
std::string_view ChunkFromReceive(const char* buffer, int received);

// Which tag a chunk starts with; only the head up to the first "}" is compared.
RecognisedSignal RecogniseSignal(std::string_view chunk);

// At most `limit` bytes of a GBK text, never splitting a two-byte character.
std::string_view TruncateGbk(std::string_view text, size_t limit);

}  // namespace pelvarine
