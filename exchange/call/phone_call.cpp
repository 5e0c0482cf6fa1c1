#include "exchange/call/phone_call.h"

#include <algorithm>

#include "exchange/protocol/display_text.h"

namespace exchange {

namespace {

using Kind = ExchangeEvent::Kind;

constexpr uint64_t kPaceResyncBlocks = 5;    // a pacer this far behind starts afresh instead of bursting
constexpr uint64_t kMaxDroppedBlocks = 256;  // more than any far end holds (the echo: 4 s)
// Tags go out 50 ms apart: a client repeating its dial faster than that would make the call hold an answer
// for each one. Once this many wait, repeated dials go unanswered.
constexpr size_t kMaxQueuedTags = 16;

std::string Shown(std::string_view bytes) {
  constexpr size_t kMax = 256;
  if (bytes.size() <= kMax) return GbkToDisplay(bytes);
  return "(" + std::to_string(bytes.size()) + " bytes) " + GbkToDisplay(bytes.substr(0, kMax)) + "...";
}

}  // namespace

PhoneCall::PhoneCall(const CallEnvironment& env, const CallContext& context, CallLink& link, Answer answer)
    : env_(env),
      settings_(*env.settings),
      context_(context),
      link_(link),
      answer_(answer),
      tag_timer_(env.timers->NewTimer()),
      deadline_timer_(env.timers->NewTimer()),
      pacer_timer_(env.timers->NewTimer()),
      release_timer_(env.timers->NewTimer()) {
  started_ms_ = env_.timers->NowMs();
  send_sequence_ = settings_.first_voice_sequence - 1;
  next_tag_ms_ = started_ms_ + settings_.first_tag_delay_ms;
  summary_.client = context_.peer.ToString();
  summary_.via = context_.via;

  ExchangeEvent e = MakeEvent(Kind::ChannelAccepted);
  e.port = context_.tcp_port;
  if (answer_ == Answer::kBusy) e.reason = context_.busy_reason;
  e.text = "port " + std::to_string(context_.tcp_port) + " from " + e.peer + ", call " +
           std::to_string(context_.call) + " connection " + std::to_string(context_.connection) +
           (answer_ == Answer::kBusy     ? ": busy"
            : answer_ == Answer::kSilent ? ": silent"
                                         : ": answering");
  Emit(e);

  switch (answer_) {
    case Answer::kSilent:
      if (settings_.dial_timeout_ms > 0)
        deadline_timer_->Start(settings_.dial_timeout_ms,
                               [this] { CloseAfterTags("nothing dialled in time"); });
      return;
    case Answer::kBusy:
      QueueTag(std::string(kTagBusy));
      deadline_timer_->Start(settings_.busy_linger_ms,
                             [this] { CloseAfterTags("busy channel not released"); });
      return;
    case Answer::kAnswer:
      break;
  }
  for (const std::string& tag : settings_.tags_first)
    QueueTag(tag);
  if (settings_.hello) QueueTag(std::string(kTagHello));
  if (settings_.announce_udp_port > 0) QueueTag(BuildRemoteUdpPortTag(settings_.announce_udp_port));
  QueueTag(std::string(kTagWaitDial));
  for (const std::string& tag : settings_.tags_after_wait)
    QueueTag(tag);
  stage_ = Stage::kWaitingDial;
  if (settings_.dial_timeout_ms > 0)
    deadline_timer_->Start(settings_.dial_timeout_ms, [this] { CloseAfterTags("nothing dialled in time"); });
}

PhoneCall::~PhoneCall() {
  // Timers first: none may fire into a half-destroyed call; then the far end hangs up.
  tag_timer_.reset();
  deadline_timer_.reset();
  pacer_timer_.reset();
  release_timer_.reset();
  far_end_.reset();
  far_end_releasing_.reset();
}

// ---- Signalling from the client ----

void PhoneCall::OnClientBytes(std::string_view bytes) {
  // A closing line reads nothing more: a client streaming messages past its budget would keep us parsing.
  if (finished_ || stage_ == Stage::kClosing) return;
  for (const ClientMessage& message : parser_.Feed(bytes)) {
    HandleMessage(message);
    if (finished_ || stage_ == Stage::kClosing) return;
  }
}

void PhoneCall::OnClientClosed(std::string_view reason) {
  if (finished_) return;
  for (const ClientMessage& message : parser_.Finish())
    HandleMessage(message);
  ExchangeEvent e = MakeEvent(Kind::ClientClosed);
  e.port = context_.tcp_port;
  e.text = std::string(reason) + " (" + e.peer + ", connection " + std::to_string(context_.connection) + ")";
  Emit(e);
  Finish(answer_ == Answer::kBusy ? "busy" : stage_ == Stage::kRefused ? "refused" : "client hung up", true);
}

void PhoneCall::HandleMessage(const ClientMessage& message) {
  ExchangeEvent e;
  switch (message.type) {
    case ClientMessage::Type::LocalAddress:
      local_address_ = message.local_address;
      e = MakeEvent(Kind::LocalAddressReceived);
      e.local_address = message.local_address;
      e.text = "\"" + GbkToDisplay(message.local_address) + "\" (" + GbkToDisplay(message.raw) + ")";
      break;
    case ClientMessage::Type::Dial:
      if (local_address_.empty()) local_address_ = message.local_address;
      e = MakeEvent(Kind::DialReceived);
      e.local_address = message.local_address;
      e.dial = message.dial;
      e.text = "dial \"" + GbkToDisplay(MaskDialSecret(message.dial)) + "\" from \"" +
               GbkToDisplay(message.local_address) + "\"" +
               (answer_ != Answer::kAnswer ? " (ignored on this connection)" : "");
      break;
    case ClientMessage::Type::QualityRequest:
      e = MakeEvent(Kind::QualityRequestReceived);
      e.text = "quality request " + std::string(kTagQuality) + ": voice to the client is sent twice";
      break;
    case ClientMessage::Type::Garbage:
      garbage_bytes_ += message.raw.size();
      e = MakeEvent(Kind::GarbageReceived);
      e.text = message.note + ": " + Shown(message.raw);
      break;
  }
  e.bytes = message.raw;
  e.port = context_.tcp_port;
  Emit(e);

  if (message.type != ClientMessage::Type::Garbage && ++messages_ > settings_.max_messages) {
    CloseAfterTags("too many messages (" + std::to_string(settings_.max_messages) + ")");
    return;
  }
  switch (message.type) {
    case ClientMessage::Type::Dial:
      if (answer_ == Answer::kAnswer) OnDial(message);
      break;
    case ClientMessage::Type::QualityRequest:
      if (answer_ == Answer::kAnswer) duplicate_send_ = true;
      break;
    case ClientMessage::Type::Garbage:
      if (garbage_bytes_ > settings_.max_garbage_bytes) CloseAfterTags("too many unrecognised bytes");
      break;
    case ClientMessage::Type::LocalAddress:
      break;
  }
}

void PhoneCall::OnDial(const ClientMessage& message) {
  // A refused line takes no second dial: it stays open only for the client's own hang-up. A dial repeated
  // on a dialled line gets the scenario's answers again, never a second far end.
  if (stage_ != Stage::kWaitingDial && stage_ != Stage::kDialled) return;
  bool first = stage_ == Stage::kWaitingDial;
  if (!first && tag_queue_.size() - tag_next_ >= kMaxQueuedTags) return;
  if (first) {
    dial_ = message.dial;
    summary_.dial = MaskDialSecret(dial_);
    DialDecision decision = env_.dial_plan->Resolve(message.dial);
    DirectNumberGuard* guard = env_.direct_guard;
    uint64_t now = env_.timers->NowMs();
    uint64_t locked = decision.direct && guard != nullptr ? guard->LockedForMs(context_.peer.ip, now) : 0;
    if (locked > 0) {
      decision.accepted = false;
      decision.reason = "direct numbers locked for " + std::to_string((locked + 999) / 1000) +
                        " s after wrong passwords (not checked)";
    } else if (guard != nullptr && decision.wrong_password) {
      guard->RecordFailure(context_.peer.ip, now);
    } else if (guard != nullptr && decision.direct && decision.accepted) {
      guard->RecordSuccess(context_.peer.ip);
    }
    FarEndFactory* factory = decision.accepted ? env_.far_ends->Find(decision.route.far_end) : nullptr;
    if (decision.accepted && factory == nullptr)
      decision.reason = "far end \"" + decision.route.far_end + "\" not available";
    if (decision.accepted && factory != nullptr && env_.dial_rate != nullptr &&
        env_.dial_rate->TakeOne(context_.peer.ip, now) != RateBuckets::Take::kTaken) {
      factory = nullptr;
      decision.reason = "too many calls from this address in a minute";
    }
    if (!decision.accepted || factory == nullptr) {
      Refuse(decision.reason);
      return;
    }
    StartFarEnd(decision.route);
  }
  if (settings_.request_duplicates) QueueTag(std::string(kTagQuality));
  for (const std::string& tag : settings_.tags_after_dial)
    QueueTag(tag);
}

void PhoneCall::Refuse(std::string_view why) {
  ExchangeEvent e = MakeEvent(Kind::DialRefused);
  e.dial = summary_.dial;
  e.text = "dial \"" + GbkToDisplay(summary_.dial) + "\" refused: " + std::string(why);
  Emit(e);
  QueueTag(std::string(kTagRefused));
  // The client keeps the line open after a refusal until its user hangs up; don't hold it for ever. The time
  // runs from the first refusal: dialling again and again must not keep the line.
  if (stage_ != Stage::kRefused)
    deadline_timer_->Start(settings_.linger_ms, [this] { CloseAfterTags("refused line not released"); });
  stage_ = Stage::kRefused;
}

// ---- The far end ----

void PhoneCall::StartFarEnd(const DialRoute& route) {
  stage_ = Stage::kDialled;
  dialled_ms_ = env_.timers->NowMs();
  far_end_name_ = route.target.empty() ? route.far_end : route.far_end + " " + route.target;
  summary_.far_end = far_end_name_;
  if (settings_.max_call_ms > 0)
    deadline_timer_->Start(settings_.max_call_ms, [this] { CloseAfterTags("call time limit reached"); });
  else
    deadline_timer_->Cancel();

  FarEndRequest request;
  request.dial = dial_;
  request.target = route.target;
  request.client_address = context_.peer.ToString();
  request.call_id = std::to_string(context_.server) + "/" + std::to_string(context_.channel) + "/" +
                    std::to_string(context_.call) + "." + std::to_string(context_.connection);
  far_end_ = env_.far_ends->Find(route.far_end)->Create(request, *this);

  ExchangeEvent e = MakeEvent(Kind::FarEndStarted);
  e.text = far_end_name_;
  Emit(e);

  ExchangeEvent v = MakeEvent(Kind::VoiceStarted);
  v.port = context_.udp_port;
  v.local_address = settings_.voice_address ? *settings_.voice_address : local_address_;
  v.peer = VoiceDestination().ToString();
  v.text = far_end_name_ + ", address text \"" + GbkToDisplay(v.local_address) + "\", from port " +
           std::to_string(context_.udp_port) + " to " + v.peer + " every " +
           std::to_string(settings_.voice_pace_ms) + " ms";
  Emit(v);

  next_pace_ms_ = env_.timers->NowMs();
  OnPacerTick();
  if (far_end_) far_end_->Start();
}

void PhoneCall::OnFarEndAnswered() {
  if (finished_) return;
  far_end_answered_ = true;
  Emit(MakeEvent(Kind::FarEndAnswered));
}

void PhoneCall::OnFarEndTryingNext() {
  if (finished_) return;
  Emit(MakeEvent(Kind::FarEndTryingNext));
  QueueTag(std::string(kTagNextNumber));
}

void PhoneCall::OnFarEndRefused(std::string_view why) {
  if (finished_) return;
  ReleaseFarEndSoon();
  Refuse(why);
}

void PhoneCall::OnFarEndEnded(std::string_view why) {
  if (finished_) return;
  ExchangeEvent e = MakeEvent(Kind::FarEndEnded);
  e.text = std::string(why);
  Emit(e);
  ReleaseFarEndSoon();
  CloseAfterTags("far end: " + std::string(why));
}

void PhoneCall::ReleaseFarEndSoon() {
  // The far end is inside its own callback: it goes once that returns.
  pacer_timer_->Cancel();
  if (!far_end_) return;
  KeepFarEndFigures();
  far_end_releasing_ = std::move(far_end_);
  release_timer_->Start(0, [this] { far_end_releasing_.reset(); });
}

// ---- Tags to the client ----

void PhoneCall::QueueTag(std::string bytes) {
  if (stage_ == Stage::kClosing || stage_ == Stage::kDone) return;
  tag_queue_.push_back(std::move(bytes));
  if (!tag_timer_->pending()) ScheduleNextTag();
}

void PhoneCall::ScheduleNextTag() {
  uint64_t now = env_.timers->NowMs();
  tag_timer_->Start(next_tag_ms_ > now ? next_tag_ms_ - now : 0, [this] { SendNextTag(); });
}

void PhoneCall::SendNextTag() {
  if (finished_) return;
  // Tags already sent go, or a queue that never runs empty would keep every one of them.
  if (tag_next_ >= kMaxQueuedTags) {
    tag_queue_.erase(tag_queue_.begin(), tag_queue_.begin() + static_cast<std::ptrdiff_t>(tag_next_));
    tag_next_ = 0;
  }
  if (tag_next_ < tag_queue_.size()) {
    const std::string& bytes = tag_queue_[tag_next_++];
    bool ok = link_.SendChunk(bytes);
    // The gap runs from the moment the tag went out.
    next_tag_ms_ = env_.timers->NowMs() + settings_.tag_gap_ms;
    ExchangeEvent e = MakeEvent(Kind::TagSent);
    e.bytes = bytes;
    e.port = context_.tcp_port;
    e.text = Shown(bytes) + (ok ? "" : " (send failed)");
    Emit(e);
    if (!ok) {
      Finish("connection failed", false);
      return;
    }
  }
  if (tag_next_ < tag_queue_.size()) {
    ScheduleNextTag();
    return;
  }
  tag_queue_.clear();
  tag_next_ = 0;
  if (!close_reason_.empty()) Finish(close_reason_, false);
}

void PhoneCall::CloseAfterTags(std::string why) {
  if (finished_ || stage_ == Stage::kClosing) return;
  ReleaseFarEndSoon();
  stage_ = Stage::kClosing;
  close_reason_ = std::move(why);
  if (!tag_timer_->pending()) Finish(close_reason_, false);
}

void PhoneCall::Close(std::string_view why) {
  if (finished_) return;
  Finish(std::string(why), false);
}

// ---- Voice ----

bool PhoneCall::AcceptsVoiceFrom(const Endpoint& from) const {
  // Nothing before the dial: a datagram sent ahead of the client's own would take its voice.
  if (!holds_channel() || stage_ != Stage::kDialled) return false;
  if (latched_ && from == voice_source_) return true;
  bool client_address = settings_.latch_any_source || from.ip == context_.peer.ip;
  if (!latched_) return client_address;
  return client_address && env_.timers->NowMs() - last_voice_ms_ >= settings_.relatch_after_ms;
}

void PhoneCall::OnVoiceDatagram(const Endpoint& from, std::string_view datagram) {
  if (finished_) return;
  std::optional<long long> sequence;
  const char* verdict = nullptr;
  if (datagram.size() != kClientVoiceSize) {
    verdict = "wrong length";
  } else if (!(sequence = ParseClientVoiceSequence(datagram))) {
    verdict = "malformed sequence field";
  } else if (!AcceptsVoiceFrom(from)) {
    verdict = stage_ != Stage::kDialled ? "nothing dialled"
              : latched_                ? "not from the latched source"
                                        : "not from the client's address";
  }
  bool want = env_.observer != nullptr && env_.observer->WantsVoiceEvents();
  if (verdict != nullptr) {
    ++summary_.rejected;
    ExchangeEvent e = MakeEvent(Kind::VoiceReceived);
    e.peer = from.ToString();
    e.port = context_.udp_port;
    e.bytes = datagram.substr(0, 2048);
    e.sequence = sequence ? *sequence : -1;
    e.text = "from " + e.peer + ", " + std::to_string(datagram.size()) + " bytes, rejected: " + verdict;
    Emit(e);
    return;
  }
  if (!latched_ || from != voice_source_) {
    ExchangeEvent e = MakeEvent(Kind::VoiceLatched);
    e.peer = from.ToString();
    e.port = context_.udp_port;
    e.text = (latched_ ? "voice latched anew to " + e.peer + " (" + voice_source_.ToString() + " fell silent)"
                       : "voice latched to " + e.peer);
    latched_ = true;
    voice_source_ = from;
    Emit(e);
  }
  last_voice_ms_ = env_.timers->NowMs();
  ++summary_.datagrams_in;
  SequenceTracker::Verdict order = sequences_.Record(*sequence);
  if (want) {
    ExchangeEvent e = MakeEvent(Kind::VoiceReceived);
    e.peer = from.ToString();
    e.port = context_.udp_port;
    e.bytes = datagram;
    e.sequence = *sequence;
    e.text = "from " + e.peer + " on port " + std::to_string(context_.udp_port) + ", seq " +
             std::to_string(*sequence) +
             (order == SequenceTracker::Verdict::kDuplicate ? " (duplicate)"
              : order == SequenceTracker::Verdict::kLate    ? " (late)"
                                                            : "");
    Emit(e);
  }
  if (far_end_) {
    far_end_->OnClientVoice(
        *sequence, reinterpret_cast<const uint8_t*>(datagram.data()) + (kClientVoiceSize - kVoiceSamples));
  }
}

Endpoint PhoneCall::VoiceDestination() const {
  if (latched_) return voice_source_;
  return Endpoint{context_.peer.ip, settings_.client_voice_port};
}

void PhoneCall::OnPacerTick() {
  if (!far_end_ || finished_) return;
  uint8_t block[kVoiceSamples];
  if (far_end_->ReadBlock(block)) SendToClient(block);
  if (!far_end_) return;  // ReadBlock may not end the far end, but be safe against its callbacks
  uint64_t now = env_.timers->NowMs();
  if (latched_ && settings_.voice_silence_ms > 0 && now - last_voice_ms_ >= settings_.voice_silence_ms) {
    CloseAfterTags("the client's voice stopped for " + std::to_string(settings_.voice_silence_ms / 1000) +
                   " s");
    return;
  }
  next_pace_ms_ += settings_.voice_pace_ms;
  if (next_pace_ms_ + kPaceResyncBlocks * settings_.voice_pace_ms < now) {
    // The loop was held up while the far end went on in real time: the blocks of the skipped slots are
    // dropped, or everything it sends afterwards would come that much later, for the rest of the call.
    uint64_t skipped = settings_.voice_pace_ms > 0 ? (now - next_pace_ms_) / settings_.voice_pace_ms : 0;
    for (uint64_t i = 0; i < std::min(skipped, kMaxDroppedBlocks) && far_end_; ++i)
      far_end_->ReadBlock(block);
    next_pace_ms_ = now + settings_.voice_pace_ms;
  }
  pacer_timer_->Start(next_pace_ms_ > now ? next_pace_ms_ - now : 0, [this] { OnPacerTick(); });
}

void PhoneCall::SendToClient(const uint8_t* block) {
  uint8_t datagram[kServerVoiceSize];
  std::string_view address =
      settings_.voice_address ? std::string_view(*settings_.voice_address) : std::string_view(local_address_);
  FillServerVoice(datagram, address, ++send_sequence_, block);
  Endpoint to = VoiceDestination();
  int copies = duplicate_send_ ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    bool ok = link_.SendVoice(to, datagram, sizeof(datagram));
    if (ok) ++summary_.datagrams_out;
    if (env_.observer != nullptr && env_.observer->WantsVoiceEvents()) {
      ExchangeEvent e = MakeEvent(Kind::VoiceSent);
      e.peer = to.ToString();
      e.port = context_.udp_port;
      e.sequence = send_sequence_;
      e.local_address = address;
      e.bytes = std::string_view(reinterpret_cast<const char*>(datagram), sizeof(datagram));
      e.text = "to " + e.peer + " seq " + std::to_string(send_sequence_) + (ok ? "" : " (send failed)");
      Emit(e);
    }
  }
}

