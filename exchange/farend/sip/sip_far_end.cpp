#include "exchange/farend/sip/sip_far_end.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exchange/farend/sip/hunt_list.h"

namespace exchange {

// One INVITE and the session it may become. Kept alive after it is dropped until libre has returned from
// whatever callback dropped it; a dropped leg ignores everything libre still reports.
struct SipFarEnd::Leg {
  SipFarEnd* owner = nullptr;
  struct sipsess* session = nullptr;
  bool dropped = false;
  bool established = false;
  std::string unusable;  // why the answer could not be used
  struct sa remote;      // the RTP address of the answer
  struct sa signalling;  // where the answer came from
  SipAuthAttempt auth;
};

SipFarEnd::SipFarEnd(SipStack& stack, const FarEndRequest& request, std::vector<std::string> extensions,
                     FarEndListener& listener)
    : stack_(stack),
      trunk_{stack.settings.domain, stack.settings.display_name, stack.from_uri, stack.contact_user,
             stack.route},
      listener_(listener),
      call_id_(request.call_id),
      flow_(std::move(extensions), stack.settings.ring_limit_s * 1000, stack.settings.max_wait_s * 1000,
            *this, listener) {
  tmr_init(&response_timer_);
  tmr_init(&ring_timer_);
  tmr_init(&reaper_);
  stack_.dialogs.push_back(this);
}

SipFarEnd::~SipFarEnd() {
  auto& dialogs = stack_.dialogs;
  dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), static_cast<SipDialogOwner*>(this)),
                dialogs.end());
  tmr_cancel(&response_timer_);
  tmr_cancel(&ring_timer_);
  tmr_cancel(&reaper_);
  // Releasing a session makes libre send CANCEL (ringing) or BYE (answered) and finish the transaction on
  // its own; it calls none of our handlers again.
  for (auto& leg : legs_)
    mem_deref(leg->session);
  legs_.clear();
  rtp_.reset();
  mem_deref(sdp_);
}

void SipFarEnd::Start() {
  std::string error;
  rtp_ = RtpStream::Open(stack_.timers, stack_.rtp_bind, stack_.settings.rtp_port_first,
                         stack_.settings.rtp_port_last, &error);
  if (!rtp_) {
    listener_.OnFarEndEnded("RTP: " + error);
    return;
  }
  int err = sdp_session_alloc(&sdp_, &stack_.media_address);
  err |= sdp_media_add(&media_, sdp_, "audio", rtp_->local_port(), "RTP/AVP");
  if (err == 0) {
    err = sdp_format_add(nullptr, media_, false, "8", "PCMA", 8000, 1, nullptr, nullptr, nullptr, false,
                         nullptr);
  }
  if (err == 0) err = sdp_media_set_lattr(media_, true, "ptime", "20");
  if (err != 0) {
    listener_.OnFarEndEnded(std::string("SDP: ") + std::strerror(err));
    return;
  }
  flow_.Start();
}

void SipFarEnd::OnClientVoice(int64_t sequence, const uint8_t* block) {
  if (rtp_) rtp_->OnClientVoice(sequence, block);
}

bool SipFarEnd::ReadBlock(uint8_t* block) {
  return rtp_ && rtp_->ReadBlock(block);
}

SipMediaCounters SipFarEnd::media_counters() const {
  return rtp_ ? rtp_->counters() : SipMediaCounters();
}

FarEnd::Media SipFarEnd::MediaPackets() const {
  const SipMediaCounters c = media_counters();
  return Media{c.packets_in, c.packets_out};
}

std::string SipFarEnd::Counters() const {
  const SipMediaCounters c = media_counters();
  const std::string& extension = flow_.current_extension();
  return "extension " + (extension.empty() ? std::string("-") : extension) + ", rtp in " +
         std::to_string(c.packets_in) + " out " + std::to_string(c.packets_out) + " ignored " +
         std::to_string(c.ignored_in) + " lost " + std::to_string(c.lost_in) + " late " +
         std::to_string(c.late_in) + ", client blocks lost " + std::to_string(c.client_lost) + " late " +
         std::to_string(c.client_late) + " concealed " + std::to_string(c.concealed_out) + ", hold " +
         std::to_string(c.hold_ms) + " ms";
}

