// A visitor's call placed through the venue's SIP PBX: INVITEs to the extensions of a hunt list in turn,
// PCMA only, and once answered the call's A-law passes between the client and RTP unchanged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "exchange/farend/far_end.h"
#include "exchange/farend/sip/rtp_stream.h"
#include "exchange/farend/sip/sip_call_flow.h"
#include "exchange/farend/sip/sip_stack.h"

namespace exchange {

class SipFarEnd : public FarEnd, private SipLegPort, private SipDialogOwner {
 public:
  SipFarEnd(SipStack& stack, const FarEndRequest& request, std::vector<std::string> extensions,
            FarEndListener& listener);
  ~SipFarEnd() override;
  SipFarEnd(const SipFarEnd&) = delete;
  SipFarEnd& operator=(const SipFarEnd&) = delete;

  void Start() override;
  void OnClientVoice(int64_t sequence, const uint8_t* block) override;
  bool ReadBlock(uint8_t* block) override;

  // Media figures (zero before the answer).
  SipMediaCounters media_counters() const;
  // The extension last dialled and the media figures, for the call's summary line.
  std::string Counters() const override;
  Media MediaPackets() const override;
  // The extension being dialled or talked to.
  const std::string& extension() const { return flow_.current_extension(); }

 private:
  struct Leg;

  // SipLegPort
  bool Invite(const std::string& extension, std::string* why) override;
  void Drop() override;
  void ArmResponseTimer(uint32_t ms) override;
  void ArmRingTimer(uint32_t ms) override;
  void StopTimers() override;

  // SipDialogOwner
  bool OnUpdate(const struct sip_msg* msg) override;

  static int OnOffer(struct mbuf** description, const struct sip_msg* msg, void* arg);
  static int OnAnswer(const struct sip_msg* msg, void* arg);
  void FollowRemoteMedia();
  static void OnProgress(const struct sip_msg* msg, void* arg);
  static void OnEstablished(const struct sip_msg* msg, void* arg);
  static void OnClosed(int err, const struct sip_msg* msg, void* arg);
  static void OnResponseTimer(void* arg);
  static void OnRingTimer(void* arg);
  static void OnReap(void* arg);
  void ReapDroppedLegs();

  // The trunk as it was when the call began: a reload changes it for new calls only.
  struct Trunk {
    std::string domain;
    std::string display_name;
    std::string from_uri;
    std::string contact_user;
    std::string route;
  };

  SipStack& stack_;
  const Trunk trunk_;
  FarEndListener& listener_;
  std::string call_id_;
  SipCallFlow flow_;
  std::unique_ptr<RtpStream> rtp_;
  struct sdp_session* sdp_ = nullptr;
  struct sdp_media* media_ = nullptr;
  std::vector<std::unique_ptr<Leg>> legs_;  // the current leg last; earlier ones wait to be released
  Leg* current_ = nullptr;
  bool answered_ = false;
  struct tmr response_timer_;
  struct tmr ring_timer_;
  struct tmr reaper_;
};

}  // namespace exchange
