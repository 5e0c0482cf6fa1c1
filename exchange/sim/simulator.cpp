// The simulator is the exchange itself on its own thread and libre event loop, built from a scenario's
// options; what it adds is the record of events its tests read and the hostile peer's datagrams.
#include <cstdint>

extern "C" {
#include <re.h>
}

#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "event_record.h"
#include "exchange/net/exchange.h"
#include "exchange_sim.h"
#include "hostile_sender.h"
#include "scenario.h"

namespace exsim {

namespace {

constexpr int kStopMessage = 1;

// libre's process-wide set-up happens once; every simulator thread then gets a loop of its own.
void InitLibreOnce() {
  static std::once_flag once;
  std::call_once(once, [] { libre_init(); });
}

}  // namespace

class Simulator::Impl final : public exchange::ExchangeObserver {
 public:
  explicit Impl(Options options) : opt_(std::move(options)), record_(opt_) {}
  ~Impl() { Stop(); }

  bool Start(std::string* error);
  void Stop();
  bool running() const {
    std::lock_guard<std::mutex> lock(life_mu_);
    return started_ && !stopped_;
  }

  const EventRecord& record() const { return record_; }
  const Options& options() const { return opt_; }
  int AddressPort() const { return address_port_; }
  int PhonePort(int channel) const { return opt_.phone_base_port + 2 * channel; }
  int UdpPort(int channel) const {
    return opt_.udp_port_override > 0 ? opt_.udp_port_override : opt_.phone_base_port + 2 * channel + 1;
  }

  // ExchangeObserver, on the loop thread.
  void OnEvent(const exchange::ExchangeEvent& event) override;
  bool WantsVoiceEvents() const override { return true; }

 private:
  // Identifies one phone connection's voice session.
  using SessionKey = std::tuple<int, int, int, int>;

  void Run(std::promise<std::string>* ready);
  bool OpenExchange(std::string* error);
  static void OnMessage(int id, void* data, void* arg);
  bool CountVoice(const exchange::ExchangeEvent& event, Event* stopped);

  const Options opt_;
  EventRecord record_;

  mutable std::mutex life_mu_;
  bool started_ = false;
  bool stopped_ = false;
  std::thread thread_;
  struct mqueue* mqueue_ = nullptr;  // written by the loop thread before Start returns
  int address_port_ = 0;             // likewise

  // The loop thread's own.
  exchange::FarEndRegistry far_ends_;
  std::unique_ptr<ScenarioAnswers> answers_;
  std::unique_ptr<exchange::Exchange> exchange_;
  HostileSender hostile_;
  std::map<SessionKey, bool> voice_done_;  // sessions whose counted tone is over
  int64_t first_voice_sequence_ = 1;
};

bool Simulator::Impl::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::lock_guard<std::mutex> lock(life_mu_);
  if (started_) {
    *error = "already started";
    return false;
  }
  std::string problem = CheckOptions(opt_);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  std::promise<std::string> ready;
  std::future<std::string> result = ready.get_future();
  thread_ = std::thread(&Impl::Run, this, &ready);
  problem = result.get();
  if (!problem.empty()) {
    thread_.join();
    *error = problem;
    return false;
  }
  started_ = true;
  return true;
}

void Simulator::Impl::Stop() {
  std::lock_guard<std::mutex> lock(life_mu_);
  if (!started_ || stopped_) return;
  // The exchange lives on the loop thread: it is shut down there, then the loop ends.
  mqueue_push(mqueue_, kStopMessage, nullptr);
  thread_.join();
  stopped_ = true;
}

void Simulator::Impl::Run(std::promise<std::string>* ready) {
  InitLibreOnce();
  int err = re_thread_init();
  if (err != 0) {
    ready->set_value(std::string("cannot start an event loop: ") + std::strerror(err));
    return;
  }
  std::string error;
  if (!OpenExchange(&error)) {
    exchange_.reset();
    mqueue_ = static_cast<struct mqueue*>(mem_deref(mqueue_));
    re_thread_close();
    ready->set_value(error);
    return;
  }
  ready->set_value("");  // `ready` is gone after this
  re_main(nullptr);
  exchange_.reset();
  mqueue_ = static_cast<struct mqueue*>(mem_deref(mqueue_));
  re_thread_close();
}

