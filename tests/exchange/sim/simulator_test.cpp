// Drives the simulator in-process with a fake client over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <sstream>
#include <thread>

#include "exchange_sim.h"
#include "fake_client.h"

namespace exsim_test {
namespace {

using exsim::Event;
using Kind = exsim::Event::Kind;
using std::chrono::milliseconds;

exsim::Options FastOptions() {
  exsim::Options o;
  o.first_tag_delay_ms = 10;
  o.tag_gap_ms = 30;
  o.address_timeout_ms = 400;
  return o;
}

long long Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<milliseconds>(d).count();
}

void SendLocalAddressAndDial(TcpClient& c, const std::string& dial = "3381") {
  ASSERT_TRUE(c.Send(exsim::BuildLocalAddressMessage("10.0.0.1")));
  ASSERT_TRUE(c.Send(exsim::BuildDialMessage("10.0.0.1", dial)));
}

// Connects to channel 0 after an address query and consumes {ChanelWaitBohao}.
void ConnectAndWaitForDialPrompt(const exsim::Simulator& sim, TcpClient* c) {
  ASSERT_TRUE(ConnectPhone(sim, 0, c));
  ASSERT_EQ(c->ReceiveBytes(17, 2000), "{ChanelWaitBohao}");
}

long long SequenceOf(const exsim::ServerVoice& v) {
  EXPECT_FALSE(v.sequence_text.empty());
  EXPECT_EQ(v.sequence_text.find_first_not_of("0123456789"), std::string::npos) << v.sequence_text;
  return std::stoll(v.sequence_text);
}

// ---------------------------------------------------------------------------------------------------

TEST(AddressServer, ValidQueryGetsTheReplyWithThePhoneAddressInField5) {
  exsim::Options o = FastOptions();
  o.phone_ip = "10.20.30.40";
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  std::optional<std::string> reply = AddressExchange(sim->AddressPort(), exsim::BuildAddressQuery());
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 452u);
  EXPECT_EQ(exsim::AddressFieldText(*reply, 5), "10.20.30.40");
  EXPECT_EQ(*reply, exsim::BuildAddressReply("10.20.30.40"));  // everything else zero

  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressClosed, 1), kWait));
  std::vector<Event> ev = sim->Events();
  ASSERT_EQ(exsim::Count(ev, Kind::AddressQueryOk), 1u);
  EXPECT_EQ(exsim::Filter(ev, Kind::AddressQueryOk)[0].call, 1);
  EXPECT_EQ(exsim::Filter(ev, Kind::AddressQueryOk)[0].bytes, exsim::BuildAddressQuery());
  ASSERT_EQ(exsim::Count(ev, Kind::AddressReplySent), 1u);
  EXPECT_EQ(exsim::Filter(ev, Kind::AddressReplySent)[0].bytes, *reply);
  EXPECT_EQ(exsim::Count(ev, Kind::AddressQueryMalformed), 0u);
}

TEST(AddressServer, QueryArrivingInSeveralSegmentsIsAccepted) {
  auto sim = StartSimulator(FastOptions());
  ASSERT_TRUE(sim);
  std::string q = exsim::BuildAddressQuery();
  TcpClient c;
  ASSERT_TRUE(c.Connect(sim->AddressPort()));
  const std::pair<size_t, size_t> pieces[] = {{0, 1}, {1, 100}, {100, 300}, {300, 452}};
  for (auto [begin, end] : pieces) {
    ASSERT_TRUE(c.Send(q.substr(begin, end - begin)));
    std::this_thread::sleep_for(milliseconds(5));  // encourages separate segments; not required
  }
  std::string reply = c.ReceiveBytes(452, 2000);
  EXPECT_EQ(reply, exsim::BuildAddressReply("127.0.0.1"));
}

struct BadQuery {
  std::string name;
  std::string bytes;
  bool close_after = true;  // otherwise leave the connection open (timeout case)
  std::string expected_log;
};

