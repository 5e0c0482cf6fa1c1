// libre's event loop for tests that run it on the test's own thread: set up once per test program, and run
// until a condition holds or for a while.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include <unistd.h>

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

// Handles whatever the loop's sockets have ready now, without waiting for more. libre takes one datagram
// per socket per pass of its loop, so the loop is held for a few dozen passes by a pipe that always reads
// ready (a timer would not do: timers due at once all fire within a single pass).
inline void PollLoop(int passes = 64) {
  struct Passes {
    int left;
    static void Count(int, void* arg) {
      if (--static_cast<Passes*>(arg)->left <= 0) re_cancel();
    }
  } count{passes};
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], "x", 1), 1);
  ASSERT_EQ(fd_listen(ends[0], FD_READ, &Passes::Count, &count), 0);
  re_main(nullptr);
  fd_close(ends[0]);
  close(ends[0]);
  close(ends[1]);
}

}  // namespace exchange::testing