bool Simulator::Impl::OpenExchange(std::string* error) {
  if (int err = mqueue_alloc(&mqueue_, &Impl::OnMessage, this)) {
    *error = std::string("cannot create the stop queue: ") + std::strerror(err);
    return false;
  }
  if (opt_.hostile && !hostile_.Open(opt_.bind_address, error)) return false;
  AddScenarioFarEnds(opt_, &far_ends_);
  answers_ = std::make_unique<ScenarioAnswers>(opt_);
  exchange::ExchangeConfig config = ScenarioConfig(opt_);
  first_voice_sequence_ = config.call.first_voice_sequence;
  exchange_ = std::make_unique<exchange::Exchange>(std::move(config), far_ends_, this, answers_.get());
  if (!exchange_->Start(error)) return false;
  address_port_ = exchange_->address_port();
  return true;
}

void Simulator::Impl::OnMessage(int id, void*, void* arg) {
  auto* self = static_cast<Impl*>(arg);
  if (id != kStopMessage) return;
  if (self->exchange_) self->exchange_->Shutdown("simulator stopped");
  self->exchange_.reset();
  re_cancel();
}

void Simulator::Impl::OnEvent(const exchange::ExchangeEvent& x) {
  using XKind = exchange::ExchangeEvent::Kind;
  SessionKey key{x.server, x.channel, x.call, x.connection};
  // A counted tone's session ended when its last datagram went; the call's own end is not reported again.
  if (x.kind == XKind::VoiceStopped && voice_done_.erase(key) > 0) return;
  record_.Add(ToSimEvent(x));
  Event stopped;
  if (x.kind == XKind::VoiceSent && CountVoice(x, &stopped)) record_.Add(std::move(stopped));
  if (x.kind == XKind::VoiceStarted && opt_.hostile) {
    Event e = hostile_.Send(x.peer, std::string(x.local_address), opt_.hostile_seed, opt_.hostile_flood);
    e.channel = x.channel;
    e.call = x.call;
    e.connection = x.connection;
    e.port = x.port;
    record_.Add(std::move(e));
  }
}

bool Simulator::Impl::CountVoice(const exchange::ExchangeEvent& x, Event* stopped) {
  if (opt_.voice != VoiceMode::kTone || opt_.voice_count <= 0) return false;
  if (x.sequence != first_voice_sequence_ + opt_.voice_count - 1) return false;
  SessionKey key{x.server, x.channel, x.call, x.connection};
  if (!voice_done_.emplace(key, true).second) return false;  // the duplicate of the last datagram
  stopped->kind = Event::Kind::VoiceStopped;
  stopped->channel = x.channel;
  stopped->call = x.call;
  stopped->connection = x.connection;
  stopped->port = x.port;
  stopped->sequence = opt_.voice_count;
  stopped->text = "count reached, " + std::to_string(opt_.voice_count) + " datagrams sent";
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Public wrapper

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() {
  impl_->Stop();
}
bool Simulator::Start(std::string* error) {
  return impl_->Start(error);
}
void Simulator::Stop() {
  impl_->Stop();
}
bool Simulator::running() const {
  return impl_->running();
}
std::vector<Event> Simulator::Events() const {
  return impl_->record().Events();
}
bool Simulator::WaitFor(std::function<bool(const std::vector<Event>&)> pred,
                        std::chrono::milliseconds timeout) const {
  return impl_->record().WaitFor(pred, timeout);
}
std::string Simulator::Log() const {
  return impl_->record().Log();
}
const Options& Simulator::options() const {
  return impl_->options();
}
int Simulator::AddressPort() const {
  return impl_->AddressPort();
}
int Simulator::PhonePort(int channel) const {
  return impl_->PhonePort(channel);
}
int Simulator::UdpPort(int channel) const {
  return impl_->UdpPort(channel);
}

}  // namespace exsim