std::vector<BadQuery> BadQueries(int timeout_ms) {
  std::string q = exsim::BuildAddressQuery();
  auto with = [&](size_t offset, std::string_view bytes) {
    std::string r = q;
    r.replace(offset, bytes.size(), bytes);
    return r;
  };
  std::vector<BadQuery> v;
  for (auto [name, record] : std::vector<std::pair<std::string, std::string>>{
           {"reserved", with(0, "\x01")},
           {"field1_text", with(5, "X")},
           {"field1_padding", with(60, "p")},
           {"field1_unterminated", with(4, std::string(64, 'A'))},
           {"field2_text", with(68, "111111")},
           {"field2_padding", with(100, "\x02")},
           {"field4", with(200, "9")},
           {"field7", with(451, "\x01")},
           {"garbage", std::string(452, '\xEE')},
       }) {
    std::string message = exsim::ValidateAddressQuery(record);
    v.push_back({name, record, true, message});
  }
  v.push_back({"empty", "", true, "peer closed without sending anything"});
  v.push_back({"short_closed", q.substr(0, 100), true, "short query: peer closed after 100 of 452 bytes"});
  v.push_back({"short_timeout", q.substr(0, 200), false,
               "short query: only 200 of 452 bytes arrived within " + std::to_string(timeout_ms) + " ms"});
  return v;
}

TEST(AddressServer, MalformedQueriesGetNoReplyAndServingContinues) {
  exsim::Options o = FastOptions();
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  size_t malformed = 0;
  for (const BadQuery& bad : BadQueries(o.address_timeout_ms)) {
    SCOPED_TRACE(bad.name);
    ASSERT_FALSE(bad.expected_log.empty());
    TcpClient c;
    ASSERT_TRUE(c.Connect(sim->AddressPort()));
    ASSERT_TRUE(c.Send(bad.bytes));
    if (bad.close_after) c.ShutdownWrite();
    std::string data;
    EXPECT_TRUE(c.WaitClosed(3000, &data)) << "server did not close";
    EXPECT_EQ(data, "") << "a malformed query must not get a reply";
    ++malformed;
    ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressQueryMalformed, malformed), kWait));
    EXPECT_NE(sim->Log().find(bad.expected_log), std::string::npos) << bad.expected_log;
    EXPECT_EQ(exsim::Filter(sim->Events(), Kind::AddressQueryMalformed).back().bytes, bad.bytes);

    // The server keeps serving.
    std::optional<std::string> reply = AddressExchange(sim->AddressPort(), exsim::BuildAddressQuery());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 452u);
  }
  // The reply can reach the client a moment before its event is recorded.
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressReplySent, malformed), kWait));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::AddressReplySent), malformed);
}

TEST(AddressServer, SilentModeReadsTheQueryButNeverReplies) {
  exsim::Options o = FastOptions();
  o.silent_address = true;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ASSERT_TRUE(c.Connect(sim->AddressPort()));
  ASSERT_TRUE(c.Send(exsim::BuildAddressQuery()));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressQueryOk, 1), kWait));
  // Longer than the address timeout: still neither data nor close.
  EXPECT_FALSE(c.ReceiveChunk(o.address_timeout_ms + 200));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::AddressReplySent), 0u);
  c.Close();
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressClosed, 1), kWait));
  EXPECT_NE(sim->Log().find("client closed"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------------

TEST(PhoneServer, BusyChannelsStepTheClientToTheNextPorts) {
  exsim::Options o = FastOptions();
  o.busy_channels = 2;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  ASSERT_TRUE(AddressExchange(sim->AddressPort(), exsim::BuildAddressQuery()));
  for (int k = 0; k < 2; ++k) {
    TcpClient busy;
    ASSERT_TRUE(busy.Connect(sim->PhonePort(k)));
    EXPECT_EQ(busy.ReceiveBytes(15, 2000), "{ChanelBusyNow}") << "channel " << k;
  }
  TcpClient answer;
  ASSERT_TRUE(answer.Connect(sim->PhonePort(2)));
  EXPECT_EQ(answer.ReceiveBytes(17, 2000), "{ChanelWaitBohao}");
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ClientClosed, 2), kWait));

  std::vector<Event> accepted = exsim::Filter(sim->Events(), Kind::ChannelAccepted);
  ASSERT_EQ(accepted.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(accepted[k].channel, k);
    EXPECT_EQ(accepted[k].port, sim->PhonePort(k));
    EXPECT_EQ(accepted[k].connection, k + 1);
    EXPECT_EQ(accepted[k].busy, k < 2);
    EXPECT_EQ(accepted[k].call, 1);
  }
  std::vector<Event> closed = exsim::Filter(sim->Events(), Kind::ClientClosed);
  EXPECT_EQ(closed[0].channel, 0);
  EXPECT_EQ(closed[1].channel, 1);

  // A new address query starts a new call: channel 0 is busy again.
  ASSERT_TRUE(AddressExchange(sim->AddressPort(), exsim::BuildAddressQuery()));
  TcpClient again;
  ASSERT_TRUE(again.Connect(sim->PhonePort(0)));
  EXPECT_EQ(again.ReceiveBytes(15, 2000), "{ChanelBusyNow}");
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ChannelAccepted, 4), kWait));
  Event fourth = exsim::Filter(sim->Events(), Kind::ChannelAccepted)[3];
  EXPECT_EQ(fourth.call, 2);
  EXPECT_EQ(fourth.connection, 1);
  EXPECT_TRUE(fourth.busy);
}

