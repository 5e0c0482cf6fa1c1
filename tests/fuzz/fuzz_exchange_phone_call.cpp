// One phone call driven by a hostile client and a capricious far end: bytes in any cut, canned and flooded
// messages, datagrams from the client and from strangers, time passing, far-end events and either side
// closing. Whatever happens: no crash, nothing is sent once the connection is closed, the latched voice
// source never changes, the call's memory stays bounded, and when it is gone no timer or far end is left
// behind.

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/call/phone_call.h"
#include "exchange/farend/builtin_far_ends.h"
#include "tests/exchange/call/manual_timers.h"

using namespace exchange;
using exchange::testing::ManualTimers;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Bytes in use on the heap: the sanitizer's allocator knows when it is there, else the C library's does.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
size_t HeapInUse() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) return __sanitizer_get_current_allocated_bytes();
  return mallinfo2().uordblks;
}

// What the fuzz input is read from, front to back; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string_view Bytes(size_t n) {
    n = std::min(n, size_ - pos_);
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The connection as the call sees it; anything sent after the close is a fault.
class StrictLink : public CallLink {
 public:
  bool SendChunk(std::string_view bytes) override {
    Check(!closed && !client_gone);
    Check(!bytes.empty());
    ++chunks;
    return !fail_sends;
  }
  bool SendVoice(const Endpoint& to, const uint8_t*, size_t size) override {
    Check(!closed && !client_gone);
    Check(size == kServerVoiceSize);
    if (latched) Check(to == latched_source);
    ++datagrams;
    return !fail_sends;
  }
  void CloseConnection() override {
    Check(!closed && !client_gone);
    closed = true;
  }

  bool closed = false;
  bool client_gone = false;
  bool fail_sends = false;
  bool latched = false;
  Endpoint latched_source;
  uint64_t chunks = 0;
  uint64_t datagrams = 0;
};

// A far end the input steers: its events come whenever the input says.
class ScriptedFarEnd;
ScriptedFarEnd* g_live_far_end = nullptr;

class ScriptedFarEnd : public FarEnd {
 public:
  ScriptedFarEnd(std::string target, FarEndListener& listener)
      : target_(std::move(target)), listener_(listener) {
    Check(g_live_far_end == nullptr);  // one far end per call, and one call here
    g_live_far_end = this;
  }
  ~ScriptedFarEnd() override { g_live_far_end = nullptr; }

  void Start() override {
    if (target_ == "answer") listener_.OnFarEndAnswered();
    if (target_ == "refuse") listener_.OnFarEndRefused("refused at once");
    if (target_ == "end") listener_.OnFarEndEnded("unreachable");
  }
  void OnClientVoice(int64_t sequence, const uint8_t*) override { Check(sequence >= 0); }
  bool ReadBlock(uint8_t* block) override {
    std::fill(block, block + kBlockSamples, 0xD5);
    return answered_;
  }
  void Event(uint8_t which) {
    switch (which % 4) {
      case 0:
        answered_ = true;
        listener_.OnFarEndAnswered();
        break;
      case 1:
        listener_.OnFarEndTryingNext();
        break;
      case 2:
        listener_.OnFarEndRefused("number unknown");
        break;
      case 3:
        listener_.OnFarEndEnded("far end hung up");
        break;
    }
  }

 private:
  std::string target_;
  FarEndListener& listener_;
  bool answered_ = false;
};

class ScriptedFactory : public FarEndFactory {
 public:
  std::string CheckTarget(std::string_view) const override { return ""; }
  std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) override {
    return std::make_unique<ScriptedFarEnd>(request.target, listener);
  }
};

class CheckingObserver : public ExchangeObserver {
 public:
  explicit CheckingObserver(bool voice_events) : voice_events_(voice_events) {}
  void OnEvent(const ExchangeEvent& e) override {
    Check(!call_ended);  // the summary is the last word
    switch (e.kind) {
      case ExchangeEvent::Kind::VoiceLatched:
        // To the source of the datagram being handled; latching anew (after the source fell silent) only
        // to another source of the client's own address, unless any source may latch.
        Check(arriving != nullptr && e.peer == arriving->ToString());
        Check(latches++ == 0 || ((any_source || arriving->ip == client_ip) && e.peer != latched_text));
        link->latched = true;
        link->latched_source = *arriving;
        latched_text = e.peer;
        break;
      case ExchangeEvent::Kind::VoiceReceived:
        if (e.text.find("rejected") == std::string::npos) Check(link->latched && e.peer == latched_text);
        break;
      case ExchangeEvent::Kind::CallEnded:
        Check(e.summary != nullptr);
        Check(e.summary->dial.find("#pw#") == std::string::npos);
        call_ended = true;
        break;
      default:
        break;
    }
  }
  bool WantsVoiceEvents() const override { return voice_events_; }

