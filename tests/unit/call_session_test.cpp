#include "call/call_session.h"

#include "client_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CallSessionTest : public ClientTest {
 protected:
  void SetUp() override {
    Start();
    ClearLog();
  }

  // A call that has reached the dial: the phone server waits for the number.
  StreamRecord& Talking() {
    StreamRecord& phone = PressAndReply();
    Server("{ChanelWaitBohao}");
    return phone;
  }
};

TEST_F(CallSessionTest, FullCallQueriesConnectsDialsAndHangsUp) {
  Press();
  EXPECT_EQ(stage(), CallStage::kQuerying);
  StreamRecord& address = *network.LastStream();
  EXPECT_EQ(address.address, kTestAddressServer);
  EXPECT_EQ(address.port, 32765);
  ASSERT_EQ(address.sends.size(), 1u);
  AddressQueryRecord query = BuildAddressQuery();
  EXPECT_EQ(address.sends[0], std::string(query.bytes.begin(), query.bytes.end()));

  Reply(address, "10.0.0.9");
  EXPECT_TRUE(address.closed);
  EXPECT_TRUE(address.destroyed);
  StreamRecord& phone = Phone();
  EXPECT_EQ(phone.address, "10.0.0.9");
  EXPECT_EQ(phone.port, 20480);
  EXPECT_EQ(stage(), CallStage::kWaiting);
  ASSERT_NE(network.LastDatagram(), nullptr);
  EXPECT_EQ(network.LastDatagram()->port, 20001);
  EXPECT_EQ(state().remote_udp_port, 20481);
  EXPECT_EQ(state().phone_server_ipv4, network.peer_ipv4);

  clock.sleeps.clear();
  Server("{ChanelWaitBohao}");
  EXPECT_THAT(phone.sends, ElementsAre("{MyInNetLocalIP}[192.168.1.20]", "{BuoHao}[(192.168.1.20)3381]"));
  EXPECT_THAT(clock.Sleeps(), ElementsAre(200, 200));
  EXPECT_TRUE(client->audio().CaptureOpen());
  EXPECT_TRUE(client->audio().PlaybackOpen());
  EXPECT_EQ(stage(), CallStage::kTalking);
  EXPECT_THAT(Lines(), ElementsAre(u8"已摘机...", u8"正在联系", u8"订房电话"));

  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
  EXPECT_EQ(stage(), CallStage::kIdle);
  EXPECT_FALSE(client->audio().CaptureOpen());
  EXPECT_FALSE(client->audio().PlaybackOpen());
  EXPECT_TRUE(phone.closed && phone.destroyed);
  EXPECT_EQ(network.OpenStreamCount(), 0);
  EXPECT_EQ(network.OpenDatagramCount(), 0);
  EXPECT_FALSE(controls.talking_light);
}

TEST_F(CallSessionTest, DialsTheSelectedDepartmentAndUsesRowZeroWhenNoneIsSelected) {
  controls.selected = 2;
  Talking();
  EXPECT_EQ(Phone().sends.at(1), "{BuoHao}[(192.168.1.20)3191]");
  EXPECT_EQ(AllLines().at(2), u8"营销中心");
  Press();

  controls.selected = -1;
  Talking();
  EXPECT_EQ(Phone().sends.at(1), "{BuoHao}[(192.168.1.20)3381]");
}

TEST_F(CallSessionTest, PhoneButtonIsInertWithoutASoundCard) {
  session().SetAudioReady(false);
  Press();
  EXPECT_THAT(Lines(), IsEmpty());
  EXPECT_FALSE(state().off_hook);
  EXPECT_TRUE(network.streams.empty());
}

TEST_F(CallSessionTest, BusyChannelsStepToTheNextPortsAndReleaseTheRefusedVoicePort) {
  PressAndReply();
  for (int busy = 1; busy <= 3; ++busy) {
    Server("{ChanelBusyNow}");
    EXPECT_EQ(Phone().port, 20480 + 2 * busy);
    EXPECT_EQ(state().remote_udp_port, 20481 + 2 * busy);
    // The refused channel's socket went first, so each channel binds the first port again.
    EXPECT_EQ(network.LastDatagram()->port, 20001);
    EXPECT_EQ(network.OpenDatagramCount(), 1);
    EXPECT_EQ(network.OpenStreamCount(), 1);
  }
  std::vector<uint16_t> ports;
  for (const auto& s : network.streams)
    ports.push_back(s->port);
  EXPECT_THAT(ports, ElementsAre(32765, 20480, 20482, 20484, 20486));
  Server("{ChanelWaitBohao}");
  EXPECT_EQ(stage(), CallStage::kTalking);
  EXPECT_EQ(state().remote_udp_port, 20487);
  EXPECT_THAT(
      AllLines(),
      ElementsAre(u8"已摘机...", u8"连接未接纳，请求下一通道.", u8"请稍候...", u8"连接未接纳，请求下一通道.",
                  u8"请稍候...", u8"连接未接纳，请求下一通道.", u8"请稍候...", u8"正在联系", u8"订房电话"));
}

