#include "exchange/farend/sip/sip_far_end_factory.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "exchange/farend/sip/hunt_list.h"
#include "exchange/farend/sip/sip_far_end.h"

namespace exchange {
namespace {

constexpr uint32_t kRegistrationSeconds = 3600;
constexpr uint32_t kFirstRetrySeconds = 60;
constexpr uint32_t kMaxRetrySeconds = 3600;
constexpr uint32_t kMaxNameservers = 8;

std::string AddressText(const struct sa& address) {
  char text[64] = "";
  sa_ntop(&address, text, sizeof text);
  return address.u.sa.sa_family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text);
}

}  // namespace

int SipStack::Authenticate(char** user, char** password, const char*, void* arg) {
  auto* attempt = static_cast<SipAuthAttempt*>(arg);
  SipStack* stack = attempt->stack;
  // Without a password there is nothing to answer a challenge with: the request fails with the challenge's
  // status, which the call's log line shows.
  if (stack->settings.password.empty() || attempt->answered) return EAUTH;
  attempt->answered = true;
  int err = str_dup(user, stack->settings.user.c_str());
  err |= str_dup(password, stack->settings.password.c_str());
  return err;
}

std::unique_ptr<SipFarEndFactory> SipFarEndFactory::Open(const SipSettings& settings, std::string* error,
                                                         Log log) {
  std::unique_ptr<SipFarEndFactory> factory(new SipFarEndFactory());
  SipStack& stack = factory->stack_;
  stack.settings = settings;
  stack.log = log ? std::move(log) : [](const std::string& line) { std::cerr << "sip: " << line << "\n"; };

  struct sa local;
  if (sa_set_str(&local, settings.local_address.c_str(), settings.local_port) != 0) {
    *error = "local address " + settings.local_address + " is not an IP address";
    return nullptr;
  }
  stack.rtp_bind = local;
  sa_set_port(&stack.rtp_bind, 0);

  if (!settings.public_address.empty()) {
    sa_set_str(&stack.media_address, settings.public_address.c_str(), 0);
  } else if (!sa_is_any(&local)) {
    stack.media_address = stack.rtp_bind;
  } else if (net_default_source_addr_get(local.u.sa.sa_family, &stack.media_address) != 0) {
    *error = "no default source address to put in SDP: set public_address";
    return nullptr;
  }

  // A resolver is only needed when the server is named rather than numbered.
  struct sa numeric;
  if (sa_set_str(&numeric, settings.server_host.c_str(), 0) != 0) {
    char domain[256] = "";
    struct sa nameservers[kMaxNameservers];
    uint32_t count = kMaxNameservers;
    int err = dns_srv_get(domain, sizeof domain, nameservers, &count);
    if (err == 0) err = dnsc_alloc(&factory->dns_, nullptr, nameservers, count);
    if (err != 0) {
      *error = "no DNS resolver for " + settings.server_host + ": " + std::strerror(err);
      return nullptr;
    }
  }

  // Only the transport the PBX is reached by: a TCP listener nobody needs is a door for descriptor floods.
  const bool tcp = settings.transport == SipTransport::kTcp;
  int err = sip_alloc(&stack.sip, factory->dns_, 32, 32, 32, "Pelvarine exchange", nullptr, nullptr);
  if (err == 0) err = sip_transp_add(stack.sip, tcp ? SIP_TRANSP_TCP : SIP_TRANSP_UDP, &local);
  if (err != 0) {
    *error = std::string("SIP over ") + (tcp ? "TCP" : "UDP") + " on " + AddressText(local) + ":" +
             std::to_string(settings.local_port) + ": " + std::strerror(err);
    return nullptr;
  }
  err = sipsess_listen(&stack.sessions, stack.sip, 32, &SipFarEndFactory::OnIncoming, factory.get());
  if (err != 0) {
    *error = std::string("SIP sessions: ") + std::strerror(err);
    return nullptr;
  }

  err = sip_listen(&factory->options_, stack.sip, true, &SipFarEndFactory::OnRequest, factory.get());
  if (err != 0) {
    *error = std::string("SIP requests: ") + std::strerror(err);
    return nullptr;
  }

  factory->SetIdentity();
  if (!factory->Register(error)) return nullptr;
  return factory;
}

