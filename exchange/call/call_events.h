// What the exchange reports while it works: one event per thing done or seen. The daemon turns them into
// log lines and counters, the simulator into the record its tests read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace exchange {

// How the visitor reached the exchange: the Windows client, or the web page (WebRTC).
enum class CallVia { kClient, kWeb };
const char* ViaName(CallVia via);  // "client", "web"

// The summary of one call on a phone channel, given when it ends.
struct CallSummary {
  std::string client;  // "ip:port" of the signalling connection
  CallVia via = CallVia::kClient;
  std::string dial;     // secrets masked
  std::string far_end;  // "sip 3381,3382", "echo", "" when nothing was dialled
  uint64_t duration_ms = 0;
  uint64_t datagrams_in = 0;   // well-formed datagrams from the latched source
  uint64_t datagrams_out = 0;  // datagrams sent to the client (duplicates included)
  uint64_t lost = 0;
  uint64_t duplicated = 0;
  uint64_t late = 0;
  uint64_t rejected = 0;  // malformed, or from another source than the latched one
  uint64_t rtp_in = 0;    // the far end's media packets, when it has a stream of its own (SIP)
  uint64_t rtp_out = 0;
  std::string ended;             // how it ended: "client hung up", "far end hung up", "busy", "refused"...
  std::string far_end_counters;  // the far end's own figures (FarEnd::Counters), empty if it keeps none
};

// What the calls in progress have carried so far, for counters that move while calls run. Lost datagrams
// are only those no late arrival can take back any more, so the counter never goes down.
struct CallFigures {
  uint64_t datagrams_in = 0;
  uint64_t datagrams_out = 0;
  uint64_t lost = 0;
  uint64_t duplicated = 0;
  uint64_t late = 0;
  uint64_t rtp_in = 0;
  uint64_t rtp_out = 0;
};

struct ExchangeEvent {
  enum class Kind {
    Started,
    Stopped,
    Error,
    AddressConnected,
    AddressQueryOk,
    AddressQueryMalformed,  // text: what was wrong; bytes: what arrived
    AddressReplySent,       // bytes: the reply; text: the phone address in it
    AddressClosed,          // text: why
    ConnectionRefused,      // a limit turned a connection or query away; text: which
    ChannelAccepted,        // busy: whether this connection is answered with {ChanelBusyNow}
    TagSent,                // bytes: exactly what was sent
    LocalAddressReceived,   // local_address
    DialReceived,           // local_address, dial
    DialRefused,            // dial (masked), text: why
    QualityRequestReceived,
    GarbageReceived,  // bytes: raw; text: escaped form and reason
    FarEndStarted,    // text: far end and target
    FarEndAnswered,
    FarEndTryingNext,
    FarEndEnded,    // text: why
    ClientClosed,   // the client closed (or reset) the phone connection
    ServerClosed,   // the exchange closed the phone connection; text: why
    VoiceReceived,  // bytes: datagram; sequence (-1 if malformed); peer: source; text: verdict
    VoiceLatched,   // peer: the source voice is now accepted from
    VoiceStarted,   // text: destination and address text
    VoiceSent,      // bytes, sequence, peer = destination (only to observers that want voice events)
    VoiceStopped,   // sequence: number of datagrams sent in the call
    CallEnded,      // summary
    WebMedia,       // a web call's media: connected, or why it failed (text)
  };
  Kind kind = Kind::Error;
  int channel = -1;    // phone channel (0..3) of its phone-server address, -1 for none
  int server = -1;     // index of the phone-server address, -1 for the address server or none
  int call = 0;        // call number: 0 before the first valid address query, +1 on each
  int connection = 0;  // 1-based index of the phone connection within the call
  bool busy = false;
  // Why a visitor was turned away (ChannelAccepted when busy, ConnectionRefused): a fixed word such as
  // "channel_busy", "no_free_channel", "max_calls", "draining", "connections", "query_rate"; null for none.
  const char* reason = nullptr;
  CallVia via = CallVia::kClient;
  std::string_view bytes;
  std::string text;
  int64_t sequence = -1;
  std::string_view local_address;
  std::string_view dial;
  std::string peer;  // "ip:port" of the remote side
  int port = 0;      // local port involved
  const CallSummary* summary = nullptr;
};

const char* KindName(ExchangeEvent::Kind kind);

// "; far end: ..." with the far end's own figures, to end a summary line; empty when it kept none.
std::string FarEndFiguresSuffix(const CallSummary& summary);

class ExchangeObserver {
 public:
  virtual void OnEvent(const ExchangeEvent& event) = 0;
  // Per-datagram events (VoiceReceived for accepted datagrams, VoiceSent) are costly at hundreds of calls;
  // only observers that ask get them. Rejected datagrams are always reported.
  virtual bool WantsVoiceEvents() const { return false; }

 protected:
  ~ExchangeObserver() = default;
};

}  // namespace exchange
