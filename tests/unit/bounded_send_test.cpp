#include "platform/bounded_send.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pelvarine {
namespace {

// A connection whose peer reads `room` bytes now and then; waiting moves a fake clock.
class FakeSteps final : public SendSteps {
 public:
  SendOutcome SendSome(const char* data, size_t size, size_t* sent) override {
    ++sends;
    if (fail_send) return SendOutcome::kFailed;
    if (room == 0) return SendOutcome::kWouldBlock;
    *sent = std::min(size, room);
    taken.append(data, *sent);
    room -= *sent;
    return SendOutcome::kSent;
  }
  WaitOutcome WaitWritable(int ms) override {
    waits.push_back(ms);
    if (fail_wait) return WaitOutcome::kFailed;
    int step = std::min(ms, wait_step_ms);
    now += step;
    if (room_after_wait > 0) {
      room = room_after_wait;
      return WaitOutcome::kWritable;
    }
    return WaitOutcome::kTimedOut;
  }
  int64_t NowMs() override { return now; }

  size_t room = 0;
  size_t room_after_wait = 0;
  int wait_step_ms = 20;
  bool fail_send = false;
  bool fail_wait = false;
  int64_t now = 5000;
  int sends = 0;
  std::vector<int> waits;
  std::string taken;
};

TEST(SendWithin, PeerThatStopsReadingEndsTheSendAsAFailureAfterTheGiveUpTime) {
  FakeSteps steps;
  steps.room = 3;  // a little goes, then the buffer stays full
  std::string message = "{BuoHao}[(192.168.1.20)3381]";
  EXPECT_FALSE(SendWithin(steps, message.data(), message.size(), 10000));
  EXPECT_EQ(steps.taken, "{Bu");
  EXPECT_GE(steps.now - 5000, 10000);
  EXPECT_LE(steps.now - 5000, 10000 + steps.wait_step_ms);
  for (int ms : steps.waits)
    EXPECT_LE(ms, 10000);
}

TEST(SendWithin, SlowPeerThatKeepsReadingGetsTheWholeMessage) {
  FakeSteps steps;
  steps.room = 4;
  steps.room_after_wait = 5;
  std::string message(57, 'x');
  message[56] = '}';
  EXPECT_TRUE(SendWithin(steps, message.data(), message.size(), 10000));
  EXPECT_EQ(steps.taken, message);
}

TEST(SendWithin, FailuresEndTheSendAtOnce) {
  FakeSteps failing_send;
  failing_send.fail_send = true;
  EXPECT_FALSE(SendWithin(failing_send, "abc", 3, 10000));
  EXPECT_TRUE(failing_send.waits.empty());

  FakeSteps failing_wait;
  failing_wait.fail_wait = true;
  EXPECT_FALSE(SendWithin(failing_wait, "abc", 3, 10000));
  EXPECT_EQ(failing_wait.waits.size(), 1u);
  EXPECT_EQ(failing_wait.now, 5000);
}

}  // namespace
}  // namespace pelvarine
