#include "voice/voice_channel.h"

#include <string>
#include <vector>

#include "client_fixture.h"
#include "voice_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string SequenceFieldOf(const Datagram& d) {
  return d.bytes.substr(0, 16);
}
std::string Right(const std::string& digits) {
  return std::string(16 - digits.size(), ' ') + digits;
}

// ---- The local port -------------------------------------------------------------------------------

TEST_F(VoiceTest, TakenPortMovesTheSearchToTheNextAfterOneSecond) {
  network.taken_udp_ports = {20001};
  ASSERT_TRUE(voice.OpenVoiceSocket());
  EXPECT_EQ(network.LastDatagram()->port, 20002);
  EXPECT_EQ(voice.voice_socket()->port(), 20002);
  EXPECT_THAT(AllLines(), ElementsAre(u8"建立下一端口..."));
  EXPECT_THAT(clock.Sleeps(), ElementsAre(1000));
}

TEST_F(VoiceTest, SearchGivesUpAfterFivePortsWithoutTryingASixth) {
  network.taken_udp_ports = {20001, 20002, 20003, 20004, 20005};  // 20006 is free
  EXPECT_FALSE(voice.OpenVoiceSocket());
  EXPECT_FALSE(voice.HasVoiceSocket());
  EXPECT_THAT(network.datagrams, IsEmpty());
  EXPECT_THAT(AllLines(),
              ElementsAre(u8"建立下一端口...", u8"建立下一端口...", u8"建立下一端口...", u8"建立下一端口...",
                          u8"建立下一端口...", u8"Err005:语音端口建立失败！"));
  EXPECT_THAT(clock.Sleeps(), ElementsAre(1000, 1000, 1000, 1000, 1000));
}

TEST_F(VoiceTest, EverySearchStartsAgainAt20001) {
  network.taken_udp_ports = {20001};
  OpenSocket();
  voice.ReleaseVoiceSocket();
  EXPECT_EQ(network.OpenDatagramCount(), 0);
  network.taken_udp_ports.clear();
  panel.appended.clear();
  OpenSocket();
  EXPECT_EQ(network.LastDatagram()->port, 20001);
  EXPECT_THAT(AllLines(), IsEmpty());
}

class VoiceCallTest : public ClientTest {
 protected:
  void SetUp() override {
    Start();
    ClearLog();
  }
};

TEST_F(VoiceCallTest, CallWithoutAVoicePortGoesOnAndSendsNothing) {
  network.taken_udp_ports = {20001, 20002, 20003, 20004, 20005};
  StreamRecord& phone = PressAndReply();
  Server("{ChanelWaitBohao}");
  EXPECT_EQ(phone.sends.size(), 2u);  // the dial went out all the same
  EXPECT_TRUE(client->audio().CaptureOpen());
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(wave.DeliverCapturedBlock(0x40));
  EXPECT_THAT(network.datagrams, IsEmpty());
  EXPECT_THAT(AllLines(), ElementsAre(u8"已摘机...", u8"建立下一端口...", u8"建立下一端口...",
                                      u8"建立下一端口...", u8"建立下一端口...", u8"建立下一端口...",
                                      u8"Err005:语音端口建立失败！", u8"正在联系", u8"订房电话"));
  ClearLog();
  Press();
  EXPECT_THAT(AllLines(), ElementsAre(u8"已挂机！"));
  EXPECT_FALSE(client->audio().CaptureOpen());
}

TEST_F(VoiceCallTest, DatagramsGoToTheSignallingPeerAtTheCurrentRemotePort) {
  network.peer_ipv4 = 0x0A000009;
  PressAndReply("10.0.0.9");
  Server("{ChanelWaitBohao}");
  DatagramRecord& socket = *network.LastDatagram();
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x01));
  Server("{RemoteUDPPort}[30123]");
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x02));
  Server("{ZhiLiangCha}");
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x03));

  std::vector<Datagram> sent = socket.Sent();
  ASSERT_EQ(sent.size(), 4u);
  std::vector<uint16_t> ports;
  std::vector<std::string> fields;
  for (const Datagram& d : sent) {
    EXPECT_EQ(d.ipv4, 0x0A000009u);
    EXPECT_EQ(d.bytes.size(), 144u);
    ports.push_back(d.port);
    fields.push_back(SequenceFieldOf(d));
  }
  EXPECT_THAT(ports, ElementsAre(20481, 30123, 30123, 30123));
  EXPECT_THAT(fields, ElementsAre(Right("1"), Right("2"), Right("3"), Right("3")));
  EXPECT_EQ(sent[2].bytes, sent[3].bytes);
}

