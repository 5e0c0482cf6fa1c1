#include "call/signal_messages.h"

#include <algorithm>
#include <cstring>

#include "call/decimal.h"

namespace pelvarine {
namespace {

struct TagName {
  std::string_view text;
  SignalTag tag;
};

constexpr TagName kTags[] = {
    {"{BuoHao}", SignalTag::kBuoHao},
    {"{GuaJi}", SignalTag::kGuaJi},
    {"{ZhaiJi}", SignalTag::kZhaiJi},
    {"{ChanelBusyNow}", SignalTag::kChanelBusyNow},
    {"{ChanelWaitBohao}", SignalTag::kChanelWaitBohao},
    {"{HELO}", SignalTag::kHelo},
    {"{RemoteUDPPort}", SignalTag::kRemoteUdpPort},
    {"{BoHaoStop}", SignalTag::kBoHaoStop},
    {"{BoHaoNext}", SignalTag::kBoHaoNext},
    {"{ZhiLiangCha}", SignalTag::kZhiLiangCha},
    {"{PasswordOrTelphoneNumberFailed}", SignalTag::kPasswordOrTelphoneNumberFailed},
};

// The port argument was gathered in a 64-byte buffer.
constexpr size_t kPortArgumentLimit = 63;

void WriteField(AddressQueryRecord& record, int number, std::string_view text) {
  std::memcpy(record.Field(number), text.data(), std::min(text.size(), kAddressFieldSize - 1));
}

int32_t ReadPortArgument(std::string_view rest) {
  char argument[kPortArgumentLimit + 1] = {};
  size_t length = 0;
  for (char c : rest) {
    if (c == '[' || c == ']') continue;
    if (length == kPortArgumentLimit) break;
    argument[length++] = c;
  }
  return ParseDecimalSaturated(std::string_view(argument, length));
}

}  // namespace

AddressQueryRecord BuildAddressQuery() {
  AddressQueryRecord record;
  WriteField(record, 2, kQueryCode);
  std::string request(kRequestToken);
  request += "[GETIP]";
  WriteField(record, 1, request);
  return record;
}

std::string ReadPhoneServerAddress(const AddressQueryRecord& reply) {
  const char* field = reinterpret_cast<const char*>(reply.Field(5));
  const void* nul = std::memchr(field, 0, kAddressFieldSize - 1);
  size_t length = nul ? static_cast<const char*>(nul) - field : kAddressFieldSize - 1;
  return std::string(field, length);
}

std::string FormatLocalAddressMessage(std::string_view local_address) {
  std::string message = "{MyInNetLocalIP}[";
  if (local_address.size() < 11) message.append(11 - local_address.size(), ' ');
  message.append(local_address);
  message += ']';
  return message;
}

std::string FormatDialMessage(std::string_view local_address, std::string_view dial_string) {
  std::string message = "{BuoHao}[(";
  message.append(local_address);
  message += ')';
  message.append(dial_string);
  message += ']';
  return message;
}

std::optional<std::string> ComposeDialString(DialMode mode, std::string_view extension,
                                             std::string_view number, std::string_view password) {
  std::string dial;
  if (mode == DialMode::kDepartment) {
    dial = extension;
  } else {
    number = TruncateGbk(number, kDialInputLimit);
    password = TruncateGbk(password, kDialInputLimit);
    dial.append(number);
    dial += '#';
    dial.append(password.empty() ? std::string_view(" ") : password);
    dial += '#';
  }
  if (dial.size() > kDialStringSize - 1) return std::nullopt;
  return dial;
}

std::string_view ChunkFromReceive(const char* buffer, int received) {
  if (received <= 0) return {};
  size_t size = static_cast<size_t>(received);
  const void* nul = std::memchr(buffer, 0, size);
  if (nul) size = static_cast<const char*>(nul) - buffer;
  return std::string_view(buffer, size);
}

RecognisedSignal RecogniseSignal(std::string_view chunk) {
  RecognisedSignal result;
  size_t close = chunk.find('}');
  std::string_view head = close == std::string_view::npos ? chunk : chunk.substr(0, close + 1);
  for (const TagName& name : kTags) {
    if (head == name.text) {
      result.tag = name.tag;
      break;
    }
  }
  if (result.tag == SignalTag::kRemoteUdpPort) result.port = ReadPortArgument(chunk.substr(close + 1));
  return result;
}

std::string_view TruncateGbk(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  // Walk the characters: a byte of 0x81 or more starts a two-byte character.
  size_t end = 0;
  while (end < limit) {
    size_t width = static_cast<uint8_t>(text[end]) >= 0x81 ? 2 : 1;
    if (end + width > limit) break;
    end += width;
  }
  return text.substr(0, end);
}

}  // namespace pelvarine
