// Makes the exchange's SIP far ends. Owns libre's SIP stack for the exchange's whole life: the UDP and TCP
// transports on the configured local address, the session socket that turns away calls from the PBX (the
// exchange only places calls), and the trunk registration when configured. Create it inside libre's running
// main loop's thread, after libre_init().
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/farend/far_end.h"
#include "exchange/farend/sip/sip_settings.h"
#include "exchange/farend/sip/sip_stack.h"

namespace exchange {

class SipFarEndFactory : public FarEndFactory {
 public:
  using Log = std::function<void(const std::string&)>;

  // Sets up the stack; returns null and says why (the address in use, DNS not configured...) on failure.
  // `log` receives registration outcomes and other events worth a line (stderr when empty).
  static std::unique_ptr<SipFarEndFactory> Open(const SipSettings& settings, std::string* error,
                                                Log log = {});
  ~SipFarEndFactory() override;
  SipFarEndFactory(const SipFarEndFactory&) = delete;
  SipFarEndFactory& operator=(const SipFarEndFactory&) = delete;

  std::string CheckTarget(std::string_view target) const override;
  std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) override;

  // True once the trunk registration was accepted (always false without `register = yes`).
  bool registered() const;
  const SipTrunkHealth& health() const { return stack_.health; }
  // Warnings worth an operator's attention (registration refused, calls failing); none when unset.
  void SetWarn(SipTrunkHealth::Warn warn) { stack_.health.SetWarn(std::move(warn)); }

  // Takes `next` for calls placed from now on, re-registering when the trunk changed. Settings that need
  // new sockets (local, rtp_ports) keep their values: their names are returned. On a failed re-registration
  // "register" is among them and *error says why.
  std::vector<std::string> Reconfigure(const SipSettings& next, std::string* error);

 private:
  SipFarEndFactory() = default;
  void SetIdentity();  // From, Contact and route from the settings
  bool Register(std::string* error);
  static void OnIncoming(const struct sip_msg* msg, void* arg);
  static bool OnRequest(const struct sip_msg* msg, void* arg);
  static void OnRegisterResponse(int err, const struct sip_msg* msg, void* arg);
  void BackOff(const std::string& what);
  static void OnDropRegistration(void* arg);
  static void OnRetryRegistration(void* arg);

  SipStack stack_;
  struct dnsc* dns_ = nullptr;
  struct sipreg* registration_ = nullptr;
  struct sip_lsnr* options_ = nullptr;
  SipAuthAttempt registration_auth_;
  uint32_t failures_ = 0;  // registrations failed in a row
  struct tmr retry_timer_ = {};
  struct tmr drop_timer_ = {};
};

}  // namespace exchange