// ---- Received datagrams ---------------------------------------------------------------------------

class ReceiveTest : public VoiceTest {
 protected:
  void SetUp() override {
    OpenSocket();
    audio.StartPlayback();
    voice.ResetSequenceFilter();
    voice.RestartMonitor();
  }
  // The fill byte of every block written to the device, in order.
  std::vector<int> PlayedFills() {
    std::vector<int> fills;
    for (const std::string& block : wave.Played())
      fills.push_back(static_cast<uint8_t>(block.at(0)));
    return fills;
  }
};

TEST_F(ReceiveTest, OnlyNumbersAboveTheLastPlayedArePlayed) {
  ReceiveAfter(16, 9, 9);
  ReceiveAfter(16, 9, 0x99);  // the same number again
  ReceiveAfter(16, 7, 7);
  ReceiveAfter(16, 10, 10);
  ReceiveAfter(16, 500, 0xF4);  // a jump is played at once
  ReceiveAfter(16, 11, 11);
  ReceiveAfter(16, 499, 0xF3);
  ReceiveAfter(16, 501, 0xF5);
  EXPECT_THAT(PlayedFills(), ElementsAre(9, 10, 0xF4, 0xF5));
  EXPECT_EQ(voice.last_accepted_sequence(), 501);
  // Dropped datagrams are still measured by the arrival monitor.
  EXPECT_EQ(voice.monitor().count(), 7);
}

TEST_F(ReceiveTest, FirstDatagramWithoutDigitsCountsAsZeroAndIsPlayed) {
  Receive(IncomingDatagram(kLocalAddress, "", 1));
  Receive(IncomingDatagram(kLocalAddress, "", 2));
  Receive(IncomingDatagram(kLocalAddress, "abc", 3));
  Receive(IncomingDatagram(kLocalAddress, "-4", 4));
  Receive(IncomingDatagram(kLocalAddress, "1", 5));
  EXPECT_THAT(PlayedFills(), ElementsAre(1, 5));
}

TEST_F(ReceiveTest, NumbersNotAboveMinusOneAreNeverPlayed) {
  Receive(IncomingDatagram(kLocalAddress, "-1", 1));
  Receive(IncomingDatagram(kLocalAddress, "-2147483648", 2));
  EXPECT_THAT(PlayedFills(), IsEmpty());
  EXPECT_EQ(voice.last_accepted_sequence(), -1);
  Receive(IncomingDatagram(kLocalAddress, "2147483647", 3));
  Receive(IncomingDatagram(kLocalAddress, "99999999999", 4));  // saturates to the same number
  EXPECT_THAT(PlayedFills(), ElementsAre(3));
}

TEST_F(ReceiveTest, SequenceFilterMovesOnWithoutAPlaybackDevice) {
  audio.StopPlayback();
  Receive(IncomingDatagram(kLocalAddress, 5, 5));
  EXPECT_EQ(voice.last_accepted_sequence(), 5);
  audio.StartPlayback();
  Receive(IncomingDatagram(kLocalAddress, 4, 4));
  Receive(IncomingDatagram(kLocalAddress, 5, 0x55));
  Receive(IncomingDatagram(kLocalAddress, 6, 6));
  EXPECT_THAT(PlayedFills(), ElementsAre(6));
}

TEST_F(ReceiveTest, ShortDatagramIsPlayedWithTheMissingAudioZero) {
  Receive(IncomingDatagram(kLocalAddress, 1, 0x11));
  Receive(IncomingDatagram(kLocalAddress, 2, 0x22).substr(0, 100));
  std::vector<std::string> played = wave.Played();
  ASSERT_EQ(played.size(), 2u);
  EXPECT_EQ(played[0], std::string(128, '\x11'));
  EXPECT_EQ(played[1], std::string(68, '\x22') + std::string(60, '\0'));
}