  StrictLink* link = nullptr;
  const Endpoint* arriving = nullptr;  // source of the datagram being delivered
  std::string latched_text;
  int latches = 0;
  uint32_t client_ip = 0;
  bool any_source = false;
  bool call_ended = false;

 private:
  bool voice_events_;
};

const Endpoint kClient{0x0A000001, 40000};
const Endpoint kSources[] = {
    {0x0A000001, 20001},  // the client's voice port
    {0x0A000001, 20002},  // the client's next port (NAT rebinding, or a second socket)
    {0x0A000009, 20001},  // a stranger with the right port
    {0x0A000001, 40000},  // the signalling port itself
};

std::string Canned(uint8_t which) {
  switch (which % 12) {
    case 0:
      return BuildLocalAddressMessage("192.168.1.5");
    case 1:
      return BuildDialMessage("192.168.1.5", "3381");
    case 2:
      return BuildDialMessage("192.168.1.5", "3382");
    case 3:
      return BuildDialMessage("192.168.1.5", "7000");
    case 4:
      return BuildDialMessage("192.168.1.5", "7001");
    case 5:
      return BuildDialMessage("192.168.1.5", "7002");
    case 6:
      return BuildDialMessage("192.168.1.5", "7003");
    case 7:
      return BuildDialMessage("192.168.1.5", "999");
    case 8:
      return BuildDialMessage("192.168.1.5", "12345#pw#");
    case 9:
      return BuildDialMessage("192.168.1.5", "12345#guess#");
    case 10:
      return std::string(kTagQuality);
    default:
      return BuildDialMessage("192.168.1.5", std::string(300, '9'));
  }
}