TEST_F(CallSessionTest, FourthBusyReplyStopsTheSteppingAndTheNextPressOnlyHangsUp) {
  PressAndReply();
  for (int busy = 1; busy <= 4; ++busy)
    Server("{ChanelBusyNow}");
  EXPECT_EQ(stage(), CallStage::kStalled);
  EXPECT_EQ(network.streams.size(), 5u);  // the query and four channels, no fifth connection
  EXPECT_EQ(state().phone_server_tcp_port, 20488);
  EXPECT_EQ(state().remote_udp_port, 20489);
  EXPECT_EQ(AllLines().back(), u8"被叫方通道忙请稍后再拨");
  EXPECT_EQ(network.OpenStreamCount(), 0);
  EXPECT_EQ(network.OpenDatagramCount(), 0);

  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
  EXPECT_EQ(stage(), CallStage::kIdle);
}

TEST_F(CallSessionTest, RemoteUdpPortHoldsUntilTheNextBusyReply) {
  PressAndReply();
  Server("{RemoteUDPPort}[30000]");
  EXPECT_EQ(state().remote_udp_port, 30000);
  Server("{ChanelBusyNow}");
  EXPECT_EQ(state().remote_udp_port, 20483);
  Server("{RemoteUDPPort}[30002]");
  Server("{ChanelWaitBohao}");
  EXPECT_EQ(state().remote_udp_port, 30002);
}

TEST_F(CallSessionTest, RemoteUdpPortOutsideTheValidRangeIsNotAdopted) {
  PressAndReply();
  for (const char* chunk : {"{RemoteUDPPort}", "{RemoteUDPPort}[0]", "{RemoteUDPPort}[65536]",
                            "{RemoteUDPPort}[-5]", "{RemoteUDPPort}[99999999999999999999]"}) {
    Server(chunk);
    EXPECT_EQ(state().remote_udp_port, 20481) << chunk;
  }
  Server("{RemoteUDPPort}[65535]");
  EXPECT_EQ(state().remote_udp_port, 65535);
  Server("{RemoteUDPPort}[1]");
  EXPECT_EQ(state().remote_udp_port, 1);
}

TEST_F(CallSessionTest, InformationalAndIgnoredTags) {
  PressAndReply();
  ClearLog();
  Server("{BoHaoNext}");
  EXPECT_THAT(Lines(), ElementsAre(u8"占线，正在拨下一个号码..."));
  ClearLog();
  for (const char* chunk : {"{ZhaiJi}", "{GuaJi}", "{HELO}", "{BuoHao}", "{BoHaoStop}", "garbage", "",
                            " {ChanelBusyNow}", "{chanelbusynow}"}) {
    Server(chunk);
  }
  EXPECT_THAT(Lines(), IsEmpty());
  EXPECT_EQ(stage(), CallStage::kWaiting);
  EXPECT_EQ(Phone().port, 20480);
  EXPECT_FALSE(state().duplicate_send);
  EXPECT_THAT(Phone().sends, IsEmpty());
}

TEST_F(CallSessionTest, RefusedNumberKeepsTheConnectionOpen) {
  Talking();
  ClearLog();
  Server("{PasswordOrTelphoneNumberFailed}");
  EXPECT_THAT(Lines(), ElementsAre(u8"您无权拨这个号码！", u8"请检查PassWord！"));
  EXPECT_EQ(stage(), CallStage::kTalking);
  EXPECT_FALSE(Phone().closed);
}

TEST_F(CallSessionTest, QualityRequestFromTheServerDoublesEveryDatagramUntilTheNextPress) {
  Talking();
  Server("{ZhiLiangCha}");
  EXPECT_TRUE(state().duplicate_send);
  Press();
  EXPECT_FALSE(state().duplicate_send);
}

TEST_F(CallSessionTest, ServerHangUpTearsDownButTheLineStaysOffHook) {
  StreamRecord& phone = Talking();
  ClearLog();
  int talking_light_changes = controls.talking_light_changes;
  network.PeerClose(phone);
  EXPECT_THAT(Lines(), ElementsAre(u8"对方已经挂断电话，请按 挂断 按钮!"));
  EXPECT_TRUE(state().off_hook);
  EXPECT_EQ(stage(), CallStage::kReleased);
  EXPECT_FALSE(client->audio().CaptureOpen());
  EXPECT_TRUE(phone.destroyed);
  EXPECT_EQ(network.OpenDatagramCount(), 0);
  EXPECT_EQ(controls.talking_light_changes, talking_light_changes);

  ClearLog();
  wave.ClearCalls();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
  EXPECT_THAT(wave.Calls(), IsEmpty());  // no second teardown
  EXPECT_EQ(stage(), CallStage::kIdle);
}

