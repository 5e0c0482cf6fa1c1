// The far end of a visitor's call: whatever the exchange connects the client's voice to (a line test, a tone,
// a telephone behind the venue's SIP PBX). A call owns exactly one far end for as long as it is dialled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace exchange {

// One block of the client's voice: 16 ms of 8 kHz A-law.
constexpr size_t kBlockSamples = 128;

// What a far end reports to its call. Calls may come from inside Start() or from the event loop later; the
// call never destroys its far end from inside one of these callbacks.
class FarEndListener {
 public:
  // The far end answered: from now on the visitor talks to someone.
  virtual void OnFarEndAnswered() = 0;
  // The current destination was busy or did not answer and the next one of a hunt list is being tried.
  virtual void OnFarEndTryingNext() = 0;
  // The number was refused (unknown, forbidden): the client is told, then the call ends.
  virtual void OnFarEndRefused(std::string_view why) = 0;
  // The far end hung up, or could not be reached at all: the call ends. `why` goes to the call's log line.
  virtual void OnFarEndEnded(std::string_view why) = 0;

 protected:
  ~FarEndListener() = default;
};

class FarEnd {
 public:
  // Destroying a far end hangs it up (a SIP far end sends CANCEL before the answer, BYE after it). No
  // listener call happens during or after destruction.
  virtual ~FarEnd() = default;

  // Begins reaching the destination.
  virtual void Start() = 0;

  // One datagram's block of the client's voice (kBlockSamples bytes of A-law) with the client's sequence
  // number, as it arrived: blocks may be duplicated, late or missing. Only blocks from the latched source of
  // a well-formed datagram get here.
  virtual void OnClientVoice(int64_t sequence, const uint8_t* block) = 0;

  // Called by the call's pacer every 16 ms: fills `block` with the next kBlockSamples bytes of A-law toward
  // the client, or returns false when there is nothing to send now (not answered yet, nothing received).
  virtual bool ReadBlock(uint8_t* block) = 0;

  // What the far end counted of its own side of the call, for the call's summary line ("extension 3381, rtp
  // in 1500 out 1498 ..."); empty when it keeps no such figures.
  virtual std::string Counters() const { return std::string(); }

  // Packets of the far end's own media stream (RTP) so far, for the live counters; zero without one.
  struct Media {
    uint64_t packets_in = 0;
    uint64_t packets_out = 0;
  };
  virtual Media MediaPackets() const { return Media(); }
};

// What the dial plan resolved a dial string to, handed to the far end that serves it.
struct FarEndRequest {
  std::string dial;            // the client's dial string, as received (GBK)
  std::string target;          // the far end's own destination text from the dial plan ("3381,3382", "440")
  std::string client_address;  // "ip:port" of the client's signalling connection, for logs
  std::string call_id;         // the exchange's name for this call, for logs
};

// Makes far ends of one kind ("echo", "tone", "sip"); lives as long as the exchange.
class FarEndFactory {
 public:
  virtual ~FarEndFactory() = default;
  // Checks a dial-plan target when the configuration is loaded; empty when acceptable, else why not.
  virtual std::string CheckTarget(std::string_view target) const = 0;
  virtual std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) = 0;
};

}  // namespace exchange
