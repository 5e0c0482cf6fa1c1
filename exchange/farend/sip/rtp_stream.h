// The RTP side of one bridged call: one UDP socket that both receives from and sends to the PBX (symmetric
// RTP, so a PBX behind NAT or one that ignores the SDP port still reaches us), latched to the PBX's real
// source after its first valid PCMA packet from the address its SDP named or from its signalling address
// (anyone else could otherwise take the visitor's voice with one forged packet). The client's 16 ms blocks
// leave as 20 ms packets on our own clock; the PBX's packets of any ptime are re-framed into 16 ms blocks for
// the call's pacer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <re.h>

#include "exchange/call/timers.h"
#include "exchange/media/downlink_buffer.h"
#include "exchange/media/frame_clock.h"
#include "exchange/media/uplink_buffer.h"

namespace exchange {

// Per call, for its summary line.
struct SipMediaCounters {
  uint64_t packets_in = 0;     // valid PCMA packets from the latched source
  uint64_t packets_out = 0;    // RTP packets sent to the PBX
  uint64_t ignored_in = 0;     // packets of another payload type or size, or from another source
  uint64_t lost_in = 0;        // PBX packets never received
  uint64_t late_in = 0;        // PBX packets that came after their audio was due
  uint64_t client_lost = 0;    // client blocks never received by the time they were due
  uint64_t client_late = 0;    // client blocks that came after their turn
  uint64_t concealed_out = 0;  // packets toward the PBX that cover missing client blocks
  int hold_ms = 0;             // how long the client's voice last waited in the jitter buffer
};

constexpr uint8_t kPcmaPayloadType = 8;
constexpr size_t kRtpFrameSamples = 160;  // 20 ms at 8 kHz
constexpr uint32_t kRtpFrameMs = 20;
constexpr size_t kMaxRtpPayload = 480;  // 60 ms, the longest ptime accepted

class RtpStream {
 public:
  // Binds a socket on `bind_ip` at an even port within [first_port, last_port].
  // Its 20 ms clock runs on `timers`, which must outlive it.
  static std::unique_ptr<RtpStream> Open(TimerSource& timers, const struct sa& bind_ip, uint16_t first_port,
                                         uint16_t last_port, std::string* error);
  ~RtpStream();
  RtpStream(const RtpStream&) = delete;
  RtpStream& operator=(const RtpStream&) = delete;

  uint16_t local_port() const;

  // The call is answered: send to `remote` (from the SDP answer) until the PBX's own source is seen, and
  // start the 20 ms clock toward it. Media is taken from `remote`'s address or `signalling`'s (if given).
  void Start(const struct sa& remote, const struct sa* signalling = nullptr);
  // The PBX moved the media (a re-offer with another address or port): send there and latch anew.
  void MoveTo(const struct sa& remote);
  // On hold the PBX wants nothing from us (its offer said sendonly or inactive): the clock runs on silently.
  void SetSending(bool sending) { sending_ = sending; }
  bool sending() const { return sending_; }
  // The call is over: nothing more is sent or handed on; the counters stay.
  void Stop();

  void OnClientVoice(int64_t sequence, const uint8_t* block);
  bool ReadBlock(uint8_t* block);

  SipMediaCounters counters() const;
  bool latched() const { return latched_; }

 private:
  RtpStream() = default;
  static void OnRtp(const struct sa* src, const struct rtp_header* header, struct mbuf* mb, void* arg);
  void OnTick();
  void Receive(const struct sa* src, const struct rtp_header* header, struct mbuf* mb);
  void SendFrame(uint32_t timestamp);

  struct rtp_sock* socket_ = nullptr;
  struct mbuf* packet_ = nullptr;
  TimerSource* timers_ = nullptr;
  std::unique_ptr<Timer> tick_;
  bool FromPbx(const struct sa* src) const;

  struct sa remote_;
  struct sa announced_;   // the SDP's address
  struct sa signalling_;  // where the PBX's answer came from (unset: none)
  bool started_ = false;
  bool sending_ = true;
  bool latched_ = false;
  // After a stall, at most this many frames go at once; the rest are skipped.
  FrameClock clock_{kRtpFrameMs, kRtpFrameSamples, 5};
  UplinkBuffer uplink_;
  DownlinkBuffer downlink_;
  SipMediaCounters counters_;
};

}  // namespace exchange