TEST(PhoneServer, TagsArriveInOrderEachAsItsOwnChunk) {
  exsim::Options o = FastOptions();
  o.hello = true;
  o.tag_gap_ms = 80;
  o.extra_tags = {"{BoHaoNext}", "{GuaJi}"};
  auto sim = StartSimulator(o, /*want_udp_override=*/true);
  ASSERT_TRUE(sim);
  TcpClient c;
  ASSERT_TRUE(ConnectPhone(*sim, 0, &c));
  std::vector<std::string> expected = {
      "{HELO}", "{RemoteUDPPort}[" + std::to_string(sim->options().udp_port_override) + "]",
      "{ChanelWaitBohao}", "{BoHaoNext}", "{GuaJi}"};
  for (const std::string& tag : expected) {
    std::optional<std::string> chunk = c.ReceiveChunk(2000);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(*chunk, tag);
  }
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::TagSent, expected.size(), 0), kWait));
  std::vector<Event> sent = exsim::Filter(sim->Events(), Kind::TagSent, 0);
  ASSERT_EQ(sent.size(), expected.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].bytes, expected[i]);
    if (i > 0) {
      EXPECT_GE(Ms(sent[i].when - sent[i - 1].when), o.tag_gap_ms - 1) << i;
    }
  }
}

TEST(PhoneServer, ClientMessagesAreParsedFromSplitAndJoinedSegments) {
  auto sim = StartSimulator(FastOptions());
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  ASSERT_TRUE(c.Send("{MyInNetLoc"));
  std::this_thread::sleep_for(milliseconds(20));  // encourages a split; the result must not depend on it
  ASSERT_TRUE(c.Send("alIP}[   10.0.0.1]"));
  ASSERT_TRUE(c.Send(std::string("{BuoHao}[(10.0.0.1)3381]{ZhiLiangCha}junk\x01", 42)));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::GarbageReceived, 1), kWait));
  std::vector<Event> ev = sim->Events();

  std::vector<Event> local = exsim::Filter(ev, Kind::LocalAddressReceived, 0);
  ASSERT_EQ(local.size(), 1u);
  EXPECT_EQ(local[0].local_address, "10.0.0.1");
  EXPECT_EQ(local[0].bytes, "{MyInNetLocalIP}[   10.0.0.1]");
  std::vector<Event> dial = exsim::Filter(ev, Kind::DialReceived, 0);
  ASSERT_EQ(dial.size(), 1u);
  EXPECT_EQ(dial[0].dial, "3381");
  EXPECT_EQ(dial[0].local_address, "10.0.0.1");
  EXPECT_EQ(exsim::Count(ev, Kind::QualityRequestReceived, 0), 1u);
  std::vector<Event> garbage = exsim::Filter(ev, Kind::GarbageReceived, 0);
  ASSERT_EQ(garbage.size(), 1u);
  EXPECT_EQ(garbage[0].bytes, "junk\x01");
  EXPECT_NE(sim->Log().find("junk\\x01"), std::string::npos);
}

TEST(PhoneServer, RefuseAnswersTheDialAndKeepsTheConnectionOpen) {
  exsim::Options o = FastOptions();
  o.refuse = true;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  SendLocalAddressAndDial(c);
  EXPECT_EQ(c.ReceiveBytes(32, 2000), "{PasswordOrTelphoneNumberFailed}");
  // Still open and served.
  ASSERT_TRUE(c.Send("{ZhiLiangCha}"));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::QualityRequestReceived, 1), kWait));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::ServerClosed), 0u);
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::VoiceStarted), 0u);
}

TEST(PhoneServer, QualityFlagAnswersTheDialWithAQualityRequest) {
  exsim::Options o = FastOptions();
  o.quality = true;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  EXPECT_FALSE(c.ReceiveChunk(100)) << "the quality request must wait for the dial";
  SendLocalAddressAndDial(c);
  EXPECT_EQ(c.ReceiveBytes(13, 2000), "{ZhiLiangCha}");
}