TEST_F(ReceiveTest, FailedReadTouchesNothing) {
  Receive(IncomingDatagram(kLocalAddress, 1, 1));
  int light_changes = controls.talking_light_changes;
  ASSERT_EQ(voice.talking_light_phase(), 1);
  ASSERT_EQ(voice.monitor().count(), 0);

  network.LastDatagram()->fail_next_receives = 1;
  ReceiveAfter(17, 2, 2);
  ReceiveAfter(17, 3, 3);
  // Longer than 160 bytes: the platform discards it and the read fails.
  Receive(IncomingDatagram(kLocalAddress, 4, 4) + "x");

  EXPECT_EQ(controls.talking_light_changes, light_changes + 1);  // only datagram 3
  EXPECT_EQ(voice.talking_light_phase(), 0);
  EXPECT_THAT(PlayedFills(), ElementsAre(1, 3));
  EXPECT_EQ(voice.monitor().count(), 1);
  EXPECT_EQ(voice.monitor().mean_ms(), 34);  // datagram 2 was never seen: its time is not a sample
  EXPECT_THAT(panel.appended, IsEmpty());
}

TEST_F(ReceiveTest, TalkingLightFlipsForEveryDatagramReadAlsoForDroppedOnes) {
  std::vector<bool> light;
  auto receive = [&](const std::string& d) {
    Receive(d);
    light.push_back(controls.talking_light);
    EXPECT_EQ(voice.talking_light_phase(), controls.talking_light ? 1 : 0);
  };
  receive(IncomingDatagram(kLocalAddress, 1));
  receive(IncomingDatagram("10.9.9.9", 2));     // not for this machine
  receive(IncomingDatagram(kLocalAddress, 1));  // number already played
  receive(IncomingDatagram(kLocalAddress, 2));
  EXPECT_THAT(light, ElementsAre(true, false, true, false));
  EXPECT_EQ(controls.talking_light_changes, 4);
}

TEST_F(ReceiveTest, OnHookHidesTheTalkingLightAndKeepsItsPhase) {
  Receive(IncomingDatagram(kLocalAddress, 1, 1));
  ASSERT_TRUE(controls.talking_light);
  state.off_hook = false;
  Receive(IncomingDatagram(kLocalAddress, 2, 2));
  EXPECT_FALSE(controls.talking_light);
  EXPECT_EQ(voice.talking_light_phase(), 1);
  Receive(IncomingDatagram(kLocalAddress, 3, 3));
  EXPECT_FALSE(controls.talking_light);
  EXPECT_EQ(voice.talking_light_phase(), 1);
  // The filters still run.
  EXPECT_THAT(PlayedFills(), ElementsAre(1, 2, 3));

  state.off_hook = true;
  Receive(IncomingDatagram(kLocalAddress, 4, 4));
  EXPECT_FALSE(controls.talking_light);
  EXPECT_EQ(voice.talking_light_phase(), 0);
  Receive(IncomingDatagram(kLocalAddress, 5, 5));
  EXPECT_TRUE(controls.talking_light);
}

TEST_F(ReceiveTest, AddressFilterLooksForTheLocalAddressAsASubstring) {
  std::strcpy(state.local_address, "10.0.0.1");
  Receive(IncomingDatagram("10.0.0.15", 1, 1));
  Receive(IncomingDatagram("10.0.0.2", 2, 2));
  Receive(IncomingDatagram("", 3, 3));
  Receive(IncomingDatagram("to:10.0.0.1", 4, 4));
  EXPECT_THAT(PlayedFills(), ElementsAre(1, 4));
  EXPECT_EQ(voice.last_accepted_sequence(), 4);
}

TEST_F(ReceiveTest, DatagramsForAnotherAddressAreNotMeasured) {
  Receive(IncomingDatagram(kLocalAddress, 1));
  clock.now_ms += 5;
  Receive(IncomingDatagram("172.16.0.1", 2));
  clock.now_ms += 12;
  Receive(IncomingDatagram(kLocalAddress, 3));
  EXPECT_EQ(voice.monitor().count(), 1);
  EXPECT_EQ(voice.monitor().mean_ms(), 17);
}

