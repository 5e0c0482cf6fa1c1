// What the user sees when a call cannot be made: no address server, no phone server, no sound card.
#include "client_test.h"

namespace e2e {
namespace {

class CallFailure : public ClientTest {};

TEST_F(CallFailure, NoAddressServerGivesErr002AndThePressAfterHangsUp) {
  exsim::Options options;
  options.address_port = 0;  // nothing listens on 32765; the phone channels do
  ASSERT_NO_FATAL_FAILURE(StartSimulator(options));
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(WaitForLine(line::kErr002)) << Diagnostics();
  EXPECT_EQ(EventCount(Kind::ChannelAccepted), 0u);
  EXPECT_EQ(LogNow(), (std::vector<std::string>{line::kOffHook, line::kErr002}));
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_EQ(EventCount(Kind::ChannelAccepted), 0u);
}

TEST_F(CallFailure, NoPhoneServerGivesErr007) {
  exsim::Options options;
  options.phone_base_port = 24480;  // the reply names 127.0.0.1, where nothing listens on 20480
  ASSERT_NO_FATAL_FAILURE(StartSimulator(options));
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::AddressReplySent)) << Diagnostics();
  ASSERT_TRUE(WaitForLine(line::kErr007)) << Diagnostics();
  EXPECT_EQ(EventCount(Kind::ChannelAccepted), 0u) << "the simulator's own channels are elsewhere";
  EXPECT_EQ(LogNow(), (std::vector<std::string>{line::kOffHook, line::kErr007}));
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
}

TEST_F(CallFailure, NoSoundCardReportsErr012AndLeavesThePhoneButtonInert) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator(exsim::Options{}));
  ASSERT_NO_FATAL_FAILURE(LaunchClient(Profile::kNoSound));
  std::vector<std::string> expected = {line::kErr012, line::kUnusable};
  EXPECT_EQ(LogNow(), expected);
  Image shot;
  int wx, wy;
  ShootWindow("no-sound-card", &shot, &wx, &wy);
  // The list is filled all the same; the online light never blinks (its timer is not started).
  std::vector<std::string> rows = SplitLines(ProbeOk({"rows"}));
  EXPECT_EQ(rows, (std::vector<std::string>{kDepartment0, kDepartment1, kDepartment2, "selected=0"}));
  std::string watched = ProbeOk({"watch-lights", "1000", "20"});
  EXPECT_EQ(watched, "online_flips=0 talking_flips=0\n");

  Press();
  // Nothing can show that a press did nothing: give it time to do something.
  EXPECT_FALSE(sim().WaitFor(
      [](const std::vector<Event>& events) { return exsim::Count(events, Kind::AddressConnected) > 0; },
      milliseconds(2000)))
      << "a press without a sound card reached the address server";
  EXPECT_EQ(LogNow(), expected) << "a press adds no line";
  EXPECT_TRUE(client_running());
}

}  // namespace
}  // namespace e2e
