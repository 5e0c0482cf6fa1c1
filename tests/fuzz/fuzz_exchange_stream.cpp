// The client's message stream on a phone channel, cut into segments the way TCP may deliver it: the parser
// never crashes, keeps at most one message's worth of bytes pending, gives every byte back exactly once, and
// finds the same messages however the stream is cut.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/protocol/wire_formats.h"

using exchange::ClientMessage;
using exchange::StreamParser;

namespace {

// The longest message the parser may wait for: "{BuoHao}[" and 255 bytes of argument.
constexpr size_t kMaxPending = 9 + 255;
constexpr size_t kMaxDial = 255;
constexpr size_t kMaxLocalAddress = 63;

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckMessage(const ClientMessage& m) {
  Check(!m.raw.empty());
  switch (m.type) {
    case ClientMessage::Type::QualityRequest:
      Check(m.raw == exchange::kTagQuality);
      break;
    case ClientMessage::Type::LocalAddress:
      Check(m.raw.compare(0, exchange::kTagLocalIp.size(), exchange::kTagLocalIp) == 0 &&
            m.raw.back() == ']');
      Check(m.local_address.size() <= kMaxLocalAddress);
      break;
    case ClientMessage::Type::Dial:
      Check(m.raw.compare(0, exchange::kTagDial.size(), exchange::kTagDial) == 0 && m.raw.back() == ']');
      Check(m.dial.size() <= kMaxDial && m.dial.find(']') == std::string::npos);
      Check(m.raw.find(m.dial) != std::string::npos);
      break;
    case ClientMessage::Type::Garbage:
      Check(!m.note.empty());
      break;
  }
}

struct Parsed {
  std::string all_bytes;                   // every raw, in order
  std::vector<const ClientMessage*> kept;  // the recognised ones
  std::vector<ClientMessage> messages;
};

void Collect(std::vector<ClientMessage>&& batch, Parsed& out) {
  for (ClientMessage& m : batch) {
    CheckMessage(m);
    out.all_bytes += m.raw;
    out.messages.push_back(std::move(m));
  }
}

void Index(Parsed& p) {
  for (const ClientMessage& m : p.messages)
    if (m.type != ClientMessage::Type::Garbage) p.kept.push_back(&m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the segmentation; the rest is the stream.
  uint32_t cut_state = data[0] * 2654435761u + 1;
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  Parsed whole;
  {
    StreamParser parser;
    Collect(parser.Feed(stream), whole);
    Check(parser.pending() <= kMaxPending);
    Collect(parser.Finish(), whole);
    Check(parser.pending() == 0);
  }

  Parsed pieces;
  StreamParser parser;
  size_t pos = 0;
  while (pos < stream.size()) {
    cut_state = cut_state * 1103515245u + 12345u;
    size_t len = 1 + (cut_state >> 16) % 24;  // mostly small pieces, where the splits are
    if ((cut_state & 7) == 0) len = 0;        // an empty read as well
    len = std::min(len, stream.size() - pos);
    Collect(parser.Feed(stream.substr(pos, len)), pieces);
    Check(parser.pending() <= kMaxPending);
    pos += len;
  }
  Collect(parser.Finish(), pieces);

  Check(whole.all_bytes == stream);
  Check(pieces.all_bytes == stream);
  Index(whole);
  Index(pieces);
  Check(whole.kept.size() == pieces.kept.size());
  for (size_t i = 0; i < whole.kept.size(); ++i) {
    Check(whole.kept[i]->type == pieces.kept[i]->type && whole.kept[i]->raw == pieces.kept[i]->raw);
  }
  return 0;
}
