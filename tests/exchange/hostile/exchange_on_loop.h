// A real exchange on a libre event loop of its own thread, for tests and the load tool that reach it over
// loopback sockets. Everything that touches the exchange runs on that thread; the caller waits for it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exchange/net/exchange.h"

struct mqueue;

namespace exchange::testing {

class ExchangeOnLoop : public ExchangeObserver {
 public:
  ExchangeOnLoop() = default;
  ~ExchangeOnLoop() { Stop(); }
  ExchangeOnLoop(const ExchangeOnLoop&) = delete;
  ExchangeOnLoop& operator=(const ExchangeOnLoop&) = delete;

  // Starts the loop thread and the exchange on it. When `config.phone_base_port` is 0, a free block of ports
  // in a high range is found (other test programs on this machine use the standard ones), with the shared
  // voice port, if any, inside it. The far ends are "echo" (target: delay in ms) and "tone".
  bool Start(ExchangeConfig config, std::string* error);
  // Shuts the exchange down on its thread, ends the loop and joins it. Idempotent.
  void Stop();

  // Runs `work` on the loop thread and returns when it has run.
  void RunOnLoop(const std::function<void()>& work);

  int address_port() const { return address_port_; }
  int phone_base_port() const { return phone_base_port_; }
  int open_connections();
  void SetDescriptorLimit(int files, int reserve);
  int active_calls();
  // CPU time the loop thread has used so far, in nanoseconds.
  uint64_t LoopCpuNs();

  // Events seen, by kind; and texts of the latest ones for failure messages.
  int Count(ExchangeEvent::Kind kind) const { return counts_[static_cast<size_t>(kind)].load(); }
  int CountWithText(ExchangeEvent::Kind kind, const std::string& part) const;
  std::string RecentEvents() const;

 private:
  static constexpr size_t kKinds = static_cast<size_t>(ExchangeEvent::Kind::CallEnded) + 1;
  static constexpr size_t kKeptTexts = 400;

  void OnEvent(const ExchangeEvent& event) override;  // on the loop thread
  void Run(ExchangeConfig config, std::string* error, std::promise<void>* ready);
  static void OnMessage(int id, void* data, void* arg);

  std::thread thread_;
  struct mqueue* mqueue_ = nullptr;
  bool running_ = false;
  int address_port_ = 0;
  int phone_base_port_ = 0;

  // The loop thread's own.
  FarEndRegistry far_ends_;
  std::unique_ptr<Exchange> exchange_;

  std::array<std::atomic<int>, kKinds> counts_{};
  mutable std::mutex texts_mu_;
  std::vector<std::pair<ExchangeEvent::Kind, std::string>> texts_;
};

}  // namespace exchange::testing