TEST_F(CallSessionTest, ServerHangUpBeforeTheDialAlsoReleases) {
  StreamRecord& phone = PressAndReply();
  network.PeerClose(phone);
  EXPECT_EQ(stage(), CallStage::kReleased);
  EXPECT_EQ(AllLines().back(), u8"对方已经挂断电话，请按 挂断 按钮!");
  EXPECT_EQ(network.OpenDatagramCount(), 0);
}

TEST_F(CallSessionTest, AddressServerFailuresLeaveTheLineOffHookUntilThePress) {
  network.fail_stream_creates = 1;
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已摘机...", u8"Err001:地址服务器建立连接失败！"));
  EXPECT_EQ(stage(), CallStage::kStalled);
  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));

  network.refused.insert({kTestAddressServer, 32765});
  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已摘机...", u8"Err002:地址服务器连接失败！"));
  EXPECT_EQ(stage(), CallStage::kStalled);
  EXPECT_EQ(network.OpenStreamCount(), 0);
  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
  EXPECT_EQ(stage(), CallStage::kIdle);
}

TEST_F(CallSessionTest, PhoneServerFailuresStallTheCall) {
  Press();
  network.fail_stream_creates = 1;
  Reply(*network.LastStream(), "10.0.0.9");
  EXPECT_EQ(AllLines().back(), u8"Err006:电话服务器建立连接失败！");
  EXPECT_EQ(stage(), CallStage::kStalled);
  EXPECT_TRUE(network.datagrams.empty());  // no voice socket without a signalling connection
  Press();

  network.refused.insert({"10.0.0.9", 20480});
  Press();
  Reply(*network.LastStream(), "10.0.0.9");
  EXPECT_EQ(AllLines().back(), u8"Err007:电话服务器连接失败！");
  EXPECT_EQ(stage(), CallStage::kStalled);
  EXPECT_EQ(network.OpenStreamCount(), 0);

  // A failed reconnection after a busy reply: the refused channel's voice socket is already gone.
  network.refused.clear();
  Press();
  PressAndReply();
  network.refused.insert({"10.0.0.9", 20482});
  Server("{ChanelBusyNow}");
  EXPECT_EQ(AllLines().back(), u8"Err007:电话服务器连接失败！");
  EXPECT_EQ(stage(), CallStage::kStalled);
  EXPECT_EQ(network.OpenDatagramCount(), 0);
}

// An empty name would reach this machine's own port 20480; no connection is even tried.
TEST_F(CallSessionTest, ReplyWithoutAPhoneServerAddressIsAnUnreachablePhoneServer) {
  AddressQueryRecord full;
  for (int field = 1; field <= 7; ++field)
    std::fill_n(full.Field(field), 10, static_cast<uint8_t>('7'));
  std::fill_n(full.Field(5), kAddressFieldSize, 0);
  const std::string replies[] = {
      std::string(),                                       // nothing at all
      std::string(4 + 4 * kAddressFieldSize - 1, '\x31'),  // short of field 5
      std::string(full.bytes.begin(), full.bytes.end()),   // every field but the fifth
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply.size());
    Press();
    size_t streams = network.streams.size();
    network.Deliver(*network.LastStream(), reply);
    EXPECT_EQ(AllLines().back(), u8"Err007:电话服务器连接失败！");
    EXPECT_EQ(network.streams.size(), streams);  // the address socket only
    EXPECT_EQ(network.OpenStreamCount(), 0);
    EXPECT_EQ(network.OpenDatagramCount(), 0);
    EXPECT_EQ(stage(), CallStage::kStalled);
    EXPECT_THAT(Lines(), ::testing::Not(::testing::Contains(u8"正在联系")));
    Press();
  }
}

TEST_F(CallSessionTest, PressWhileQueryingCancelsTheQuery) {
  Press();
  StreamRecord& address = *network.LastStream();
  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
  EXPECT_TRUE(address.closed);
  EXPECT_TRUE(address.destroyed);
  EXPECT_FALSE(session().has_address_socket());
  // A reply that arrives late finds no socket to deliver to and starts nothing.
  Reply(address, "10.0.0.9");
  EXPECT_EQ(network.streams.size(), 1u);
  EXPECT_EQ(stage(), CallStage::kIdle);
}

