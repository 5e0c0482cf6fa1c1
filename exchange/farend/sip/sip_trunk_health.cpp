#include "exchange/farend/sip/sip_trunk_health.h"

#include <cstring>

#include "exchange/farend/sip/sip_call_flow.h"

namespace exchange {

const char* SipTrunkHealth::RegistrationName(Registration state) {
  switch (state) {
    case Registration::kOff:
      return "off";
    case Registration::kPending:
      return "pending";
    case Registration::kRegistered:
      return "registered";
    case Registration::kRefused:
      return "refused";
    case Registration::kFailing:
      return "failing";
  }
  return "off";
}

uint64_t SipTrunkHealth::responses(Method method, int hundreds) const {
  if (hundreds < 1 || hundreds > 6) return 0;
  return responses_[static_cast<size_t>(method)][static_cast<size_t>(hundreds)];
}

void SipTrunkHealth::CountResponse(Method method, uint16_t status) {
  int hundreds = status / 100;
  if (hundreds >= 1 && hundreds <= 6)
    ++responses_[static_cast<size_t>(method)][static_cast<size_t>(hundreds)];
}

void SipTrunkHealth::OnRegistrationStarted() {
  if (registration_ == Registration::kOff) registration_ = Registration::kPending;
}

void SipTrunkHealth::OnRegistrationResult(int err, uint16_t status, const std::string& reason,
                                          const std::string& server) {
  if (err != 0) {
    registration_ = Registration::kFailing;
    if (warn_) warn_("sip: registration at " + server + " failed: " + std::strerror(err));
    return;
  }
  CountResponse(Method::kRegister, status);
  if (status >= 200 && status < 300) {
    registration_ = Registration::kRegistered;
    return;
  }
  if (status < 300) return;
  registration_ = Registration::kRefused;
  if (!warn_) return;
  bool credentials = status == 401 || status == 407 || status == 403;
  warn_("sip: registration at " + server + " refused: " + std::to_string(status) + " " + reason +
        (credentials ? " (check user and credentials_file)" : ""));
}

void SipTrunkHealth::OnInviteResponse(uint16_t status, const std::string& reason) {
  CountResponse(Method::kInvite, status);
  if (status < 300) {
    failed_in_a_row_ = 0;
    return;
  }
  // libre answers one challenge itself: a final 401 or 407 means the PBX did not take our credentials.
  if (status == 401 || status == 407) {
    if (warn_)
      warn_("sip: the PBX refused our credentials on a call: " + std::to_string(status) + " " + reason +
            " (check user and credentials_file)");
    CallFailed(std::to_string(status) + " " + reason);
    return;
  }
  // Busy or a wrong number is the callee's matter: the trunk itself works.
  if (ClassifySipFailure(status) != SipFailure::kFailed) {
    failed_in_a_row_ = 0;
    return;
  }
  CallFailed(std::to_string(status) + " " + reason);
}

void SipTrunkHealth::OnInviteFailed(const std::string& why) {
  CallFailed(why);
}

void SipTrunkHealth::CallFailed(const std::string& what) {
  ++failed_in_a_row_;
  // Said once when the run reaches the mark, then each time it doubles: a dead trunk is not a flood.
  uint64_t times = failed_in_a_row_ / kFailingStreak;
  bool say = failed_in_a_row_ % kFailingStreak == 0 && times > 0 && (times & (times - 1)) == 0;
  if (say && warn_)
    warn_("sip: the last " + std::to_string(failed_in_a_row_) +
          " calls to the PBX all failed (last: " + what + ")");
}

}  // namespace exchange
