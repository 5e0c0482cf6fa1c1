// Wire formats the exchange speaks with the client: the address record, the phone channel's tags and the
// client's messages, and the voice datagrams in both directions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace exchange {

// ---- Address server record ----

constexpr size_t kAddressRecordSize = 452;
constexpr size_t kAddressFieldCount = 7;
constexpr size_t kAddressFieldSize = 64;
constexpr size_t kAddressFieldsOffset = 4;
constexpr size_t kReplyIpField = 5;  // 1-based field number carrying the phone server's address
constexpr std::string_view kQueryField1 = "{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIP]";
constexpr std::string_view kQueryField2 = "274953";

// Byte offset of 1-based field `number` (1..7).
constexpr size_t AddressFieldOffset(size_t number) {
  return kAddressFieldsOffset + (number - 1) * kAddressFieldSize;
}

// Builds a record with the given texts in fields 1..7 (missing entries stay zero). Texts longer than 63
// bytes are truncated.
std::string BuildAddressRecord(const std::vector<std::string>& fields);

// The record a well-behaved client sends.
std::string BuildAddressQuery();

// The reply carrying `phone_ip` in field 5.
std::string BuildAddressReply(std::string_view phone_ip);

// Checks a complete 452-byte query; returns an empty string when valid, otherwise a precise
// description of the first problem found.
std::string ValidateAddressQuery(std::string_view record);

// Reads the NUL-terminated text of field `number` of a record (empty if the record is too short).
std::string AddressFieldText(std::string_view record, size_t number);

// ---- Phone server tags ----

constexpr std::string_view kTagHello = "{HELO}";
constexpr std::string_view kTagBusy = "{ChanelBusyNow}";
constexpr std::string_view kTagWaitDial = "{ChanelWaitBohao}";
constexpr std::string_view kTagRefused = "{PasswordOrTelphoneNumberFailed}";
constexpr std::string_view kTagQuality = "{ZhiLiangCha}";
constexpr std::string_view kTagNextNumber = "{BoHaoNext}";
constexpr std::string_view kTagRemoteUdpPort = "{RemoteUDPPort}";
constexpr std::string_view kTagLocalIp = "{MyInNetLocalIP}";
constexpr std::string_view kTagDial = "{BuoHao}";

std::string BuildRemoteUdpPortTag(int port);
// "{MyInNetLocalIP}[%11s]" as the client formats it.
std::string BuildLocalAddressMessage(std::string_view local_address);
// "{BuoHao}[(%s)%s]" as the client formats it.
std::string BuildDialMessage(std::string_view local_address, std::string_view dial);

// One message recognised in the byte stream the client sends on a phone channel.
struct ClientMessage {
  enum class Type { LocalAddress, Dial, QualityRequest, Garbage };
  Type type = Type::Garbage;
  std::string raw;            // exact bytes of the message
  std::string local_address;  // LocalAddress and Dial: the address text with spaces trimmed
  std::string dial;           // Dial: the dialled string
  std::string note;           // Garbage: why it was not recognised
};

// Splits the unframed TCP byte stream into client messages. Messages may arrive split across
// segments or joined in one segment; bytes that cannot start or continue a known message are
// reported as Garbage.
class StreamParser {
 public:
  // Appends received bytes and returns every message that is now complete.
  std::vector<ClientMessage> Feed(std::string_view data);
  // Ends the stream: returns any incomplete remainder as Garbage.
  std::vector<ClientMessage> Finish();
  size_t pending() const { return buffer_.size(); }

 private:
  std::string buffer_;
};

// ---- Voice datagrams ----

constexpr size_t kClientVoiceSize = 144;
constexpr size_t kServerVoiceSize = 160;
constexpr size_t kVoiceSamples = 128;

// Parses the 16-byte sequence field of a client datagram (ASCII decimal right-aligned with leading
// spaces). Returns nullopt if the datagram is shorter than 16 bytes or the field is not of that form.
std::optional<long long> ParseClientVoiceSequence(std::string_view datagram);

// Builds a 144-byte client datagram (used by tests acting as the client).
std::string BuildClientVoice(long long sequence, std::string_view audio);

// Builds a 160-byte server datagram: address text (NUL padded, at most 16 bytes), sequence as decimal
// text (NUL padded) and 128 audio bytes (padded with A-law silence if shorter).
std::string BuildServerVoice(std::string_view address_text, long long sequence, std::string_view audio);

// The same datagram written into `out` (kServerVoiceSize bytes) without allocating; `audio` holds
// kVoiceSamples bytes.
void FillServerVoice(uint8_t* out, std::string_view address_text, long long sequence, const uint8_t* audio);

// Fields of a 160-byte server datagram, as the client reads them.
struct ServerVoice {
  std::string address_text;   // bytes up to the first NUL within the first 16 bytes
  std::string sequence_text;  // bytes 16..31 up to the first NUL
  std::string audio;          // bytes 32..159
};
std::optional<ServerVoice> ParseServerVoice(std::string_view datagram);

}  // namespace exchange