void SipFarEndFactory::SetIdentity() {
  SipStack& stack = stack_;
  const SipSettings& settings = stack.settings;
  stack.from_uri = "sip:" + settings.user + "@" + settings.domain;
  stack.route = settings.server;
  stack.contact_user = settings.user;
  if (!settings.public_address.empty()) {
    sa_set_str(&stack.media_address, settings.public_address.c_str(), 0);
    stack.contact_user = "sip:" + settings.user + "@" + AddressText(stack.media_address) + ":" +
                         std::to_string(settings.local_port) +
                         (settings.transport == SipTransport::kTcp ? ";transport=tcp" : "");
  }
}

bool SipFarEndFactory::Register(std::string* error) {
  registration_ = static_cast<struct sipreg*>(mem_deref(registration_));
  tmr_cancel(&retry_timer_);
  registration_auth_ = SipAuthAttempt{&stack_, false};
  const SipSettings& settings = stack_.settings;
  if (!settings.register_trunk) {
    stack_.health.OnRegistrationOff();  // a reload may have turned it off
    return true;
  }
  const char* routes[] = {stack_.route.c_str()};
  std::string registrar = "sip:" + settings.domain;
  int err = sipreg_register(&registration_, stack_.sip, registrar.c_str(), stack_.from_uri.c_str(),
                            settings.display_name.empty() ? nullptr : settings.display_name.c_str(),
                            stack_.from_uri.c_str(), kRegistrationSeconds, stack_.contact_user.c_str(),
                            routes, 1, 0, &SipStack::Authenticate, &registration_auth_, false,
                            &SipFarEndFactory::OnRegisterResponse, this, nullptr, nullptr);
  if (err != 0) {
    *error = std::string("SIP registration: ") + std::strerror(err);
    return false;
  }
  stack_.health.OnRegistrationStarted();
  return true;
}

std::vector<std::string> SipFarEndFactory::Reconfigure(const SipSettings& next, std::string* error) {
  SipSettings& now = stack_.settings;
  std::vector<std::string> kept;
  if (next.local_address != now.local_address || next.local_port != now.local_port) kept.push_back("local");
  if (next.rtp_port_first != now.rtp_port_first || next.rtp_port_last != now.rtp_port_last)
    kept.push_back("rtp_ports");
  bool trunk_changed = next.server != now.server || next.domain != now.domain || next.user != now.user ||
                       next.password != now.password || next.display_name != now.display_name ||
                       next.register_trunk != now.register_trunk ||
                       (!next.public_address.empty() && next.public_address != now.public_address);
  SipSettings merged = next;
  if (next.public_address.empty() && !now.public_address.empty()) {  // the SDP address was derived once
    kept.push_back("public_address");
    merged.public_address = now.public_address;
  }
  merged.local_address = now.local_address;
  merged.local_port = now.local_port;
  merged.rtp_port_first = now.rtp_port_first;
  merged.rtp_port_last = now.rtp_port_last;
  now = merged;
  if (trunk_changed) {
    SetIdentity();
    failures_ = 0;  // new credentials get their one try at once
    if (!Register(error)) kept.push_back("register");
  }
  return kept;
}

SipFarEndFactory::~SipFarEndFactory() {
  tmr_cancel(&retry_timer_);
  tmr_cancel(&drop_timer_);
  mem_deref(registration_);
  mem_deref(options_);
  if (stack_.sessions != nullptr) sipsess_close_all(stack_.sessions);
  mem_deref(stack_.sessions);
  if (stack_.sip != nullptr) sip_close(stack_.sip, true);
  mem_deref(stack_.sip);
  mem_deref(dns_);
}

std::string SipFarEndFactory::CheckTarget(std::string_view target) const {
  std::vector<std::string> extensions;
  std::string error;
  if (!ParseHuntList(target, &extensions, &error)) return error;
  return {};
}

std::unique_ptr<FarEnd> SipFarEndFactory::Create(const FarEndRequest& request, FarEndListener& listener) {
  std::vector<std::string> extensions;
  std::string error;
  // The dial plan was checked at load; an empty list here makes the far end end at once, with the reason.
  ParseHuntList(request.target, &extensions, &error);
  return std::make_unique<SipFarEnd>(stack_, request, std::move(extensions), listener);
}