// ---- The end ----

void PhoneCall::Finish(std::string ended, bool client_closed) {
  if (finished_) return;
  finished_ = true;
  stage_ = Stage::kDone;
  tag_timer_->Cancel();
  deadline_timer_->Cancel();
  pacer_timer_->Cancel();
  if (far_end_) KeepFarEndFigures();
  far_end_.reset();  // hangs up (not from inside a far-end callback: those go through ReleaseFarEndSoon)
  if (!client_closed) {
    link_.CloseConnection();
    ExchangeEvent e = MakeEvent(Kind::ServerClosed);
    e.port = context_.tcp_port;
    e.text = ended + " (" + e.peer + ", connection " + std::to_string(context_.connection) + ")";
    Emit(e);
  }
  if (!far_end_name_.empty()) {
    ExchangeEvent e = MakeEvent(Kind::VoiceStopped);
    e.sequence = static_cast<int64_t>(summary_.datagrams_out);
    e.text = ended + ", " + std::to_string(summary_.datagrams_out) + " datagrams sent";
    Emit(e);
  }
  if (answer_ != Answer::kAnswer) return;  // busy and silent connections are not calls
  summary_.duration_ms = env_.timers->NowMs() - started_ms_;
  summary_.lost = sequences_.lost();
  summary_.duplicated = sequences_.duplicates();
  summary_.late = sequences_.late();
  summary_.ended = std::move(ended);
  ExchangeEvent e = MakeEvent(Kind::CallEnded);
  e.summary = &summary_;
  e.text = std::string(context_.via == CallVia::kWeb ? "web call from " : "call from ") + summary_.client +
           " dial \"" + GbkToDisplay(summary_.dial) + "\" to " +
           (summary_.far_end.empty() ? "-" : summary_.far_end) + ", " + std::to_string(summary_.duration_ms) +
           " ms, datagrams in " + std::to_string(summary_.datagrams_in) + " out " +
           std::to_string(summary_.datagrams_out) + ", lost " + std::to_string(summary_.lost) +
           " duplicated " + std::to_string(summary_.duplicated) + " late " + std::to_string(summary_.late) +
           " rejected " + std::to_string(summary_.rejected) + ", ended: " + summary_.ended;
  e.text += FarEndFiguresSuffix(summary_);
  Emit(e);
}

