// What a simulator did, kept for its tests and written as log lines: safe to read from any thread while the
// exchange's thread adds to it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "exchange/call/call_events.h"
#include "exchange_sim.h"

namespace exsim {

// The simulator's form of an exchange event: owns its texts, stamped with the time it was seen.
Event ToSimEvent(const exchange::ExchangeEvent& event);

class EventRecord {
 public:
  explicit EventRecord(const Options& options) : options_(options) {}

  // Stamps, keeps and logs one event, then wakes WaitFor. Called from one thread at a time.
  void Add(Event event);

  std::vector<Event> Events() const;
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred,
               std::chrono::milliseconds timeout) const;
  std::string Log() const;

 private:
  bool ShouldLogVoice();

  const Options& options_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
  std::deque<std::string> log_lines_;
  unsigned long long voice_log_counter_ = 0;
};

}  // namespace exsim
