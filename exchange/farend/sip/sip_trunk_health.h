// How the venue's SIP trunk is doing, from what the PBX answers: the registration's state, the final
// responses by class, and warnings an operator must see (a refused or failing registration, rejected
// credentials, a run of calls that all fail). Pure bookkeeping: the SIP side reports, the daemon reads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace exchange {

class SipTrunkHealth {
 public:
  using Warn = std::function<void(const std::string& line)>;
  enum class Registration { kOff, kPending, kRegistered, kRefused, kFailing };
  enum class Method { kInvite, kRegister };

  // Failed calls in a row before the trunk is said to fail them all.
  static constexpr uint64_t kFailingStreak = 5;

  void SetWarn(Warn warn) { warn_ = std::move(warn); }

  void OnRegistrationStarted();
  void OnRegistrationOff() { registration_ = Registration::kOff; }
  // `err` for a transport failure (no response), else the final `status` and its reason phrase.
  void OnRegistrationResult(int err, uint16_t status, const std::string& reason, const std::string& server);
  // A final response to an INVITE; `reason` is its phrase.
  void OnInviteResponse(uint16_t status, const std::string& reason);
  // An INVITE that got no final response (transport error, timeout).
  void OnInviteFailed(const std::string& why);

  Registration registration() const { return registration_; }
  static const char* RegistrationName(Registration state);
  // Final responses of `method` in class `hundreds` (1..6: 1xx..6xx).
  uint64_t responses(Method method, int hundreds) const;

 private:
  void CountResponse(Method method, uint16_t status);
  void CallFailed(const std::string& what);

  Warn warn_;
  Registration registration_ = Registration::kOff;
  std::array<std::array<uint64_t, 7>, 2> responses_{};
  uint64_t failed_in_a_row_ = 0;
};

}  // namespace exchange
