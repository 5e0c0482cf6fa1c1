#include "exchange/protocol/wire_formats.h"

#include <cstdio>
#include <cstring>

#include "exchange/protocol/display_text.h"

namespace exchange {

namespace {

constexpr size_t kMaxFieldText = kAddressFieldSize - 1;
constexpr size_t kMaxLocalAddressContent = 63;
constexpr size_t kMaxDialContent = 255;
constexpr char kAlawSilence = static_cast<char>(0xD5);

std::string Quote(std::string_view bytes) {
  return "\"" + GbkToDisplay(bytes) + "\"";
}

// Describes what is wrong with a field that must hold exactly `expected` followed by NULs.
std::string CheckTextField(std::string_view record, size_t number, std::string_view expected) {
  size_t offset = AddressFieldOffset(number);
  std::string_view field = record.substr(offset, kAddressFieldSize);
  size_t nul = field.find('\0');
  std::string prefix = "field " + std::to_string(number) + " (offset " + std::to_string(offset) + ")";
  if (nul == std::string_view::npos) {
    return prefix + " is not NUL-terminated: " + Quote(field);
  }
  std::string_view text = field.substr(0, nul);
  if (text != expected) {
    return prefix + " is " + Quote(text) + ", expected " + Quote(expected);
  }
  for (size_t i = nul; i < field.size(); ++i) {
    if (field[i] != '\0') {
      char byte[8];
      std::snprintf(byte, sizeof(byte), "0x%02X", static_cast<unsigned char>(field[i]));
      return prefix + " padding is not zero: byte " + byte + " at offset " + std::to_string(offset + i);
    }
  }
  return std::string();
}

}  // namespace

// ---- Address server record ----

std::string BuildAddressRecord(const std::vector<std::string>& fields) {
  std::string record(kAddressRecordSize, '\0');
  for (size_t i = 0; i < fields.size() && i < kAddressFieldCount; ++i) {
    std::string_view text = fields[i];
    if (text.size() > kMaxFieldText) text = text.substr(0, kMaxFieldText);
    record.replace(AddressFieldOffset(i + 1), text.size(), text);
  }
  return record;
}

std::string BuildAddressQuery() {
  return BuildAddressRecord({std::string(kQueryField1), std::string(kQueryField2)});
}

std::string BuildAddressReply(std::string_view phone_ip) {
  std::vector<std::string> fields(kReplyIpField);
  fields[kReplyIpField - 1] = std::string(phone_ip);
  return BuildAddressRecord(fields);
}

std::string ValidateAddressQuery(std::string_view record) {
  if (record.size() != kAddressRecordSize) {
    return "query is " + std::to_string(record.size()) + " bytes, expected " +
           std::to_string(kAddressRecordSize);
  }
  for (size_t i = 0; i < kAddressFieldsOffset; ++i) {
    if (record[i] != '\0') {
      return "reserved bytes 0-3 are not zero: " + Quote(record.substr(0, kAddressFieldsOffset));
    }
  }
  std::string problem = CheckTextField(record, 1, kQueryField1);
  if (problem.empty()) problem = CheckTextField(record, 2, kQueryField2);
  for (size_t number = 3; problem.empty() && number <= kAddressFieldCount; ++number) {
    size_t offset = AddressFieldOffset(number);
    for (size_t i = 0; i < kAddressFieldSize; ++i) {
      if (record[offset + i] != '\0') {
        std::string_view field = record.substr(offset, kAddressFieldSize);
        problem = "field " + std::to_string(number) + " (offset " + std::to_string(offset) +
                  ") is not zero: first non-zero byte at offset " + std::to_string(offset + i) +
                  ", content " + Quote(field.substr(0, field.find_last_not_of('\0') + 1));
        break;
      }
    }
  }
  return problem;
}

std::string AddressFieldText(std::string_view record, size_t number) {
  size_t offset = AddressFieldOffset(number);
  if (number < 1 || number > kAddressFieldCount || record.size() < offset + kAddressFieldSize) {
    return std::string();
  }
  std::string_view field = record.substr(offset, kAddressFieldSize);
  return std::string(field.substr(0, field.find('\0')));
}

// ---- Phone server tags ----

std::string BuildRemoteUdpPortTag(int port) {
  return std::string(kTagRemoteUdpPort) + "[" + std::to_string(port) + "]";
}

std::string BuildLocalAddressMessage(std::string_view local_address) {
  std::string padded(local_address);
  if (padded.size() < 11) padded.insert(0, 11 - padded.size(), ' ');
  return std::string(kTagLocalIp) + "[" + padded + "]";
}

std::string BuildDialMessage(std::string_view local_address, std::string_view dial) {
  return std::string(kTagDial) + "[(" + std::string(local_address) + ")" + std::string(dial) + "]";
}

namespace {

enum class ParseStatus { kComplete, kNeedMore, kGarbage };

struct ParseResult {
  ParseStatus status;
  size_t length = 0;  // bytes consumed (complete) or garbage length
  ClientMessage message;
  std::string note;
};

ParseResult Garbage(size_t length, std::string note) {
  ParseResult r{ParseStatus::kGarbage, length, {}, std::move(note)};
  return r;
}

// Parses "<prefix>[content]" at the start of `buf`, where `prefix` has already matched.
ParseResult ParseBracketed(std::string_view buf, size_t prefix_len, size_t max_content,
                           ClientMessage::Type type) {
  size_t end = buf.find_first_of("]{", prefix_len);
  std::string name(buf.substr(0, prefix_len - 1));
  if (end == std::string_view::npos) {
    if (buf.size() - prefix_len > max_content) {
      return Garbage(prefix_len + max_content, "over-long argument of " + name);
    }
    return ParseResult{ParseStatus::kNeedMore, 0, {}, {}};
  }
  if (end - prefix_len > max_content)
    return Garbage(prefix_len + max_content, "over-long argument of " + name);
  if (buf[end] == '{') return Garbage(end, "unterminated " + name);
  std::string_view content = buf.substr(prefix_len, end - prefix_len);
  ParseResult r{ParseStatus::kComplete, end + 1, {}, {}};
  r.message.type = type;
  r.message.raw = std::string(buf.substr(0, end + 1));
  if (type == ClientMessage::Type::LocalAddress) {
    r.message.local_address = TrimSpaces(content);
    return r;
  }
  size_t close = content.find(')');
  if (content.empty() || content[0] != '(' || close == std::string_view::npos) {
    return Garbage(end + 1, "malformed " + name + " argument (expected \"(address)dial\")");
  }
  r.message.local_address = TrimSpaces(content.substr(1, close - 1));
  r.message.dial = std::string(content.substr(close + 1));
  return r;
}

ParseResult ParseOne(std::string_view buf) {
  struct Form {
    std::string_view prefix;
    ClientMessage::Type type;
    size_t max_content;
  };
  static const std::string kLocalPrefix = std::string(kTagLocalIp) + "[";
  static const std::string kDialPrefix = std::string(kTagDial) + "[";
  const Form forms[] = {
      {kTagQuality, ClientMessage::Type::QualityRequest, 0},
      {kLocalPrefix, ClientMessage::Type::LocalAddress, kMaxLocalAddressContent},
      {kDialPrefix, ClientMessage::Type::Dial, kMaxDialContent},
  };
  for (const Form& form : forms) {
    size_t n = std::min(buf.size(), form.prefix.size());
    if (buf.compare(0, n, form.prefix.substr(0, n)) != 0) continue;
    if (buf.size() < form.prefix.size()) return ParseResult{ParseStatus::kNeedMore, 0, {}, {}};
    if (form.type == ClientMessage::Type::QualityRequest) {
      ParseResult r{ParseStatus::kComplete, form.prefix.size(), {}, {}};
      r.message.type = form.type;
      r.message.raw = std::string(form.prefix);
      return r;
    }
    return ParseBracketed(buf, form.prefix.size(), form.max_content, form.type);
  }
  size_t next = buf.find('{', 1);
  return Garbage(next == std::string_view::npos ? buf.size() : next, "unrecognised");
}

}  // namespace

std::vector<ClientMessage> StreamParser::Feed(std::string_view data) {
  buffer_.append(data);
  std::vector<ClientMessage> out;
  size_t pos = 0;
  while (pos < buffer_.size()) {
    std::string_view rest(buffer_.data() + pos, buffer_.size() - pos);
    ParseResult r;
    if (rest[0] != '{') {
      size_t next = rest.find('{');
      r = Garbage(next == std::string_view::npos ? rest.size() : next, "unrecognised");
    } else {
      r = ParseOne(rest);
    }
    if (r.status == ParseStatus::kNeedMore) break;
    if (r.status == ParseStatus::kGarbage) {
      ClientMessage g;
      g.type = ClientMessage::Type::Garbage;
      g.raw = std::string(rest.substr(0, r.length));
      g.note = r.note;
      out.push_back(std::move(g));
    } else {
      out.push_back(std::move(r.message));
    }
    pos += r.length;
  }
  buffer_.erase(0, pos);
  return out;
}

std::vector<ClientMessage> StreamParser::Finish() {
  std::vector<ClientMessage> out;
  if (!buffer_.empty()) {
    ClientMessage g;
    g.type = ClientMessage::Type::Garbage;
    g.raw = buffer_;
    g.note = "incomplete message at end of stream";
    out.push_back(std::move(g));
    buffer_.clear();
  }
  return out;
}

// ---- Voice datagrams ----

std::optional<long long> ParseClientVoiceSequence(std::string_view datagram) {
  if (datagram.size() < 16) return std::nullopt;
  std::string_view field = datagram.substr(0, 16);
  size_t i = field.find_first_not_of(' ');
  if (i == std::string_view::npos) return std::nullopt;
  long long value = 0;
  for (; i < field.size(); ++i) {
    char c = field[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');  // at most 16 digits: cannot overflow
  }
  return value;
}

std::string BuildClientVoice(long long sequence, std::string_view audio) {
  char field[32];
  std::snprintf(field, sizeof(field), "%16lld", sequence);
  std::string out(field, 16);
  std::string payload(audio.substr(0, kVoiceSamples));
  payload.resize(kVoiceSamples, kAlawSilence);
  return out + payload;
}

std::string BuildServerVoice(std::string_view address_text, long long sequence, std::string_view audio) {
  std::string out(kServerVoiceSize, '\0');
  std::string_view address = address_text.substr(0, 16);
  out.replace(0, address.size(), address);
  std::string seq = std::to_string(sequence).substr(0, 16);
  out.replace(16, seq.size(), seq);
  std::string payload(audio.substr(0, kVoiceSamples));
  payload.resize(kVoiceSamples, kAlawSilence);
  out.replace(32, kVoiceSamples, payload);
  return out;
}

void FillServerVoice(uint8_t* out, std::string_view address_text, long long sequence, const uint8_t* audio) {
  std::memset(out, 0, 32);
  std::string_view address = address_text.substr(0, 16);
  std::memcpy(out, address.data(), address.size());
  char seq[24];
  int n = std::snprintf(seq, sizeof(seq), "%lld", sequence);
  std::memcpy(out + 16, seq, static_cast<size_t>(n < 16 ? n : 16));
  std::memcpy(out + 32, audio, kVoiceSamples);
}

std::optional<ServerVoice> ParseServerVoice(std::string_view datagram) {
  if (datagram.size() != kServerVoiceSize) return std::nullopt;
  ServerVoice v;
  std::string_view head = datagram.substr(0, 16);
  v.address_text = std::string(head.substr(0, head.find('\0')));
  std::string_view seq = datagram.substr(16, 16);
  v.sequence_text = std::string(seq.substr(0, seq.find('\0')));
  v.audio = std::string(datagram.substr(32));
  return v;
}

}  // namespace exchange