TEST(PhoneServer, HangUpAfterDelayClosesTheConnection) {
  exsim::Options o = FastOptions();
  o.hangup_after_ms = 200;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  auto sent_at = std::chrono::steady_clock::now();
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(c.WaitClosed(3000));
  EXPECT_GE(Ms(std::chrono::steady_clock::now() - sent_at), 200);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ServerClosed, 1), kWait));
  std::vector<Event> ev = sim->Events();
  Event dial = exsim::Filter(ev, Kind::DialReceived)[0];
  Event closed = exsim::Filter(ev, Kind::ServerClosed)[0];
  EXPECT_EQ(closed.channel, 0);
  EXPECT_GE(Ms(closed.when - dial.when), 200);
  EXPECT_LT(Ms(closed.when - dial.when), 1000);
  EXPECT_EQ(exsim::Count(ev, Kind::ClientClosed), 0u);
}

TEST(PhoneServer, ExtraTagsCanBeSentAfterTheDial) {
  exsim::Options o = FastOptions();
  o.extra_tags = {"{GuaJi}"};
  o.extra_tags_after_dial = true;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  EXPECT_FALSE(c.ReceiveChunk(150));
  SendLocalAddressAndDial(c);
  EXPECT_EQ(c.ReceiveBytes(7, 2000), "{GuaJi}");
}

TEST(PhoneServer, SilentPhoneAcceptsButNeverSendsATag) {
  exsim::Options o = FastOptions();
  o.silent_phone = true;
  o.busy_channels = 1;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ASSERT_TRUE(ConnectPhone(*sim, 0, &c));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ChannelAccepted, 1), kWait));
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::DialReceived, 1), kWait));
  EXPECT_FALSE(c.ReceiveChunk(300));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::TagSent), 0u);
}

TEST(PhoneServer, SurvivesEarlyClosesResetsAndDoubleConnects) {
  auto sim = StartSimulator(FastOptions());
  ASSERT_TRUE(sim);
  {
    TcpClient early;
    ASSERT_TRUE(ConnectPhone(*sim, 0, &early));
  }  // closed before any tag
  {
    TcpClient reset;
    ASSERT_TRUE(reset.Connect(sim->PhonePort(1)));
    ASSERT_TRUE(reset.Send("{MyInNetLocalIP}[  1"));
    linger l{1, 0};
    setsockopt(reset.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }  // reset with a partial message pending
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ClientClosed, 2), kWait));

  // A channel carries one call: a second connection to it while the first holds it is told it is busy, and
  // its dial goes nowhere.
  TcpClient first;
  TcpClient second;
  ASSERT_TRUE(first.Connect(sim->PhonePort(0)));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ChannelAccepted, 3), kWait));
  ASSERT_TRUE(second.Connect(sim->PhonePort(0)));
  EXPECT_EQ(first.ReceiveBytes(17, 2000), "{ChanelWaitBohao}");
  EXPECT_EQ(second.ReceiveBytes(15, 2000), "{ChanelBusyNow}");
  SendLocalAddressAndDial(second);
  first.Close();
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::ClientClosed, 3), kWait));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::DialReceived, 1), kWait));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::FarEndStarted), 0u);

  std::optional<std::string> reply = AddressExchange(sim->AddressPort(), exsim::BuildAddressQuery());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 452u);
  TcpClient next;
  ASSERT_TRUE(next.Connect(sim->PhonePort(0)));
  EXPECT_EQ(next.ReceiveBytes(17, 2000), "{ChanelWaitBohao}");
}

// ---------------------------------------------------------------------------------------------------