bool SipFarEndFactory::registered() const {
  return registration_ != nullptr && sipreg_registered(registration_);
}

void SipFarEndFactory::OnIncoming(const struct sip_msg* msg, void* arg) {
  auto* self = static_cast<SipFarEndFactory*>(arg);
  // Calls toward visitors are not a thing: the exchange only dials out.
  sip_treply(nullptr, self->stack_.sip, msg, 603, "Decline");
}

bool SipFarEndFactory::OnRequest(const struct sip_msg* msg, void* arg) {
  auto* self = static_cast<SipFarEndFactory*>(arg);
  if (pl_strcmp(&msg->met, "UPDATE") == 0) {
    for (SipDialogOwner* call : self->stack_.dialogs) {
      if (call->OnUpdate(msg)) return true;
    }
    sip_treply(nullptr, self->stack_.sip, msg, 481, "Call/Transaction Does Not Exist");
    return true;
  }
  // PBXs and proxies probe their trunks with OPTIONS and take a 501 for a dead peer.
  if (pl_strcmp(&msg->met, "OPTIONS") != 0) return false;
  sip_treplyf(nullptr, nullptr, self->stack_.sip, msg, false, 200, "OK",
              "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, UPDATE\r\nAccept: "
              "application/sdp\r\nContent-Length: 0\r\n\r\n");
  return true;
}

void SipFarEndFactory::OnRegisterResponse(int err, const struct sip_msg* msg, void* arg) {
  auto* self = static_cast<SipFarEndFactory*>(arg);
  SipTrunkHealth::Registration before = self->stack_.health.registration();
  if (err != 0) {
    self->stack_.health.OnRegistrationResult(err, 0, std::string(), self->stack_.settings.server);
  } else if (msg != nullptr && msg->scode >= 200) {
    self->stack_.health.OnRegistrationResult(0, msg->scode, std::string(msg->reason.p, msg->reason.l),
                                             self->stack_.settings.server);
    // Refusals are the health's warnings; a success is said when it changes something.
    if (msg->scode < 300 && before != SipTrunkHealth::Registration::kRegistered)
      self->stack_.log("registered at " + self->stack_.settings.server);
  }
  if (err == 0 && (msg == nullptr || msg->scode < 200)) return;
  if (err == 0 && msg->scode < 300) {
    self->failures_ = 0;
    self->registration_auth_.answered = false;  // a refresh may be challenged afresh
    return;
  }
  self->BackOff(err != 0 ? std::strerror(err)
                         : std::to_string(msg->scode) + " " + std::string(msg->reason.p, msg->reason.l));
}

void SipFarEndFactory::BackOff(const std::string& what) {
  // Not again with the same credentials at once: 60 s, doubling with each failure, at most an hour. libre is
  // inside this registration's handler, so it goes from the loop.
  uint32_t wait_s =
      std::min<uint32_t>(kFirstRetrySeconds << std::min<uint32_t>(failures_, 6), kMaxRetrySeconds);
  ++failures_;
  stack_.log("registration at " + stack_.settings.server + " (registrar sip:" + stack_.settings.domain +
             ") failed: " + what + "; next registration in " + std::to_string(wait_s) + " s");
  tmr_start(&drop_timer_, 0, &SipFarEndFactory::OnDropRegistration, this);
  tmr_start(&retry_timer_, wait_s * 1000, &SipFarEndFactory::OnRetryRegistration, this);
}

void SipFarEndFactory::OnDropRegistration(void* arg) {
  auto* self = static_cast<SipFarEndFactory*>(arg);
  self->registration_ = static_cast<struct sipreg*>(mem_deref(self->registration_));
}

void SipFarEndFactory::OnRetryRegistration(void* arg) {
  auto* self = static_cast<SipFarEndFactory*>(arg);
  uint32_t failures = self->failures_;
  std::string error;
  if (!self->Register(&error))
    self->stack_.log("registration at " + self->stack_.settings.server + ": " + error);
  self->failures_ = failures;  // Register() starts afresh only for new settings
}

}  // namespace exchange
