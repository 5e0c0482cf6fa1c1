// One client connection on a phone channel, from the accept to the close: the tags it is sent, the messages
// it sends, the dial and its far end, and the voice both ways. Driven by events; reaches the world only
// through its CallLink and TimerSource, so tests drive it with fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/call/call_events.h"
#include "exchange/call/call_link.h"
#include "exchange/call/call_settings.h"
#include "exchange/call/dial_plan.h"
#include "exchange/call/direct_number_guard.h"
#include "exchange/call/rate_buckets.h"
#include "exchange/call/sequence_tracker.h"
#include "exchange/call/timers.h"
#include "exchange/farend/far_end.h"
#include "exchange/farend/far_end_registry.h"
#include "exchange/protocol/wire_formats.h"

namespace exchange {

// How a new connection is answered.
enum class Answer {
  kAnswer,  // "{ChanelWaitBohao}": dial
  kBusy,    // "{ChanelBusyNow}": the client tries the next channel
  kSilent,  // nothing at all (a stuck server, for tests)
};

struct CallContext {
  const char* busy_reason = nullptr;  // with Answer::kBusy: why (ExchangeEvent::reason)
  int server = 0;                     // index of the phone-server address
  int channel = 0;                    // 0..3
  int call = 0;                       // call number (address queries so far)
  int connection = 0;                 // connection within that call
  Endpoint peer;                      // the client's signalling endpoint
  uint16_t tcp_port = 0;
  uint16_t udp_port = 0;
  CallVia via = CallVia::kClient;
};

// Everything a call needs from the exchange around it. The timers, far ends and observer outlive every
// call; the dial plan and settings are shared so that a call keeps those it started with when the exchange
// is reconfigured.
struct CallEnvironment {
  TimerSource* timers = nullptr;
  std::shared_ptr<const DialPlan> dial_plan;
  FarEndRegistry* far_ends = nullptr;
  ExchangeObserver* observer = nullptr;
  std::shared_ptr<const CallSettings> settings;
  DirectNumberGuard* direct_guard = nullptr;  // shared by every call; none: wrong passwords are not limited
  RateBuckets* dial_rate = nullptr;           // dials that reach a far end, per source; none: not limited
};

// A shared pointer that does not own `object` (for tests and tools whose settings outlive their calls).
template <typename T>
std::shared_ptr<const T> Unowned(const T& object) {
  return std::shared_ptr<const T>(std::shared_ptr<const T>(), &object);
}

class PhoneCall final : private FarEndListener {
 public:
  PhoneCall(const CallEnvironment& env, const CallContext& context, CallLink& link, Answer answer);
  ~PhoneCall();
  PhoneCall(const PhoneCall&) = delete;
  PhoneCall& operator=(const PhoneCall&) = delete;

  // Bytes the client sent on the signalling connection, in any segmentation.
  void OnClientBytes(std::string_view bytes);
  // The client closed (or reset) the connection.
  void OnClientClosed(std::string_view reason);
  // A datagram arrived on the channel's voice port (or the shared override port) from `from`.
  void OnVoiceDatagram(const Endpoint& from, std::string_view datagram);
  // Ends the call from the exchange's side (shutdown): hangs up the far end and closes the connection.
  void Close(std::string_view why);

  // The connection is closed and the summary given: the owner may destroy the call.
  bool finished() const { return finished_; }
  // True while this call takes voice on its channel (answered and not finished).
  bool holds_channel() const { return answer_ == Answer::kAnswer && !finished_; }
  // Whether `from` is this call's latched voice source, or could become it.
  bool AcceptsVoiceFrom(const Endpoint& from) const;
  bool latched() const { return latched_; }
  // Adds what this call has carried so far to `figures`.
  void AddFigures(CallFigures* figures) const;
  const Endpoint& voice_source() const { return voice_source_; }
  // When the far end was started (0: not dialled yet) and the local address the client announced.
  uint64_t dialled_ms() const { return dialled_ms_; }
  const std::string& local_address() const { return local_address_; }
  const CallContext& context() const { return context_; }

 private:
  enum class Stage { kGreeting, kWaitingDial, kDialled, kRefused, kClosing, kDone };

  // FarEndListener
  void OnFarEndAnswered() override;
  void OnFarEndTryingNext() override;
  void OnFarEndRefused(std::string_view why) override;
  void OnFarEndEnded(std::string_view why) override;

  void HandleMessage(const ClientMessage& message);
  void OnDial(const ClientMessage& message);
  void Refuse(std::string_view why);
  void StartFarEnd(const DialRoute& route);
  void ReleaseFarEndSoon();
  void KeepFarEndFigures();  // the far end's figures into the summary, before it goes

  void QueueTag(std::string bytes);
  void SendNextTag();
  void ScheduleNextTag();
  void CloseAfterTags(std::string why);

  void OnPacerTick();
  void SendToClient(const uint8_t* block);
  Endpoint VoiceDestination() const;

  void Finish(std::string ended, bool client_closed);
  ExchangeEvent MakeEvent(ExchangeEvent::Kind kind) const;
  void Emit(const ExchangeEvent& event) const;

  CallEnvironment env_;
  const CallSettings& settings_;
  CallContext context_;
  CallLink& link_;
  Answer answer_;
  Stage stage_ = Stage::kGreeting;
  bool finished_ = false;
  uint64_t started_ms_ = 0;
  uint64_t dialled_ms_ = 0;

  StreamParser parser_;
  size_t garbage_bytes_ = 0;
  size_t messages_ = 0;  // recognised messages so far
  std::string local_address_;
  std::string dial_;

  std::vector<std::string> tag_queue_;
  size_t tag_next_ = 0;
  uint64_t next_tag_ms_ = 0;
  std::string close_reason_;  // set once the connection is to close after the queued tags

  std::unique_ptr<FarEnd> far_end_;
  std::unique_ptr<FarEnd> far_end_releasing_;
  std::string far_end_name_;
  bool far_end_answered_ = false;

  bool latched_ = false;
  Endpoint voice_source_;
  uint64_t last_voice_ms_ = 0;  // the latched source's last accepted datagram
  bool duplicate_send_ = false;
  int64_t send_sequence_ = 0;
  uint64_t next_pace_ms_ = 0;
  SequenceTracker sequences_;
  CallSummary summary_;

  std::unique_ptr<Timer> tag_timer_;
  std::unique_ptr<Timer> deadline_timer_;
  std::unique_ptr<Timer> pacer_timer_;
  std::unique_ptr<Timer> release_timer_;
};

}  // namespace exchange
