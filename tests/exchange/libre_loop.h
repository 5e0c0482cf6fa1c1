// libre's event loop for tests that run it on the test's own thread: set up once per test program, and run
// until a condition holds or for a while.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

extern "C" {
#include <re.h>
}

namespace exchange::testing {

// Register once per test program: testing::AddGlobalTestEnvironment(new LibreEnvironment).
class LibreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(libre_init(), 0); }
  void TearDown() override { libre_close(); }
};

// Runs libre's loop until `done` holds (checked every 5 ms) or `timeout_ms` has passed; returns whether
// `done` held.
inline bool RunLoopUntil(const std::function<bool()>& done, uint64_t timeout_ms) {
  struct Watch {
    const std::function<bool()>* done;
    uint64_t deadline;
    struct tmr timer;
    static void Check(void* arg) {
      auto* self = static_cast<Watch*>(arg);
      if ((*self->done)() || tmr_jiffies() >= self->deadline) {
        re_cancel();
        return;
      }
      tmr_start(&self->timer, 5, &Watch::Check, self);
    }
  } watch{&done, tmr_jiffies() + timeout_ms, {}};
  if (done()) return true;
  tmr_init(&watch.timer);
  tmr_start(&watch.timer, 5, &Watch::Check, &watch);
  re_main(nullptr);
  tmr_cancel(&watch.timer);
  return done();
}

inline void RunLoopFor(uint64_t ms) {
  RunLoopUntil([] { return false; }, ms);
}

}  // namespace exchange::testing