TEST_F(ReceiveTest, EmptyLocalAddressLetsEveryDatagramThrough) {
  std::memset(state.local_address, 0, sizeof state.local_address);
  std::string no_text = IncomingDatagram("", 1, 1);
  ASSERT_EQ(no_text[0], '\0');
  Receive(no_text);
  Receive(IncomingDatagram("1.2.3.4", 2, 2));
  EXPECT_THAT(PlayedFills(), ElementsAre(1, 2));
}

// ---- Sending captured blocks ----------------------------------------------------------------------

class SendTest : public VoiceTest {
 protected:
  void SetUp() override { socket = &OpenSocket(); }
  DatagramRecord* socket = nullptr;
};

TEST_F(SendTest, NumbersFromOneAfterEveryStartOfCapture) {
  state.send_sequence = 77;
  audio.StartCapture();
  for (uint8_t fill : {0xA1, 0xA2, 0xA3})
    ASSERT_TRUE(wave.DeliverCapturedBlock(fill));
  std::vector<Datagram> sent = socket->Sent();
  ASSERT_EQ(sent.size(), 3u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].bytes, Right(std::to_string(i + 1)) + std::string(128, static_cast<char>(0xA1 + i)));
    EXPECT_EQ(sent[i].ipv4, 0x0A000009u);
    EXPECT_EQ(sent[i].port, kFirstRemoteUdpPort);
  }

  state.off_hook = false;
  audio.StopCapture();
  state.off_hook = true;
  audio.StartCapture();
  ASSERT_TRUE(wave.DeliverCapturedBlock(0xB0));
  EXPECT_EQ(SequenceFieldOf(socket->Sent().back()), Right("1"));
}

TEST_F(SendTest, DestinationIsReadAnewForEveryDatagram) {
  audio.StartCapture();
  ASSERT_TRUE(wave.DeliverCapturedBlock(1));
  state.remote_udp_port = 30000;
  state.phone_server_ipv4 = 0xC0A80002;
  ASSERT_TRUE(wave.DeliverCapturedBlock(2));
  std::vector<Datagram> sent = socket->Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].port, kFirstRemoteUdpPort);
  EXPECT_EQ(sent[0].ipv4, 0x0A000009u);
  EXPECT_EQ(sent[1].port, 30000);
  EXPECT_EQ(sent[1].ipv4, 0xC0A80002u);
}

TEST_F(SendTest, DuplicateModeSendsEveryDatagramTwiceWithOneNumber) {
  audio.StartCapture();
  state.duplicate_send = true;
  ASSERT_TRUE(wave.DeliverCapturedBlock(1));
  ASSERT_TRUE(wave.DeliverCapturedBlock(2));
  state.duplicate_send = false;
  ASSERT_TRUE(wave.DeliverCapturedBlock(3));
  std::vector<Datagram> sent = socket->Sent();
  std::vector<std::string> fields;
  for (const Datagram& d : sent)
    fields.push_back(SequenceFieldOf(d));
  EXPECT_THAT(fields, ElementsAre(Right("1"), Right("1"), Right("2"), Right("2"), Right("3")));
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].bytes, sent[1].bytes);
  EXPECT_EQ(sent[2].bytes, sent[3].bytes);
  EXPECT_EQ(sent[2].port, sent[3].port);
}

TEST_F(SendTest, NothingIsSentWithoutASocketOrOnAReleasedOne) {
  audio.StartCapture();
  ASSERT_TRUE(wave.DeliverCapturedBlock(1));
  ASSERT_EQ(socket->Sent().size(), 1u);

  // Released while capture runs: kept until the audio stops, but no longer sent on.
  voice.ReleaseVoiceSocket();
  EXPECT_FALSE(voice.HasVoiceSocket());
  EXPECT_FALSE(socket->destroyed);
  ASSERT_TRUE(wave.DeliverCapturedBlock(2));
  ASSERT_TRUE(wave.DeliverCapturedBlock(3));
  EXPECT_EQ(socket->Sent().size(), 1u);

  state.off_hook = false;
  audio.StopCapture();
  voice.ReleaseRetiredSockets();
  EXPECT_TRUE(socket->destroyed);
  EXPECT_EQ(network.OpenDatagramCount(), 0);
}

}  // namespace
}  // namespace pelvarine::testing
