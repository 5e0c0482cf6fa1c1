#include "exchange/farend/sip/sip_call_flow.h"

namespace exchange {

SipFailure ClassifySipFailure(uint16_t status) {
  switch (status) {
    case 486:  // Busy Here
    case 600:  // Busy Everywhere
    case 480:  // Temporarily Unavailable: not registered, do-not-disturb; a colleague may still answer
    case 603:  // Decline: this person rejected it, the department has others
      return SipFailure::kBusy;
    case 403:  // Forbidden
    case 404:  // Not Found
    case 410:  // Gone
    case 416:  // Unsupported URI Scheme
    case 484:  // Address Incomplete
    case 485:  // Ambiguous
    case 604:  // Does Not Exist Anywhere
      return SipFailure::kRefused;
    default:
      return SipFailure::kFailed;
  }
}

SipCallFlow::SipCallFlow(std::vector<std::string> extensions, uint32_t ring_limit_ms, uint32_t max_wait_ms,
                         SipLegPort& port, FarEndListener& listener)
    : extensions_(std::move(extensions)),
      ring_limit_ms_(ring_limit_ms),
      max_wait_ms_(max_wait_ms),
      port_(port),
      listener_(listener) {}

void SipCallFlow::Start() {
  if (state_ != State::kIdle) return;
  if (extensions_.empty()) {
    End("nothing to dial");
    return;
  }
  InviteCurrent();
}

void SipCallFlow::InviteCurrent() {
  state_ = State::kCalling;
  std::string why;
  if (!port_.Invite(extensions_[leg_], &why)) {
    End("INVITE to " + extensions_[leg_] + " not sent: " + why);
    return;
  }
  port_.ArmResponseTimer(max_wait_ms_);
}

void SipCallFlow::OnProvisional(uint16_t) {
  if (state_ != State::kCalling) return;
  // The server has the call and the phone is being alerted: from now on the ring limit counts.
  state_ = State::kRinging;
  port_.StopTimers();
  port_.ArmRingTimer(ring_limit_ms_);
}

void SipCallFlow::OnAnswered() {
  if (state_ != State::kCalling && state_ != State::kRinging) return;
  port_.StopTimers();
  state_ = State::kAnswered;
  listener_.OnFarEndAnswered();
}

void SipCallFlow::OnUnusableAnswer(const std::string& why) {
  if (state_ == State::kOver) return;
  End("answer from " + extensions_[leg_] + " unusable: " + why);
}

void SipCallFlow::OnFinalFailure(uint16_t status, const std::string& reason) {
  if (state_ != State::kCalling && state_ != State::kRinging) return;
  std::string what = std::to_string(status) + (reason.empty() ? "" : " " + reason);
  switch (ClassifySipFailure(status)) {
    case SipFailure::kBusy:
      TryNextOr(extensions_[leg_] + " busy (" + what + ")");
      return;
    case SipFailure::kRefused:
      port_.Drop();
      port_.StopTimers();
      state_ = State::kOver;
      listener_.OnFarEndRefused(extensions_[leg_] + " refused (" + what + ")");
      return;
    case SipFailure::kFailed:
      End("call to " + extensions_[leg_] + " failed (" + what + ")");
      return;
  }
}

void SipCallFlow::OnTransportError(const std::string& why) {
  if (state_ == State::kIdle || state_ == State::kOver) return;
  End("SIP transport error: " + why);
}

void SipCallFlow::OnHangUp() {
  if (state_ != State::kAnswered) return;
  End("hung up");
}

void SipCallFlow::OnResponseTimeout() {
  if (state_ != State::kCalling) return;
  End("SIP server did not respond within " + std::to_string(max_wait_ms_ / 1000) + " s");
}

void SipCallFlow::OnRingTimeout() {
  if (state_ != State::kRinging) return;
  TryNextOr(extensions_[leg_] + " did not answer within " + std::to_string(ring_limit_ms_ / 1000) + " s");
}

void SipCallFlow::TryNextOr(const std::string& why_over) {
  if (leg_ + 1 >= extensions_.size()) {
    End(why_over);
    return;
  }
  port_.Drop();
  port_.StopTimers();
  ++leg_;
  listener_.OnFarEndTryingNext();
  InviteCurrent();
}

void SipCallFlow::End(const std::string& why) {
  port_.Drop();
  port_.StopTimers();
  state_ = State::kOver;
  listener_.OnFarEndEnded(why);
}

}  // namespace exchange
