#include "event_record.h"

#include <algorithm>
#include <ostream>

#include "exchange/protocol/display_text.h"

namespace exsim {

namespace {

using XKind = exchange::ExchangeEvent::Kind;

Event::Kind SimKind(XKind kind) {
  switch (kind) {
    case XKind::Started:
      return Event::Kind::Started;
    case XKind::Stopped:
      return Event::Kind::Stopped;
    case XKind::Error:
      return Event::Kind::Error;
    case XKind::AddressConnected:
      return Event::Kind::AddressConnected;
    case XKind::AddressQueryOk:
      return Event::Kind::AddressQueryOk;
    case XKind::AddressQueryMalformed:
      return Event::Kind::AddressQueryMalformed;
    case XKind::AddressReplySent:
      return Event::Kind::AddressReplySent;
    case XKind::AddressClosed:
      return Event::Kind::AddressClosed;
    case XKind::ConnectionRefused:
      return Event::Kind::ConnectionRefused;
    case XKind::ChannelAccepted:
      return Event::Kind::ChannelAccepted;
    case XKind::TagSent:
      return Event::Kind::TagSent;
    case XKind::LocalAddressReceived:
      return Event::Kind::LocalAddressReceived;
    case XKind::DialReceived:
      return Event::Kind::DialReceived;
    case XKind::DialRefused:
      return Event::Kind::DialRefused;
    case XKind::QualityRequestReceived:
      return Event::Kind::QualityRequestReceived;
    case XKind::GarbageReceived:
      return Event::Kind::GarbageReceived;
    case XKind::FarEndStarted:
      return Event::Kind::FarEndStarted;
    case XKind::FarEndAnswered:
      return Event::Kind::FarEndAnswered;
    case XKind::FarEndTryingNext:
      return Event::Kind::FarEndTryingNext;
    case XKind::FarEndEnded:
      return Event::Kind::FarEndEnded;
    case XKind::ClientClosed:
      return Event::Kind::ClientClosed;
    case XKind::ServerClosed:
      return Event::Kind::ServerClosed;
    case XKind::VoiceReceived:
      return Event::Kind::VoiceReceived;
    case XKind::VoiceLatched:
      return Event::Kind::VoiceLatched;
    case XKind::VoiceStarted:
      return Event::Kind::VoiceStarted;
    case XKind::VoiceSent:
      return Event::Kind::VoiceSent;
    case XKind::VoiceStopped:
      return Event::Kind::VoiceStopped;
    case XKind::CallEnded:
      return Event::Kind::CallEnded;
    case XKind::WebMedia:  // the simulator serves no web page
      return Event::Kind::Error;
  }
  return Event::Kind::Error;
}

bool IsAddressKind(Event::Kind kind) {
  return kind >= Event::Kind::AddressConnected && kind <= Event::Kind::AddressClosed;
}

}  // namespace

const char* KindName(Event::Kind kind) {
  switch (kind) {
#define EXSIM_KIND(k)  \
  case Event::Kind::k: \
    return #k;
    EXSIM_KIND(Started)
    EXSIM_KIND(Stopped)
    EXSIM_KIND(Error)
    EXSIM_KIND(AddressConnected)
    EXSIM_KIND(AddressQueryOk)
    EXSIM_KIND(AddressQueryMalformed)
    EXSIM_KIND(AddressReplySent)
    EXSIM_KIND(AddressClosed)
    EXSIM_KIND(ChannelAccepted)
    EXSIM_KIND(TagSent)
    EXSIM_KIND(LocalAddressReceived)
    EXSIM_KIND(DialReceived)
    EXSIM_KIND(QualityRequestReceived)
    EXSIM_KIND(GarbageReceived)
    EXSIM_KIND(ClientClosed)
    EXSIM_KIND(ServerClosed)
    EXSIM_KIND(VoiceReceived)
    EXSIM_KIND(VoiceStarted)
    EXSIM_KIND(VoiceSent)
    EXSIM_KIND(VoiceStopped)
    EXSIM_KIND(HostileVoiceSent)
    EXSIM_KIND(ConnectionRefused)
    EXSIM_KIND(DialRefused)
    EXSIM_KIND(FarEndStarted)
    EXSIM_KIND(FarEndAnswered)
    EXSIM_KIND(FarEndTryingNext)
    EXSIM_KIND(FarEndEnded)
    EXSIM_KIND(VoiceLatched)
    EXSIM_KIND(CallEnded)
#undef EXSIM_KIND
  }
  return "Unknown";
}

std::vector<Event> Filter(const std::vector<Event>& events, Event::Kind kind, int channel) {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.kind == kind && (channel == -2 || e.channel == channel)) out.push_back(e);
  }
  return out;
}

size_t Count(const std::vector<Event>& events, Event::Kind kind, int channel) {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
    return e.kind == kind && (channel == -2 || e.channel == channel);
  }));
}

Event ToSimEvent(const exchange::ExchangeEvent& x) {
  Event e;
  e.kind = SimKind(x.kind);
  e.channel = x.channel;
  e.call = x.call;
  e.connection = x.connection;
  e.busy = x.busy;
  e.bytes = std::string(x.bytes);
  e.text = x.text;
  e.sequence = x.sequence;
  e.local_address = std::string(x.local_address);
  e.dial = std::string(x.dial);
  e.peer = x.peer;
  e.port = x.port;
  return e;
}

void EventRecord::Add(Event e) {
  e.when = std::chrono::steady_clock::now();
  e.wall = std::chrono::system_clock::now();
  bool log_it = true;
  if (e.kind == Event::Kind::VoiceReceived || e.kind == Event::Kind::VoiceSent) log_it = ShouldLogVoice();
  std::string line;
  if (log_it) {
    std::string scope = e.channel >= 0          ? "[ch" + std::to_string(e.channel) + "]"
                        : IsAddressKind(e.kind) ? "[address]"
                                                : "[sim]";
    line = exchange::FormatWallClock(e.wall) + " " + scope + " " + KindName(e.kind);
    if (!e.text.empty()) line += " " + e.text;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(e));
    // A long run keeps at least the last max_events, trimming in halves so that adding stays cheap.
    if (options_.max_events > 0 && events_.size() >= 2 * options_.max_events) {
      events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(options_.max_events));
    }
    if (log_it) {
      log_lines_.push_back(line);
      if (options_.max_events > 0 && log_lines_.size() > options_.max_events) log_lines_.pop_front();
    }
  }
  cv_.notify_all();
  if (log_it) {
    if (options_.log_stream != nullptr) *options_.log_stream << line << std::endl;
    if (options_.log_callback) options_.log_callback(line);
  }
}

bool EventRecord::ShouldLogVoice() {
  return voice_log_counter_++ % static_cast<unsigned long long>(options_.voice_log_every) == 0;
}

std::vector<Event> EventRecord::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

bool EventRecord::WaitFor(const std::function<bool(const std::vector<Event>&)>& pred,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return pred(events_); });
}

std::string EventRecord::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const std::string& line : log_lines_)
    out += line + "\n";
  return out;
}

}  // namespace exsim