TEST(Voice, ToneDatagramsHaveTheLayoutAndGoToTheClientSourceAddress) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 10;
  // Voice goes to the client's own port from the dial on, as to a client not behind NAT.
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  o.client_udp_port = u.port();
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  // The client starts talking once it has dialled; the exchange takes no voice before.
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStarted, 1), kWait));
  ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, std::string(128, '\x55'))));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceReceived, 1), kWait));
  Event in = exsim::Filter(sim->Events(), Kind::VoiceReceived)[0];
  EXPECT_EQ(in.channel, 0);
  EXPECT_EQ(in.sequence, 1);
  EXPECT_EQ(in.bytes.size(), 144u);
  EXPECT_EQ(in.peer, "127.0.0.1:" + std::to_string(u.port()));
  EXPECT_EQ(in.port, sim->UdpPort(0));

  long long previous = 0;
  for (int i = 0; i < 10; ++i) {
    std::optional<std::string> d = u.Receive(2000);
    ASSERT_TRUE(d) << "datagram " << i;
    ASSERT_EQ(d->size(), 160u);
    EXPECT_EQ(d->substr(0, 16), std::string("10.0.0.1\0\0\0\0\0\0\0\0", 16));
    std::optional<exsim::ServerVoice> v = exsim::ParseServerVoice(*d);
    ASSERT_TRUE(v);
    long long seq = SequenceOf(*v);
    EXPECT_EQ(seq, previous + 1);
    previous = seq;
    EXPECT_EQ(d->substr(16 + v->sequence_text.size(), 16 - v->sequence_text.size()),
              std::string(16 - v->sequence_text.size(), '\0'));
    std::vector<int> x;
    for (char b : v->audio)
      x.push_back(exsim::AlawDecode(static_cast<std::uint8_t>(b)));
    for (size_t k = 0; k + 4 < x.size(); ++k)
      ASSERT_NEAR(x[k + 4], -x[k], 1100) << "not a 1 kHz tone";
  }
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceSent, 10, 0), kWait));
  std::vector<Event> sent = exsim::Filter(sim->Events(), Kind::VoiceSent, 0);
  EXPECT_EQ(sent[0].peer, "127.0.0.1:" + std::to_string(u.port()));
  EXPECT_EQ(sent[0].sequence, 1);
  // Nine intervals of 10 ms, kept to the pacer's schedule: a first datagram sent late is followed by the
  // next ones at once until the schedule is caught up (up to five blocks behind), so the span may be that
  // much shorter on a busy machine, but never a burst.
  long long span = Ms(sent[9].when - sent[0].when);
  EXPECT_GE(span, 30);
  EXPECT_LE(span, 500);
}

TEST(Voice, DestinationIsTheClientPortUntilAClientDatagramIsSeen) {
  UdpClient first_port;
  ASSERT_TRUE(first_port.Bind());
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 10;
  o.client_udp_port = first_port.port();
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  SendLocalAddressAndDial(c);
  std::optional<std::string> d = first_port.Receive(2000);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size(), 160u);

  UdpClient source;
  ASSERT_TRUE(source.Bind());
  ASSERT_TRUE(source.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, "")));
  std::optional<std::string> moved = source.Receive(2000);
  ASSERT_TRUE(moved) << "voice did not follow the client's source address";
  EXPECT_EQ(moved->size(), 160u);
}

TEST(Voice, CountAndAddressOverrideAreHonoured) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 5;
  o.voice_count = 5;
  o.voice_address = "6.6.6.6";
  // Voice goes to the client's own port from the dial on, as to a client not behind NAT.
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  o.client_udp_port = u.port();
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStarted, 1), kWait));
  ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, "")));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStopped, 1), kWait));
  EXPECT_EQ(exsim::Filter(sim->Events(), Kind::VoiceStopped)[0].sequence, 5);
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::VoiceSent), 5u);
  for (int i = 0; i < 5; ++i) {
    std::optional<std::string> d = u.Receive(1000);
    ASSERT_TRUE(d);
    std::optional<exsim::ServerVoice> v = exsim::ParseServerVoice(*d);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->address_text, "6.6.6.6");
  }
  EXPECT_FALSE(u.Receive(50)) << "more than the configured count";
}

TEST(Voice, EchoReturnsTheAudioOfEachClientDatagramAfterTheDial) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kEcho;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, std::string(128, 'z'))));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceReceived, 1), kWait));
  EXPECT_FALSE(u.Receive(100)) << "echo before the dial";

  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStarted, 1), kWait));
  const std::string payloads[] = {std::string(128, 'a'), std::string(64, 'b') + std::string(64, 'c'),
                                  std::string(128, '\x00')};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(i + 2, payloads[i])));
    std::optional<std::string> d = u.Receive(2000);
    ASSERT_TRUE(d);
    std::optional<exsim::ServerVoice> v = exsim::ParseServerVoice(*d);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->audio, payloads[i]);
    EXPECT_EQ(v->address_text, "10.0.0.1");
    EXPECT_EQ(SequenceOf(*v), i + 1);
  }
}

