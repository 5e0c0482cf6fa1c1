// What a SIP call through the venue's PBX means to the visitor's call: which extension of a hunt list is
// ringing, when to move on to the next one, and which outcome the far end's listener hears. Kept apart from
// libre so that every path (busy, refusal, silence, ring limit, hang-up) can be driven by a fake SIP side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchange/farend/far_end.h"

namespace exchange {

// How a final failure response to an INVITE is handled.
enum class SipFailure {
  kBusy,     // the extension cannot take the call now: try the next one of the list
  kRefused,  // the number itself is wrong or forbidden: tell the visitor
  kFailed,   // anything else: the call ends
};
SipFailure ClassifySipFailure(uint16_t status);

// What the flow asks of the SIP side. Timers are one-shot; arming one replaces its earlier deadline.
class SipLegPort {
 public:
  // Sends an INVITE to `extension`; the SIP side reports back through SipCallFlow's On* methods. Returns
  // false (with a reason) when the request could not even be sent.
  virtual bool Invite(const std::string& extension, std::string* why) = 0;
  // Gives up the current leg: CANCEL while it rings, BYE once answered. No more events come from it.
  virtual void Drop() = 0;
  virtual void ArmResponseTimer(uint32_t ms) = 0;
  virtual void ArmRingTimer(uint32_t ms) = 0;
  virtual void StopTimers() = 0;

 protected:
  ~SipLegPort() = default;
};

class SipCallFlow {
 public:
  enum class State { kIdle, kCalling, kRinging, kAnswered, kOver };

  SipCallFlow(std::vector<std::string> extensions, uint32_t ring_limit_ms, uint32_t max_wait_ms,
              SipLegPort& port, FarEndListener& listener);

  void Start();

  // Events of the current leg, from the SIP side.
  void OnProvisional(uint16_t status);
  void OnAnswered();
  // The answer could not be used (no PCMA in it, no address): the SIP side has already hung the leg up.
  void OnUnusableAnswer(const std::string& why);
  void OnFinalFailure(uint16_t status, const std::string& reason);
  void OnTransportError(const std::string& why);
  void OnHangUp();  // BYE from the far side after the answer
  void OnResponseTimeout();
  void OnRingTimeout();

  State state() const { return state_; }
  // 0-based index of the extension currently (or last) dialled.
  size_t leg() const { return leg_; }
  const std::string& current_extension() const {
    static const std::string kNone;
    return leg_ < extensions_.size() ? extensions_[leg_] : kNone;
  }

 private:
  void InviteCurrent();
  void TryNextOr(const std::string& why_over);
  void End(const std::string& why);

  std::vector<std::string> extensions_;
  uint32_t ring_limit_ms_;
  uint32_t max_wait_ms_;
  SipLegPort& port_;
  FarEndListener& listener_;
  State state_ = State::kIdle;
  size_t leg_ = 0;
};

}  // namespace exchange