bool SipFarEnd::Invite(const std::string& extension, std::string* why) {
  struct mbuf* offer = nullptr;
  int err = sdp_encode(&offer, sdp_, true);
  if (err != 0) {
    *why = std::string("SDP: ") + std::strerror(err);
    return false;
  }
  std::string to = "sip:" + EscapeExtension(extension) + "@" + trunk_.domain;
  const char* routes[] = {trunk_.route.c_str()};
  const std::string& display = trunk_.display_name;
  auto leg = std::make_unique<Leg>();
  leg->owner = this;
  leg->auth.stack = &stack_;
  err =
      sipsess_connect(&leg->session, stack_.sessions, to.c_str(), display.empty() ? nullptr : display.c_str(),
                      trunk_.from_uri.c_str(), trunk_.contact_user.c_str(), routes, 1, "application/sdp",
                      offer, &SipStack::Authenticate, &leg->auth, false, &SipFarEnd::OnOffer,
                      &SipFarEnd::OnAnswer, &SipFarEnd::OnProgress, &SipFarEnd::OnEstablished, nullptr,
                      nullptr, &SipFarEnd::OnClosed, leg.get(), nullptr);
  mem_deref(offer);
  if (err != 0) {
    *why = std::strerror(err);
    return false;
  }
  if (stack_.log) stack_.log("call " + call_id_ + ": INVITE " + to);
  current_ = leg.get();
  legs_.push_back(std::move(leg));
  return true;
}

void SipFarEnd::Drop() {
  if (current_ == nullptr) return;
  current_->dropped = true;
  current_ = nullptr;
  // Audio stops with the session; the counters stay for the summary line.
  if (rtp_) rtp_->Stop();
  tmr_start(&reaper_, 0, &SipFarEnd::OnReap, this);
}

void SipFarEnd::ArmResponseTimer(uint32_t ms) {
  tmr_start(&response_timer_, ms, &SipFarEnd::OnResponseTimer, this);
}

void SipFarEnd::ArmRingTimer(uint32_t ms) {
  tmr_start(&ring_timer_, ms, &SipFarEnd::OnRingTimer, this);
}

void SipFarEnd::StopTimers() {
  tmr_cancel(&response_timer_);
  tmr_cancel(&ring_timer_);
}

int SipFarEnd::OnAnswer(const struct sip_msg* msg, void* arg) {
  auto* leg = static_cast<Leg*>(arg);
  if (leg->dropped) return 0;
  SipFarEnd* self = leg->owner;
  if (sdp_decode(self->sdp_, msg->mb, false) != 0) {
    leg->unusable = "no SDP answer";
    return EPROTO;
  }
  if (sdp_media_rformat(self->media_, "PCMA") == nullptr || sdp_media_rport(self->media_) == 0) {
    leg->unusable = "PCMA refused";
    return EPROTO;
  }
  leg->remote = *sdp_media_raddr(self->media_);
  leg->signalling = msg->src;
  // An answer within the session (to the offer we made for a re-INVITE without one) may move or hold.
  if (leg->established) self->FollowRemoteMedia();
  return 0;
}

int SipFarEnd::OnOffer(struct mbuf** description, const struct sip_msg* msg, void* arg) {
  // A re-INVITE from the PBX: hold and resume from the phone, a session-timer refresh, media moved to
  // another address. Refusing it (libre's 488 without this) ends calls on many PBXs.
  auto* leg = static_cast<Leg*>(arg);
  if (leg->dropped || !leg->established) return EPROTO;
  SipFarEnd* self = leg->owner;
  bool offered = mbuf_get_left(msg->mb) > 0;
  if (offered) {
    if (sdp_decode(self->sdp_, msg->mb, true) != 0) return EPROTO;
    if (sdp_media_rformat(self->media_, "PCMA") == nullptr) return EPROTO;
    self->FollowRemoteMedia();
  }
  // Without an offer we make one; its answer comes with the ACK, through OnAnswer.
  return sdp_encode(description, self->sdp_, !offered);
}