TEST(Voice, UdpPortOverrideListensOnTheAnnouncedPort) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 10;
  auto sim = StartSimulator(o, /*want_udp_override=*/true);
  ASSERT_TRUE(sim);
  int port = sim->options().udp_port_override;
  TcpClient c;
  ASSERT_TRUE(ConnectPhone(*sim, 0, &c));
  std::string expected = exsim::BuildRemoteUdpPortTag(port) + "{ChanelWaitBohao}";
  ASSERT_EQ(c.ReceiveBytes(expected.size(), 2000), expected);
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStarted, 1), kWait));
  ASSERT_TRUE(u.SendTo(port, exsim::BuildClientVoice(7, "")));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceReceived, 1), kWait));
  Event in = exsim::Filter(sim->Events(), Kind::VoiceReceived)[0];
  EXPECT_EQ(in.port, port);
  EXPECT_EQ(in.channel, 0);
  EXPECT_EQ(in.sequence, 7);
  std::optional<std::string> d = u.Receive(2000);
  ASSERT_TRUE(d) << "voice did not go to the source of the datagrams on the override port";
  EXPECT_EQ(d->size(), 160u);
}

TEST(Voice, StopsWhenTheClientHangsUp) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 5;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, "")));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceReceived, 1), kWait));
  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceSent, 3), kWait));
  c.Close();
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStopped, 1), kWait));
  std::vector<Event> ev = sim->Events();
  Event closed = exsim::Filter(ev, Kind::ClientClosed)[0];
  Event stopped = exsim::Filter(ev, Kind::VoiceStopped)[0];
  EXPECT_EQ(closed.channel, 0);
  EXPECT_LE(closed.when, stopped.when);
  auto sent_after_stop = [&](const std::vector<Event>& events) {
    for (const Event& e : events) {
      if (e.kind == Kind::VoiceSent && e.when > stopped.when) return true;
    }
    return false;
  };
  EXPECT_FALSE(sim->WaitFor(sent_after_stop, milliseconds(60)));
}

// ---------------------------------------------------------------------------------------------------

TEST(Hostile, GarbageAndFloodStillEndInANormalCall) {
  exsim::Options o = FastOptions();
  o.hostile = true;
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 10;
  // Voice goes to the client's own port from the dial on, as to a client not behind NAT.
  UdpClient u;
  ASSERT_TRUE(u.Bind());
  o.client_udp_port = u.port();
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ASSERT_TRUE(ConnectPhone(*sim, 0, &c));
  std::string expected;
  for (const std::string& chunk : exsim::HostileTcpChunks(o.hostile_seed))
    expected += chunk;
  expected += "{ChanelWaitBohao}";
  ASSERT_EQ(c.ReceiveBytes(expected.size(), 5000), expected);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::TagSent, 8, 0), kWait));
  EXPECT_EQ(exsim::Count(sim->Events(), Kind::TagSent, 0), 8u);

  SendLocalAddressAndDial(c);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStarted, 1), kWait));
  ASSERT_TRUE(u.SendTo(sim->UdpPort(0), exsim::BuildClientVoice(1, "")));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::HostileVoiceSent, 1), kWait));

  std::vector<size_t> first_sizes;
  bool normal_voice_after_flood = false;
  for (int i = 0; i < 20000 && !normal_voice_after_flood; ++i) {
    std::optional<std::string> d = u.Receive(2000);
    ASSERT_TRUE(d) << "voice stopped arriving after " << i << " datagrams";
    if (first_sizes.size() < 7) first_sizes.push_back(d->size());
    std::optional<exsim::ServerVoice> v = exsim::ParseServerVoice(*d);
    if (v && v->address_text == "10.0.0.1" && !v->sequence_text.empty() &&
        v->sequence_text.find_first_not_of("0123456789") == std::string::npos &&
        v->sequence_text.size() < 16 && std::stoll(v->sequence_text) > o.hostile_flood) {
      normal_voice_after_flood = true;
    }
  }
  EXPECT_TRUE(normal_voice_after_flood);
  for (size_t size : {2000u, 0u, 1u}) {
    EXPECT_NE(std::find(first_sizes.begin(), first_sizes.end(), size), first_sizes.end()) << size;
  }
  Event hostile = exsim::Filter(sim->Events(), Kind::HostileVoiceSent)[0];
  EXPECT_GE(hostile.sequence, o.hostile_flood / 2);  // nearly all of the flood left the socket

  // The client hangs up cleanly and the next call is served.
  c.Close();
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceStopped, 1), kWait));
  TcpClient next;
  ASSERT_TRUE(ConnectPhone(*sim, 0, &next));
  EXPECT_EQ(next.ReceiveBytes(expected.size(), 5000), expected);
}