// Simulated time per input, so an input cannot make one run last long.
constexpr uint64_t kMaxSimulatedMs = 12000;
// What one call may hold on to, whatever it is sent: parser, tag queue, echo queue, summary.
constexpr size_t kMaxCallHeapGrowth = 128 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint8_t mode = in.Byte();
  uint8_t flags = in.Byte();

  CallSettings settings;
  settings.request_duplicates = flags & 1;
  settings.latch_any_source = flags & 2;
  settings.hello = flags & 4;
  if (flags & 8) settings.announce_udp_port = 20481;
  // Time limits shorter than a venue's, so that an input reaches them within its simulated time.
  if (flags & 16) settings.max_call_ms = 5000;
  if (flags & 32) settings.tags_after_dial = {"{X}"};
  settings.dial_timeout_ms = (flags & 64) ? 0 : 2000;
  settings.linger_ms = 3000;

  DialPlan plan;
  plan.AddExtension("3381", DialRoute{"echo", "0"});
  plan.AddExtension("3382", DialRoute{"tone", ""});
  plan.AddExtension("7000", DialRoute{"script", ""});
  plan.AddExtension("7001", DialRoute{"script", "refuse"});
  plan.AddExtension("7002", DialRoute{"script", "end"});
  plan.AddExtension("7003", DialRoute{"missing", ""});
  plan.AllowDirectNumbers("pw", "1", DialRoute{"script", "answer"});

  FarEndRegistry far_ends;
  far_ends.Add("echo", MakeEchoFarEndFactory(200));
  far_ends.Add("tone", MakeToneFarEndFactory(1000.0, 50));
  far_ends.Add("script", std::make_unique<ScriptedFactory>());

  ManualTimers timers;
  StrictLink link;
  CheckingObserver observer(flags & 128);
  observer.client_ip = kClient.ip;
  observer.any_source = settings.latch_any_source;
  observer.link = &link;

  CallEnvironment env;
  env.timers = &timers;
  env.dial_plan = Unowned(plan);
  env.far_ends = &far_ends;
  env.observer = &observer;
  env.settings = Unowned(settings);
  CallContext context;
  context.peer = kClient;
  context.tcp_port = 20480;
  context.udp_port = 20481;

  Answer answer = mode % 3 == 0 ? Answer::kAnswer : mode % 3 == 1 ? Answer::kBusy : Answer::kSilent;
  if (mode & 0x80) answer = Answer::kAnswer;
  size_t heap_before = HeapInUse();
  auto call = std::make_unique<PhoneCall>(env, context, link, answer);
  uint64_t simulated = 0;
  int64_t next_sequence = 1;

  auto deliver_voice = [&](const Endpoint& from, std::string_view datagram) {
    bool was_latched = call->latched();
    observer.arriving = &from;
    call->OnVoiceDatagram(from, datagram);
    observer.arriving = nullptr;
    Check(call->latched() == link.latched);
    Check(was_latched <= call->latched());  // a latch is never undone
  };
  auto client_can_send = [&] { return !link.closed && !link.client_gone; };

  while (!in.empty() && call) {
    uint8_t op = in.Byte();
    switch (op % 10) {
      case 0:  // bytes as they come
        if (client_can_send()) call->OnClientBytes(in.Bytes(in.Byte()));
        break;
      case 1:  // one well-formed message
        if (client_can_send()) call->OnClientBytes(Canned(in.Byte()));
        break;
      case 2: {  // a well-formed datagram
        const Endpoint& from = kSources[in.Byte() % 4];
        int64_t sequence = in.Byte() == 0 ? next_sequence - 3 : next_sequence++;
        deliver_voice(from, BuildClientVoice(std::max<int64_t>(sequence, 0), std::string(128, '\x55')));
        break;
      }
      case 3: {  // a datagram of any content
        const Endpoint& from = kSources[in.Byte() % 4];
        std::string datagram(in.Bytes(in.Byte()));
        if (in.Byte() & 1) datagram.resize(kClientVoiceSize, ' ');
        deliver_voice(from, datagram);
        break;
      }
      case 4: {  // time passes
        uint8_t b = in.Byte();
        uint64_t ms = (b & 0x80) ? uint64_t(b & 0x7F) * 100 : b;
        ms = std::min(ms, kMaxSimulatedMs - simulated);
        simulated += ms;
        timers.Advance(ms);
        break;
      }
      case 5: {  // the far end does something
        uint8_t which = in.Byte();
        if (g_live_far_end != nullptr) g_live_far_end->Event(which);
        break;
      }
      case 6:
        if (client_can_send()) {
          call->OnClientClosed("client closed the connection");
          link.client_gone = true;
        }
        break;
      case 7:
        call->Close("exchange stopped");
        break;
      case 8: {  // a flood of one message, bytes arriving faster than tags can go out
        std::string message = Canned(in.Byte());
        int repeats = 4 * (1 + in.Byte() % 64);  // up to 256: many times what the tag queue holds
        for (int i = 0; i < repeats && client_can_send(); ++i) {
          call->OnClientBytes(message);
          if (i % 64 == 63 && simulated < kMaxSimulatedMs) {
            ++simulated;
            timers.Advance(1);
          }
        }
        break;
      }
      case 9: {  // a burst of datagrams from one source, 16 ms apart
        const Endpoint& from = kSources[in.Byte() % 4];
        int count = 1 + in.Byte() % 64;
        for (int i = 0; i < count; ++i) {
          deliver_voice(from, BuildClientVoice(next_sequence++, std::string(128, '\x55')));
          if (simulated + 16 <= kMaxSimulatedMs) {
            simulated += 16;
            timers.Advance(16);
          }
        }
        break;
      }
    }
    link.fail_sends = (op & 0xF0) == 0xF0;  // now and then the socket fails
    Check(HeapInUse() <= heap_before + kMaxCallHeapGrowth);
    if (call->finished()) {
      Check(link.closed || link.client_gone);
      Check(!call->holds_channel());
      Check(observer.call_ended == (answer == Answer::kAnswer));
      call.reset();  // as the server reaps it
    }
  }
  if (call) {
    call->Close("exchange stopped");
    Check(call->finished() && (link.closed || link.client_gone));
    Check(observer.call_ended == (answer == Answer::kAnswer));
    call.reset();
  }
  Check(g_live_far_end == nullptr);
  Check(timers.live_timers() == 0);
  return 0;
}
