// A call from the press of the phone button to its end, as the servers see it and as the window
// reports it: the address query, the dial messages, busy channels, a refused number, the far end
// hanging up, and the user leaving in the middle of a call.
#include <algorithm>

#include "client_test.h"

namespace e2e {
namespace {

using std::chrono::duration_cast;

std::string Escaped(const std::string& bytes) {
  std::string out;
  char buf[8];
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

// The 452-byte address query: 4 zero bytes, then seven NUL-padded 64-byte fields of which only the
// first two carry text.
std::string ExpectedAddressQuery() {
  std::string record(452, '\0');
  const std::string request = "{QMVRTEPLOSKANDIRWEXULBO19870524}[GETIP]";
  const std::string code = "274953";
  record.replace(4, request.size(), request);
  record.replace(68, code.size(), code);
  return record;
}

std::string RightAligned(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// Index of the first occurrence of each text in lines, in order; false if one is missing or out of order.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts) {
  auto at = lines.begin();
  for (const std::string& t : texts) {
    at = std::find(at, lines.end(), t);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

long long MsBetween(const Event& a, const Event& b) {
  return duration_cast<milliseconds>(b.when - a.when).count();
}

class Call : public ClientTest {
 protected:
  // Starts the simulator and the client; presses the phone button.
  void PlaceCall(exsim::Options options, int department_row = 0) {
    StartSimulator(std::move(options));
    if (HasFatalFailure()) return;
    LaunchClient();
    if (HasFatalFailure()) return;
    if (department_row != 0) {
      ProbeOk({"select", std::to_string(department_row)});
      ASSERT_EQ(SplitLines(ProbeOk({"rows"})).back(), "selected=" + std::to_string(department_row));
    }
    Press();
  }
};

TEST_F(Call, FullCallSendsTheQueryTheAddressAndTheDialThenHangsUpByClosing) {
  ASSERT_NO_FATAL_FAILURE(PlaceCall(exsim::Options{}, 1));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
  const std::string local = wine().local_address();

  // The address server got exactly the query record and the client closed that connection itself.
  std::vector<Event> queries = EventsOf(Kind::AddressQueryOk);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].bytes.size(), 452u);
  EXPECT_EQ(Escaped(queries[0].bytes), Escaped(ExpectedAddressQuery()));
  EXPECT_EQ(EventCount(Kind::AddressQueryMalformed), 0u);
  ASSERT_TRUE(WaitForEvent(Kind::AddressClosed));
  EXPECT_NE(EventsOf(Kind::AddressClosed)[0].text.find("client closed"), std::string::npos)
      << EventsOf(Kind::AddressClosed)[0].text;

  // One phone connection, on the first channel.
  std::vector<Event> accepted = EventsOf(Kind::ChannelAccepted);
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_EQ(accepted[0].port, 20480);

  // Its local address, right-aligned in 11 characters, then the dial with the second row's extension.
  std::vector<Event> address = EventsOf(Kind::LocalAddressReceived);
  std::vector<Event> dial = EventsOf(Kind::DialReceived);
  ASSERT_EQ(address.size(), 1u);
  ASSERT_EQ(dial.size(), 1u);
  EXPECT_EQ(address[0].bytes, "{MyInNetLocalIP}[" + RightAligned(local, 11) + "]");
  EXPECT_EQ(dial[0].bytes, "{BuoHao}[(" + local + ")3368]");
  EXPECT_EQ(dial[0].dial, "3368");

  // 200 ms after "{ChanelWaitBohao}" the address, 200 ms after that the dial.
  std::vector<Event> tags = EventsOf(Kind::TagSent);
  auto wait_dial =
      std::find_if(tags.begin(), tags.end(), [](const Event& e) { return e.bytes == "{ChanelWaitBohao}"; });
  ASSERT_NE(wait_dial, tags.end());
  EXPECT_GE(MsBetween(*wait_dial, address[0]), 180);
  EXPECT_LE(MsBetween(*wait_dial, address[0]), 1000);
  EXPECT_GE(MsBetween(address[0], dial[0]), 180);
  EXPECT_LE(MsBetween(address[0], dial[0]), 600);

  ASSERT_TRUE(WaitForLine(kDepartment1));
  EXPECT_TRUE(InOrder(Transcript(), {line::kOffHook, line::kContacting, kDepartment1}))
      << JoinLines(Transcript());
  EXPECT_TRUE(WaitForPhoneButton("red"))
      << "off-hook: the handset is lifted; the button shows " << PhoneButtonPicture();
  Image shot;
  int wx, wy;
  ShootWindow("call", &shot, &wx, &wy);

  EXPECT_EQ(EventCount(Kind::ClientClosed), 0u) << "the call is up until the button is pressed again";
  Press();
  // Hanging up reaches the server only as the close of the connection.
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed, 1, milliseconds(10000), 0)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
  EXPECT_EQ(EventCount(Kind::GarbageReceived), 0u);
  EXPECT_EQ(EventCount(Kind::QualityRequestReceived), 0u);
  EXPECT_EQ(EventCount(Kind::LocalAddressReceived), 1u);
  EXPECT_EQ(EventCount(Kind::DialReceived), 1u);
  EXPECT_FALSE(TranscriptHas(line::kFarEndHungUp));
  std::vector<std::string> lines = Transcript();
  EXPECT_EQ(lines.back(), line::kOnHook) << "nothing follows the hang-up line\n" << JoinLines(lines);
  EXPECT_TRUE(WaitForPhoneButton("grey")) << "on-hook again; the button shows " << PhoneButtonPicture();
}

TEST_F(Call, EachRowDialsItsOwnExtensionAndASecondCallWorks) {
  ASSERT_NO_FATAL_FAILURE(PlaceCall(exsim::Options{}, 2));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
  EXPECT_EQ(EventsOf(Kind::DialReceived)[0].dial, "3191");
  EXPECT_TRUE(WaitForLine(kDepartment2));
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));