void PhoneCall::KeepFarEndFigures() {
  summary_.far_end_counters = far_end_->Counters();
  FarEnd::Media media = far_end_->MediaPackets();
  summary_.rtp_in = media.packets_in;
  summary_.rtp_out = media.packets_out;
}

void PhoneCall::AddFigures(CallFigures* f) const {
  f->datagrams_in += summary_.datagrams_in;
  f->datagrams_out += summary_.datagrams_out;
  f->lost += sequences_.settled_lost();
  f->duplicated += sequences_.duplicates();
  f->late += sequences_.late();
  FarEnd::Media media =
      far_end_ ? far_end_->MediaPackets() : FarEnd::Media{summary_.rtp_in, summary_.rtp_out};
  f->rtp_in += media.packets_in;
  f->rtp_out += media.packets_out;
}

ExchangeEvent PhoneCall::MakeEvent(ExchangeEvent::Kind kind) const {
  ExchangeEvent e;
  e.kind = kind;
  e.server = context_.server;
  e.channel = context_.channel;
  e.call = context_.call;
  e.connection = context_.connection;
  e.busy = answer_ == Answer::kBusy;
  e.via = context_.via;
  e.peer = context_.peer.ToString();
  return e;
}

void PhoneCall::Emit(const ExchangeEvent& event) const {
  if (env_.observer != nullptr) env_.observer->OnEvent(event);
}

}  // namespace exchange