TEST_F(CallSessionTest, SecondWaitForTheNumberDialsAgainButLeavesTheAudioAlone) {
  StreamRecord& phone = Talking();
  wave.ClearCalls();
  ClearLog();
  Server("{ChanelWaitBohao}");
  EXPECT_EQ(phone.sends.size(), 4u);
  EXPECT_EQ(wave.CountCalls("InOpen"), 0);
  EXPECT_EQ(wave.CountCalls("OutOpen"), 0);
  EXPECT_THAT(Lines(), ElementsAre(u8"正在联系", u8"订房电话"));
}

TEST_F(CallSessionTest, BusyReplyWhileTalkingKeepsTheAudioAndRetiresTheSocketUntilItStops) {
  Talking();
  const DatagramRecord* first = network.LastDatagram();
  Server("{ChanelBusyNow}");
  EXPECT_EQ(stage(), CallStage::kTalking);
  EXPECT_TRUE(client->audio().CaptureOpen());
  // Capture may still be sending on the old socket: it stays until the audio has stopped.
  EXPECT_FALSE(first->destroyed);
  EXPECT_EQ(client->voice().retired_socket_count(), 1u);
  EXPECT_EQ(network.LastDatagram()->port, 20002);
  Press();
  EXPECT_TRUE(first->destroyed);
  EXPECT_EQ(network.OpenDatagramCount(), 0);
}

class DirectNumberTest : public CallSessionTest {
 protected:
  void SetUp() override {
    CallSessionTest::SetUp();
    client->window().SetDialMode(DialMode::kDirectNumber);
  }
};

TEST_F(DirectNumberTest, EmptyPasswordDialsNumberHashSpaceHash) {
  controls.number = "88001234";
  Talking();
  EXPECT_EQ(Phone().sends.at(1), "{BuoHao}[(192.168.1.20)88001234# #]");
  EXPECT_EQ(session().callee_text(), "88001234");
}

TEST_F(DirectNumberTest, NumberTooLongForTheDialStringIsRefused) {
  controls.number = std::string(40, '1');
  controls.password = std::string(30, 'p');
  PressAndReply();
  EXPECT_EQ(AllLines().back(), u8"号码太长，无法拨出！");
  EXPECT_EQ(network.streams.size(), 1u);  // only the address query
  EXPECT_EQ(stage(), CallStage::kStalled);
  ClearLog();
  Press();
  EXPECT_THAT(Lines(), ElementsAre(u8"已挂机！"));
}

class ExitTest : public CallSessionTest {
 protected:
  void Exit() {
    ClearLog();
    wave.ClearCalls();
    opens_before_exit = mixer.opens;
    client->OnDestroyWindow();
  }
  void ExpectNothingOpen() {
    EXPECT_EQ(network.OpenStreamCount(), 0);
    EXPECT_EQ(network.OpenDatagramCount(), 0);
    EXPECT_FALSE(client->audio().CaptureOpen());
    EXPECT_FALSE(client->audio().PlaybackOpen());
    EXPECT_THAT(Lines(), IsEmpty());
    EXPECT_EQ(mixer.opens, opens_before_exit + 1);  // the microphone is selected once more
  }
  int opens_before_exit = 0;
};

TEST_F(ExitTest, Idle) {
  Exit();
  ExpectNothingOpen();
}

TEST_F(ExitTest, Querying) {
  Press();
  StreamRecord& address = *network.LastStream();
  Exit();
  EXPECT_TRUE(address.closed);
  ExpectNothingOpen();
}

TEST_F(ExitTest, Waiting) {
  PressAndReply();
  Exit();
  ExpectNothingOpen();
}

TEST_F(ExitTest, TalkingStopsTheAudioWithoutTheHangUpLine) {
  Talking();
  Exit();
  ExpectNothingOpen();
  EXPECT_EQ(wave.CountCalls("InClose"), 1);
  EXPECT_EQ(wave.CountCalls("OutClose"), 1);
  EXPECT_FALSE(state().off_hook);
}

TEST_F(ExitTest, StalledAfterTheFourthBusyReply) {
  PressAndReply();
  for (int i = 0; i < 4; ++i)
    Server("{ChanelBusyNow}");
  Exit();
  ExpectNothingOpen();
}

TEST_F(ExitTest, ReleasedTearsDownAgainHarmlessly) {
  network.PeerClose(Talking());
  Exit();
  ExpectNothingOpen();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_FALSE(state().off_hook);
}

TEST_F(ExitTest, RunsOnceAndSkipsTheMicrophoneWithoutASoundCard) {
  session().SetAudioReady(false);
  int opens = mixer.opens;
  client->OnDestroyWindow();
  client->OnDestroyWindow();
  EXPECT_EQ(mixer.opens, opens);
}

}  // namespace
}  // namespace pelvarine::testing
