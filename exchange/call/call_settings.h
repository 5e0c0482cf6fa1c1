// How a phone channel behaves toward the client. The defaults are what the client expects of a real phone
// server; the simulator changes some of them to play its scenarios.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace exchange {

struct CallSettings {
  // The client reads one chunk per readable notification and never joins chunks: two tags in one TCP
  // segment would lose the second. Tags are therefore sent one at a time, this far apart.
  uint64_t tag_gap_ms = 50;
  uint64_t first_tag_delay_ms = 100;  // from the accept to the first tag

  uint64_t dial_timeout_ms = 20000;  // accept to "{BuoHao}"; 0 = wait for ever
  uint64_t linger_ms = 10000;        // after a refusal, how long the client may keep the line
  uint64_t busy_linger_ms = 3000;    // after a busy reply (the client moves on to the next channel at once)
  uint64_t max_call_ms = 3600000;    // from the dial; 0 = no limit
  // A call whose latched voice source has sent nothing for this long has lost its client (a visitor whose
  // microphone fails never latches, so is never cut by it); 0 = never.
  uint64_t voice_silence_ms = 60000;
  // A latched source silent this long may be replaced by another port of the client's address (its NAT
  // mapped it anew); a source that keeps talking cannot be taken over.
  uint64_t relatch_after_ms = 2000;
  uint64_t voice_pace_ms = 16;      // one datagram to the client every this many ms
  size_t max_garbage_bytes = 4096;  // unrecognised bytes a connection may send before it is closed
  // Recognised messages a connection may send (the client sends two or three in a call): a stream of them
  // would keep the exchange busy for the whole call.
  size_t max_messages = 64;

  int announce_udp_port = 0;  // > 0: "{RemoteUDPPort}[n]" before "{ChanelWaitBohao}"
  bool hello = false;         // "{HELO}" first

  // Raw chunks for test scenarios, each sent on its own: before everything, after "{ChanelWaitBohao}", and
  // after each dial.
  std::vector<std::string> tags_first;
  std::vector<std::string> tags_after_wait;
  std::vector<std::string> tags_after_dial;

  bool request_duplicates = false;  // answer each dial with "{ZhiLiangCha}"

  std::optional<std::string> voice_address;  // address text in datagrams to the client (default: its own)
  uint16_t client_voice_port = 20001;        // the client's first voice port: used until its datagrams arrive
  bool latch_any_source = false;             // latch voice only from the signalling peer's address unless set
  // The sequence number of the first datagram to the client. A scenario that sends datagrams of its own to
  // the client first starts the call's numbering after them, so the client takes the call's voice as newer.
  int64_t first_voice_sequence = 1;
};

}  // namespace exchange
