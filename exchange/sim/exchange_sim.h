// exchange-sim: the exchange itself (address server and phone servers) on loopback, set up by a test
// scenario's knobs and recording everything it does. Usable in-process (this header) and from the command
// line (main.cpp). One thread runs the exchange on its own libre event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exchange/protocol/alaw.h"
#include "exchange/protocol/wire_formats.h"
#include "hostile_material.h"

namespace exsim {

// The simulator speaks through the exchange's own wire formats.
using namespace exchange;

enum class VoiceMode { kNone, kTone, kEcho };

// Every scenario knob. Defaults match what the client expects from the real servers.
struct Options {
  // Network.
  std::string bind_address = "127.0.0.1";  // IPv4 address all listeners bind to
  int address_port = 32765;                // 0 = any free port (see Simulator::AddressPort())
  std::string phone_ip = "127.0.0.1";      // text put in field 5 of the address reply
  int phone_base_port = 20480;             // channel k: TCP base+2k, UDP base+2k+1
  int channels = 4;

  // Address server behaviour.
  bool silent_address = false;    // accept and read the query but never reply
  int address_timeout_ms = 3000;  // how long to wait for the whole 452-byte query

  // Phone server behaviour.
  bool silent_phone = false;            // accept phone connections but never send a tag
  int busy_channels = 0;                // first N phone connections of a call get {ChanelBusyNow} (held open
                                        // until the client closes or the exchange's linger runs out)
  bool hello = false;                   // send {HELO} first
  int udp_port_override = 0;            // >0: send {RemoteUDPPort}[n] and listen for voice on UDP n
  std::vector<std::string> extra_tags;  // raw texts sent (each on its own) after {ChanelWaitBohao}
  bool extra_tags_after_dial = false;   // send extra_tags after the {BuoHao} instead
  bool refuse = false;                  // answer {BuoHao} with {PasswordOrTelphoneNumberFailed} (no dial is
                                        // in the dial plan); otherwise every dial reaches the voice far end
  bool quality = false;                 // answer {BuoHao} with {ZhiLiangCha}
  int hangup_after_ms = -1;             // >=0: close the phone connection this long after {BuoHao} (at least
                                        // 1 ms: the exchange's call time limit)
  int tag_gap_ms = 50;                  // minimum gap between two tags on one connection
  int first_tag_delay_ms = 100;         // delay between accepting and the first tag (busy or not)

  // Far-end voice, started on {BuoHao}. kNone: a far end that answers and stays silent.
  VoiceMode voice = VoiceMode::kNone;
  double tone_hz = 1000.0;
  int voice_pace_ms = 16;                    // one datagram to the client every this many ms
  int voice_count = 0;                       // tone: 0 = for as long as the call runs; otherwise it falls
                                             // silent after this many (VoiceStopped then) and the call stays
  std::optional<std::string> voice_address;  // address text put in server datagrams (default: the
                                             // client's own, from {MyInNetLocalIP})
  std::string client_host = "127.0.0.1";     // kept for the command line: the exchange sends to the
                                             // signalling connection's address, which is this on loopback
  int client_udp_port = 20001;               // voice destination port until a client datagram is seen

  // Hostile peer: garbage chunks before the tags, malformed datagrams and a flood on {BuoHao} (from a
  // socket of their own, to where the call's voice goes; the call's own numbering starts after the flood).
  bool hostile = false;
  int hostile_flood = 5000;  // datagrams in the flood
  unsigned hostile_seed = 1;

  // Logging.
  int voice_log_every = 1;  // log only every Nth voice datagram line (events are always kept)
  size_t max_events = 0;    // 0 = keep everything; otherwise keep at least the last max_events events
                            // and log lines (memory bound for long runs)
  std::ostream* log_stream = nullptr;                    // receives each log line
  std::function<void(const std::string&)> log_callback;  // receives each log line (no newline)
};

// One thing the simulator did or saw. Events are recorded just after the action (a tag is recorded once
// it has been written), so a peer can observe the effect a moment before the event exists: wait with
// Simulator::WaitFor rather than reading Events() right after seeing the effect.
struct Event {
  enum class Kind {
    Started,
    Stopped,
    Error,
    AddressConnected,
    AddressQueryOk,
    AddressQueryMalformed,  // text: what was wrong; bytes: what arrived
    AddressReplySent,       // bytes: the reply; text: the phone address in it
    AddressClosed,          // text: why
    ChannelAccepted,        // busy: whether this connection is answered with {ChanelBusyNow}
    TagSent,                // bytes: exactly what was sent (also hostile garbage chunks)
    LocalAddressReceived,   // local_address
    DialReceived,           // local_address, dial
    QualityRequestReceived,
    GarbageReceived,   // bytes: raw; text: escaped form and reason
    ClientClosed,      // the client closed (or reset) the phone connection
    ServerClosed,      // the exchange closed the phone connection (hang-up delay, linger, Stop); text: why
    VoiceReceived,     // bytes: datagram; sequence (-1 if malformed); peer: source; text: verdict
    VoiceStarted,      // text: far end and destination; peer: destination; local_address: address text
    VoiceSent,         // one per normal datagram: bytes, sequence, peer = destination
    VoiceStopped,      // sequence: number of datagrams sent in the session
    HostileVoiceSent,  // one summary for the malformed datagrams and the flood; sequence: count
    // What the exchange reports besides.
    ConnectionRefused,  // a per-source limit turned a connection away
    DialRefused,        // dial, text: why
    FarEndStarted,      // text: far end
    FarEndAnswered,
    FarEndTryingNext,
    FarEndEnded,   // text: why
    VoiceLatched,  // peer: the source voice is now accepted from
    CallEnded,     // text: the call's summary line
  };
  Kind kind = Kind::Error;
  int channel = -1;    // phone channel, -1 for the address server or none
  int call = 0;        // call number: 0 before the first valid address query, +1 on each
  int connection = 0;  // phone: 1-based index of the connection within the call
  bool busy = false;
  std::chrono::steady_clock::time_point when;
  std::chrono::system_clock::time_point wall;
  std::string bytes;  // raw received or sent bytes
  std::string text;   // readable form (as in the log line)
  long long sequence = -1;
  std::string local_address;
  std::string dial;
  std::string peer;  // "ip:port" of the remote side
  int port = 0;      // local port involved
};

const char* KindName(Event::Kind kind);

// Helpers for assertions.
std::vector<Event> Filter(const std::vector<Event>& events, Event::Kind kind, int channel = -2);
size_t Count(const std::vector<Event>& events, Event::Kind kind, int channel = -2);  // -2 = any channel

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();  // stops
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds every socket and starts serving. False (with *error set) if anything fails to bind.
  bool Start(std::string* error);
  // Ends all threads promptly and closes all sockets. Idempotent.
  void Stop();
  bool running() const;

  std::vector<Event> Events() const;
  // Waits until pred(events) holds or the timeout passes. pred is called with the internal lock held:
  // it must not call back into the Simulator.
  bool WaitFor(std::function<bool(const std::vector<Event>&)> pred, std::chrono::milliseconds timeout) const;
  std::string Log() const;

  const Options& options() const;
  int AddressPort() const;  // actual port (useful with address_port = 0)
  int PhonePort(int channel) const;
  int UdpPort(int channel) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace exsim
