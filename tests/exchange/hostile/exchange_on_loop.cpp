#include "exchange_on_loop.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <future>

extern "C" {
#include <re.h>
}

#include "exchange/farend/builtin_far_ends.h"

namespace exchange::testing {

namespace {

constexpr int kStop = 1;
constexpr int kWork = 2;
// Enough for hundreds of calls over a hundred phone-server addresses (the load tool).
constexpr int kMaxSockets = 8192;

struct Work {
  const std::function<void()>* run;
  std::promise<void> done;
};

void InitLibreOnce() {
  static std::once_flag once;
  std::call_once(once, [] { libre_init(); });
}

}  // namespace

bool ExchangeOnLoop::Start(ExchangeConfig config, std::string* error) {
  if (running_) return true;
  far_ends_.Add("echo", MakeEchoFarEndFactory(0));
  far_ends_.Add("tone", MakeToneFarEndFactory());
  std::promise<void> ready;
  std::future<void> started = ready.get_future();
  thread_ = std::thread(&ExchangeOnLoop::Run, this, std::move(config), error, &ready);
  started.wait();
  if (exchange_ == nullptr) {
    thread_.join();
    return false;
  }
  running_ = true;
  return true;
}

void ExchangeOnLoop::Run(ExchangeConfig config, std::string* error, std::promise<void>* ready) {
  InitLibreOnce();
  if (int err = re_thread_init()) {
    *error = std::string("no event loop: ") + std::strerror(err);
    ready->set_value();
    return;
  }
  fd_setsize(kMaxSockets);
  if (int err = mqueue_alloc(&mqueue_, &ExchangeOnLoop::OnMessage, this)) {
    *error = std::string("no message queue: ") + std::strerror(err);
    re_thread_close();
    ready->set_value();
    return;
  }
  bool search = config.phone_base_port == 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    // A block of eight ports of our own between 40000 and 60000, chosen by the process and the attempt.
    int slot = (static_cast<int>(getpid()) + attempt * 37) % 1250;
    if (search) config.phone_base_port = 40000 + slot * 16;
    if (search && config.voice_port > 0) config.voice_port = config.phone_base_port + 8;  // the block's own
    auto candidate = std::make_unique<Exchange>(config, far_ends_, this);
    if (candidate->Start(error)) {
      exchange_ = std::move(candidate);
      break;
    }
    if (!search) break;
  }
  if (exchange_ == nullptr) {
    mqueue_ = static_cast<struct mqueue*>(mem_deref(mqueue_));
    re_thread_close();
    ready->set_value();
    return;
  }
  address_port_ = exchange_->address_port();
  phone_base_port_ = exchange_->config().phone_base_port;
  ready->set_value();
  re_main(nullptr);
  exchange_.reset();
  mqueue_ = static_cast<struct mqueue*>(mem_deref(mqueue_));
  re_thread_close();
}

void ExchangeOnLoop::Stop() {
  if (!running_) return;
  running_ = false;
  mqueue_push(mqueue_, kStop, nullptr);
  thread_.join();
}

void ExchangeOnLoop::OnMessage(int id, void* data, void* arg) {
  auto* self = static_cast<ExchangeOnLoop*>(arg);
  if (id == kWork) {
    auto* work = static_cast<Work*>(data);
    (*work->run)();
    work->done.set_value();
    return;
  }
  if (self->exchange_) self->exchange_->Shutdown("test finished");
  self->exchange_.reset();
  re_cancel();
}

void ExchangeOnLoop::RunOnLoop(const std::function<void()>& work) {
  if (!running_) return;
  Work w{&work, {}};
  std::future<void> done = w.done.get_future();
  mqueue_push(mqueue_, kWork, &w);
  done.wait();
}

void ExchangeOnLoop::SetDescriptorLimit(int files, int reserve) {
  RunOnLoop([&] { exchange_->SetDescriptorLimit(files, reserve); });
}

int ExchangeOnLoop::open_connections() {
  int n = -1;
  RunOnLoop([&] { n = exchange_->open_connections(); });
  return n;
}

int ExchangeOnLoop::active_calls() {
  int n = -1;
  RunOnLoop([&] { n = exchange_->active_calls(); });
  return n;
}

uint64_t ExchangeOnLoop::LoopCpuNs() {
  uint64_t ns = 0;
  RunOnLoop([&] {
    struct timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    ns = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  });
  return ns;
}

void ExchangeOnLoop::OnEvent(const ExchangeEvent& event) {
  ++counts_[static_cast<size_t>(event.kind)];
  std::lock_guard<std::mutex> lock(texts_mu_);
  if (texts_.size() >= kKeptTexts) texts_.erase(texts_.begin(), texts_.begin() + kKeptTexts / 2);
  texts_.emplace_back(event.kind, event.text);
}

int ExchangeOnLoop::CountWithText(ExchangeEvent::Kind kind, const std::string& part) const {
  std::lock_guard<std::mutex> lock(texts_mu_);
  int n = 0;
  for (const auto& [k, text] : texts_)
    n += k == kind && text.find(part) != std::string::npos;
  return n;
}

std::string ExchangeOnLoop::RecentEvents() const {
  std::lock_guard<std::mutex> lock(texts_mu_);
  std::string out;
  size_t from = texts_.size() > 40 ? texts_.size() - 40 : 0;
  for (size_t i = from; i < texts_.size(); ++i)
    out += std::string(KindName(texts_[i].first)) + ": " + texts_[i].second + "\n";
  return out;
}

}  // namespace exchange::testing