  // A second call in the same window, from the first row.
  ProbeOk({"select", "0"});
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived, 2)) << Diagnostics();
  EXPECT_EQ(EventsOf(Kind::DialReceived)[1].dial, "3381");
  EXPECT_EQ(EventCount(Kind::AddressQueryOk), 2u) << "each call asks the address server again";
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed, 2)) << Diagnostics();
}

TEST_F(Call, BusyChannelsAreSteppedThroughUntilOneAnswers) {
  exsim::Options options;
  options.busy_channels = 3;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived, 1, milliseconds(20000))) << Diagnostics();
  std::vector<Event> accepted = EventsOf(Kind::ChannelAccepted);
  ASSERT_EQ(accepted.size(), 4u) << Diagnostics();
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(accepted[k].port, 20480 + 2 * static_cast<int>(k)) << "connection " << k + 1;
    EXPECT_EQ(accepted[k].busy, k < 3) << "connection " << k + 1;
  }
  // Each busy channel's connection is closed by the client before it tries the next.
  for (int k = 0; k < 3; ++k) {
    std::vector<Event> closed = EventsOf(Kind::ClientClosed, k);
    ASSERT_EQ(closed.size(), 1u) << "channel " << k;
    EXPECT_LT(closed[0].when, accepted[static_cast<size_t>(k) + 1].when) << "channel " << k;
  }
  EXPECT_EQ(EventsOf(Kind::DialReceived)[0].channel, 3);
  EXPECT_EQ(EventsOf(Kind::DialReceived)[0].dial, "3381");
  EXPECT_TRUE(TranscriptHas(line::kBusyNext) || TranscriptHas(line::kPleaseWait)) << JoinLines(Transcript());
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed, 1, milliseconds(10000), 3)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
}

TEST_F(Call, FourBusyChannelsEndTheStepping) {
  exsim::Options options;
  options.busy_channels = 4;
  options.channels = 5;  // a fifth channel listens: a client that went on would reach it
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForLine(line::kAllBusy, milliseconds(30000))) << Diagnostics();
  Image shot;
  int wx, wy;
  ShootWindow("all-channels-busy", &shot, &wx, &wy);
  std::vector<Event> accepted = EventsOf(Kind::ChannelAccepted);
  ASSERT_EQ(accepted.size(), 4u) << Diagnostics();
  for (size_t k = 0; k < 4; ++k)
    EXPECT_EQ(accepted[k].port, 20480 + 2 * static_cast<int>(k));
  EXPECT_EQ(EventCount(Kind::ChannelAccepted, 4), 0u) << "port 20488 must not be tried";
  EXPECT_EQ(EventCount(Kind::DialReceived), 0u);
  EXPECT_EQ(LogNow().back(), line::kAllBusy) << "the give-up line stays as the last line";
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
  EXPECT_EQ(EventCount(Kind::ChannelAccepted), 4u);
}

TEST_F(Call, RefusedNumberIsReportedAndTheLineStaysUp) {
  exsim::Options options;
  options.refuse = true;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForLine(line::kCheckPassword)) << Diagnostics();
  EXPECT_TRUE(InOrder(Transcript(), {line::kNoRight, line::kCheckPassword})) << JoinLines(Transcript());
  EXPECT_EQ(EventCount(Kind::ClientClosed), 0u) << "the refusal does not end the connection";
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
}