// ---------------------------------------------------------------------------------------------------

TEST(Lifecycle, StopIsPromptClosesEverythingAndFreesThePorts) {
  exsim::Options o = FastOptions();
  o.voice = exsim::VoiceMode::kTone;
  o.voice_pace_ms = 5;
  o.address_timeout_ms = 60000;
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient half_query;
  ASSERT_TRUE(half_query.Connect(sim->AddressPort()));
  ASSERT_TRUE(half_query.Send(exsim::BuildAddressQuery().substr(0, 10)));
  TcpClient call;
  ConnectAndWaitForDialPrompt(*sim, &call);
  SendLocalAddressAndDial(call);
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::VoiceSent, 2), kWait));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::AddressConnected, 2), kWait));

  auto before = std::chrono::steady_clock::now();
  sim->Stop();
  EXPECT_LT(Ms(std::chrono::steady_clock::now() - before), 300);
  EXPECT_FALSE(sim->running());
  EXPECT_TRUE(half_query.WaitClosed(1000));
  EXPECT_TRUE(call.WaitClosed(1000));
  std::vector<Event> ev = sim->Events();
  EXPECT_EQ(ev.back().kind, Kind::Stopped);
  EXPECT_EQ(exsim::Count(ev, Kind::ServerClosed, 0), 1u);
  EXPECT_EQ(exsim::Count(ev, Kind::VoiceStopped, 0), 1u);
  TcpClient refused;
  EXPECT_FALSE(refused.Connect(sim->PhonePort(0)));
  EXPECT_FALSE(refused.Connect(sim->AddressPort()));
  sim->Stop();  // idempotent

  exsim::Options same = sim->options();
  same.address_port = sim->AddressPort();
  exsim::Simulator again(same);
  std::string error;
  EXPECT_TRUE(again.Start(&error)) << error;
}

TEST(Lifecycle, StartReportsBindFailuresAndBadOptions) {
  auto sim = StartSimulator(FastOptions());
  ASSERT_TRUE(sim);
  std::string error;

  exsim::Options clash = sim->options();
  clash.address_port = 0;
  exsim::Simulator second(clash);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find(std::to_string(sim->PhonePort(0))), std::string::npos) << error;

  exsim::Options bad = FastOptions();
  bad.channels = 0;
  exsim::Simulator invalid(bad);
  EXPECT_FALSE(invalid.Start(&error));
  EXPECT_NE(error.find("channels"), std::string::npos) << error;

  EXPECT_FALSE(sim->Start(&error));
  EXPECT_EQ(error, "already started");
  EXPECT_TRUE(sim->running());
}

TEST(Log, LinesHaveTimestampsAndShowGbkAsUtf8) {
  std::ostringstream stream;
  std::vector<std::string> callback_lines;
  exsim::Options o = FastOptions();
  o.log_stream = &stream;
  o.log_callback = [&](const std::string& line) { callback_lines.push_back(line); };
  auto sim = StartSimulator(o);
  ASSERT_TRUE(sim);
  TcpClient c;
  ConnectAndWaitForDialPrompt(*sim, &c);
  ASSERT_TRUE(c.Send(exsim::BuildDialMessage("10.0.0.1", "\xC4\xE3\xBA\xC3")));
  ASSERT_TRUE(sim->WaitFor(HasAtLeast(Kind::DialReceived, 1), kWait));
  EXPECT_EQ(exsim::Filter(sim->Events(), Kind::DialReceived)[0].dial, "\xC4\xE3\xBA\xC3");
  sim->Stop();

  std::string log = sim->Log();
  EXPECT_NE(log.find("dial \"你好\""), std::string::npos) << log;
  EXPECT_EQ(stream.str(), log);
  std::istringstream lines(log);
  std::string line;
  size_t count = 0;
  const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(sim|address|ch\d+)\] [A-Za-z]+( .*)?)");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, format)) << line;
    ASSERT_LT(count, callback_lines.size());
    EXPECT_EQ(callback_lines[count], line);
    ++count;
  }
  EXPECT_EQ(count, callback_lines.size());
  EXPECT_EQ(count, sim->Events().size());
}

}  // namespace
}  // namespace exsim_test