bool SipFarEnd::OnUpdate(const struct sip_msg* msg) {
  // UPDATE (RFC 3311): a PBX's hold, resume or session refresh without a new INVITE; libre 1.1's sessions
  // leave it unanswered (501).
  if (current_ == nullptr || !current_->established) return false;
  if (!sip_dialog_cmp(sipsess_dialog(current_->session), msg)) return false;
  struct sip_contact contact;
  sip_contact_set(&contact, stack_.contact_user.c_str(), &msg->dst, msg->tp);
  if (mbuf_get_left(msg->mb) == 0) {
    sip_treplyf(nullptr, nullptr, stack_.sip, msg, true, 200, "OK", "%HContent-Length: 0\r\n\r\n",
                sip_contact_print, &contact);
    return true;
  }
  struct mbuf* answer = nullptr;
  if (sdp_decode(sdp_, msg->mb, true) != 0 || sdp_media_rformat(media_, "PCMA") == nullptr ||
      sdp_encode(&answer, sdp_, false) != 0) {
    sip_treply(nullptr, stack_.sip, msg, 488, "Not Acceptable Here");
    mem_deref(answer);
    return true;
  }
  FollowRemoteMedia();
  sip_treplyf(nullptr, nullptr, stack_.sip, msg, true, 200, "OK",
              "%HContent-Type: application/sdp\r\nContent-Length: %zu\r\n\r\n%b", sip_contact_print, &contact,
              mbuf_get_left(answer), mbuf_buf(answer), mbuf_get_left(answer));
  mem_deref(answer);
  return true;
}

void SipFarEnd::FollowRemoteMedia() {
  if (!rtp_) return;
  const struct sa* address = sdp_media_raddr(media_);
  bool held_by_address = !sa_isset(address, SA_ADDR) || sa_is_any(address) || sdp_media_rport(media_) == 0;
  // Our side of the direction: sendrecv unless the phone put us on hold (sendonly or inactive on its side).
  enum sdp_dir dir = sdp_media_dir(media_);
  rtp_->SetSending(!held_by_address && (dir & SDP_SENDONLY) != 0);
  if (!held_by_address) rtp_->MoveTo(*address);
  if (stack_.log) {
    stack_.log("call " + call_id_ + ": media " + (rtp_->sending() ? "resumed" : "on hold") + " (" +
               sdp_dir_name(dir) + ")");
  }
}

void SipFarEnd::OnProgress(const struct sip_msg* msg, void* arg) {
  auto* leg = static_cast<Leg*>(arg);
  if (leg->dropped) return;
  leg->owner->flow_.OnProvisional(msg->scode);
}

void SipFarEnd::OnEstablished(const struct sip_msg*, void* arg) {
  auto* leg = static_cast<Leg*>(arg);
  if (leg->dropped) return;
  SipFarEnd* self = leg->owner;
  leg->established = true;
  self->answered_ = true;
  self->stack_.health.OnInviteResponse(200, "OK");
  self->rtp_->Start(leg->remote, &leg->signalling);
  self->flow_.OnAnswered();
}

void SipFarEnd::OnClosed(int err, const struct sip_msg* msg, void* arg) {
  auto* leg = static_cast<Leg*>(arg);
  if (leg->dropped) return;
  SipCallFlow& flow = leg->owner->flow_;
  if (!leg->unusable.empty()) {
    flow.OnUnusableAnswer(leg->unusable);
  } else if (leg->established && (err == ECONNRESET || err == 0)) {
    // libre reports the far side's BYE as a reset connection.
    flow.OnHangUp();
  } else if (err != 0) {
    leg->owner->stack_.health.OnInviteFailed(std::strerror(err));
    flow.OnTransportError(std::strerror(err));
  } else if (msg != nullptr) {
    std::string reason(msg->reason.p, msg->reason.l);
    leg->owner->stack_.health.OnInviteResponse(msg->scode, reason);
    flow.OnFinalFailure(msg->scode, reason);
  } else {
    flow.OnTransportError("session closed");
  }
}

void SipFarEnd::OnResponseTimer(void* arg) {
  static_cast<SipFarEnd*>(arg)->stack_.health.OnInviteFailed("no response in time");
  static_cast<SipFarEnd*>(arg)->flow_.OnResponseTimeout();
}

void SipFarEnd::OnRingTimer(void* arg) {
  static_cast<SipFarEnd*>(arg)->flow_.OnRingTimeout();
}

void SipFarEnd::OnReap(void* arg) {
  static_cast<SipFarEnd*>(arg)->ReapDroppedLegs();
}

void SipFarEnd::ReapDroppedLegs() {
  for (auto it = legs_.begin(); it != legs_.end();) {
    if ((*it)->dropped) {
      mem_deref((*it)->session);
      it = legs_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace exchange