TEST_F(Call, ServerHangUpIsReportedAndTheNextPressOnlyHangsUp) {
  exsim::Options options;
  options.hangup_after_ms = 400;
  options.voice = exsim::VoiceMode::kTone;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForEvent(Kind::ServerClosed)) << Diagnostics();
  ASSERT_TRUE(WaitForLine(line::kFarEndHungUp)) << Diagnostics();
  Image shot;
  int wx, wy;
  ShootWindow("far-end-hung-up", &shot, &wx, &wy);
  EXPECT_EQ(PhoneButtonPicture(), "red") << "the line stays off-hook until the press";
  size_t connections = EventCount(Kind::AddressConnected) + EventCount(Kind::ChannelAccepted);
  Press();
  ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  std::vector<std::string> lines = Transcript();
  auto hung_up = std::find(lines.begin(), lines.end(), line::kFarEndHungUp);
  std::vector<std::string> after(hung_up + 1, lines.end());
  EXPECT_EQ(after, std::vector<std::string>{line::kOnHook}) << "the press only hangs up\n"
                                                            << JoinLines(lines);
  EXPECT_EQ(EventCount(Kind::AddressConnected) + EventCount(Kind::ChannelAccepted), connections)
      << "no new connection";
  EXPECT_EQ(TranscriptCount(line::kFarEndHungUp), 1u);
}

TEST_F(Call, InformationalTagsChangeNothingAndTheEngagedTagAddsItsLine) {
  exsim::Options options;
  options.hello = true;
  options.extra_tags = {"{ZhaiJi}", "{GuaJi}",          "{BuoHao}",   "{BoHaoStop}",
                        "{helo}",   " {ChanelBusyNow}", "{BoHaoNext}"};
  options.extra_tags_after_dial = true;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForLine(line::kEngagedNext)) << Diagnostics();
  ASSERT_TRUE(WaitForEvent(Kind::TagSent, 9)) << Diagnostics();  // {HELO}, {ChanelWaitBohao} and the seven
  EXPECT_EQ(TranscriptCount(line::kEngagedNext), 1u);
  // None of them was taken for a busy channel or a hang-up: one connection, still up, one dial.
  EXPECT_EQ(EventCount(Kind::ChannelAccepted), 1u);
  EXPECT_EQ(EventCount(Kind::ClientClosed), 0u);
  EXPECT_EQ(EventCount(Kind::DialReceived), 1u);
  EXPECT_FALSE(TranscriptHas(line::kBusyNext));
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
}

TEST_F(Call, SecondWaitForNumberDialsAgain) {
  exsim::Options options;
  options.voice = exsim::VoiceMode::kTone;
  options.extra_tags = {"{ChanelWaitBohao}"};
  options.extra_tags_after_dial = true;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived, 2)) << Diagnostics();
  EXPECT_EQ(EventCount(Kind::LocalAddressReceived), 2u);
  std::vector<Event> dial = EventsOf(Kind::DialReceived);
  EXPECT_EQ(dial[0].bytes, dial[1].bytes);
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 60)) << Diagnostics();
  EXPECT_TRUE(Probe({"alive"}).ok());
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook));
  EXPECT_TRUE(client_running());
}

class ExitDuringCall : public Call {
 protected:
  void Run(const std::function<void()>& leave) {
    exsim::Options options;
    options.voice = exsim::VoiceMode::kTone;
    ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
    ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
    // The far end's voice is playing.
    ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 40)) << Diagnostics();
    leave();
    EXPECT_TRUE(client().WaitExit(milliseconds(10000))) << "the client still runs 10 s after leaving";
    EXPECT_TRUE(WaitForEvent(Kind::ClientClosed, 1, milliseconds(5000))) << Diagnostics();
    EXPECT_EQ(EventCount(Kind::ServerClosed), 0u);
    EXPECT_FALSE(TranscriptHas(line::kFarEndHungUp)) << JoinLines(Transcript());
    EXPECT_FALSE(TranscriptHas(line::kOnHook)) << JoinLines(Transcript());
  }
};

TEST_F(ExitDuringCall, EscClosesTheConnectionWithoutTheHangUpLine) {
  Run([this] { ProbeOk({"esc"}); });
}

TEST_F(ExitDuringCall, ExitButtonClosesTheConnectionWithoutTheHangUpLine) {
  Run([this] { Press(kExitButton); });
}

}  // namespace
}  // namespace e2e
