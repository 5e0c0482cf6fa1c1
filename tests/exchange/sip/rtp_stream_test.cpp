// The RTP side of a SIP call on loopback sockets: what it accepts, whom it latches to, what it sends where.
// The stream's clock is driven by hand, so a busy machine cannot make it miss a tick; libre's loop only
// delivers what arrives on its socket.
#include "exchange/farend/sip/rtp_stream.h"
#include "tests/exchange/call/manual_timers.h"
#include "tests/exchange/libre_loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace exchange {
namespace {

::testing::Environment* const libre_environment =
    ::testing::AddGlobalTestEnvironment(new exchange::testing::LibreEnvironment);
using exchange::testing::ManualTimers;
using exchange::testing::PollLoop;

// A plain UDP socket on loopback standing for the PBX's media (or someone else's).
class Peer {
 public:
  explicit Peer(const char* ip = "127.0.0.1") : ip_(ip) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &address.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Peer() { close(fd_); }

  struct sa address() const {
    struct sa result;
    sa_set_str(&result, ip_, port_);
    return result;
  }

  void SendRtp(uint16_t to_port, uint8_t payload_type, uint16_t sequence, uint32_t timestamp, size_t samples,
               uint8_t fill) {
    std::vector<uint8_t> packet(12 + samples, fill);
    packet[0] = 0x80;
    packet[1] = payload_type;
    packet[2] = static_cast<uint8_t>(sequence >> 8);
    packet[3] = static_cast<uint8_t>(sequence);
    for (int i = 0; i < 4; ++i)
      packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    packet[8] = 0x12;  // SSRC
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(to_port);
    sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  struct Received {
    std::vector<uint8_t> bytes;
    uint16_t from_port;
  };
  std::vector<Received> Drain() {
    std::vector<Received> packets;
    while (true) {
      uint8_t buffer[2048];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0) break;
      packets.push_back({std::vector<uint8_t>(buffer, buffer + got), ntohs(from.sin_port)});
    }
    return packets;
  }

 private:
  const char* ip_;
  int fd_ = -1;
  uint16_t port_ = 0;
};

class RtpStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sa loopback;
    sa_set_str(&loopback, "127.0.0.1", 0);
    std::string error;
    stream_ = RtpStream::Open(timers_, loopback, 42000, 42999, &error);
    ASSERT_TRUE(stream_) << error;
    ASSERT_EQ(stream_->local_port() % 2, 0);
    ASSERT_GE(stream_->local_port(), 42000);
    ASSERT_LE(stream_->local_port(), 42999);
  }

  // Feeds the client's blocks at its pace for `ms`, counting on from the last one, and takes in what the
  // peers have sent meanwhile.
  void Talk(uint64_t ms) {
    for (uint64_t t = 0; t < ms; t += 16) {
      std::vector<uint8_t> block(kClientBlockSamples, static_cast<uint8_t>(sequence_));
      stream_->OnClientVoice(++sequence_, block.data());
      PollLoop();
      timers_.Advance(16);
    }
  }

  ManualTimers timers_;  // outlives the stream below
  std::unique_ptr<RtpStream> stream_;
  int64_t sequence_ = 0;
};

TEST_F(RtpStreamTest, NothingFlowsBeforeTheAnswer) {
  Peer pbx;
  pbx.SendRtp(stream_->local_port(), kPcmaPayloadType, 1, 160, 160, 0x55);
  Talk(200);
  uint8_t block[kClientBlockSamples];
  EXPECT_FALSE(stream_->ReadBlock(block));
  EXPECT_TRUE(pbx.Drain().empty());
  EXPECT_EQ(stream_->counters().packets_in, 0u);
  EXPECT_EQ(stream_->counters().packets_out, 0u);
  EXPECT_EQ(stream_->counters().ignored_in, 1u);
}

TEST_F(RtpStreamTest, SendsTwentyMillisecondPcmaWithSteadyNumbering) {
  Peer pbx;
  stream_->Start(pbx.address());
  Talk(600);
  std::vector<Peer::Received> packets = pbx.Drain();
  ASSERT_GE(packets.size(), 15u);
  for (size_t i = 0; i < packets.size(); ++i) {
    const std::vector<uint8_t>& p = packets[i].bytes;
    ASSERT_EQ(p.size(), 12 + kRtpFrameSamples);
    EXPECT_EQ(p[0] & 0xC0, 0x80);  // version 2
    EXPECT_EQ(p[1] & 0x7F, kPcmaPayloadType);
    EXPECT_EQ((p[1] & 0x80) != 0, i == 0) << i;  // marker on the first packet of the talk spurt only
    EXPECT_EQ(packets[i].from_port, stream_->local_port());  // symmetric: sent from the receiving port
    if (i == 0) continue;
    const std::vector<uint8_t>& q = packets[i - 1].bytes;
    uint16_t sequence = static_cast<uint16_t>(p[2] << 8 | p[3]);
    uint16_t previous_sequence = static_cast<uint16_t>(q[2] << 8 | q[3]);
    EXPECT_EQ(static_cast<uint16_t>(sequence - previous_sequence), 1) << i;
    uint32_t timestamp = static_cast<uint32_t>(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
    uint32_t previous_timestamp = static_cast<uint32_t>(q[4]) << 24 | q[5] << 16 | q[6] << 8 | q[7];
    EXPECT_EQ(timestamp - previous_timestamp, kRtpFrameSamples) << i;
    EXPECT_TRUE(std::equal(p.begin() + 8, p.begin() + 12, q.begin() + 8)) << "SSRC changed at " << i;
  }
  EXPECT_EQ(stream_->counters().packets_out, packets.size());
}

TEST_F(RtpStreamTest, LatchesToThePbxsRealSourceAndIgnoresOthers) {
  Peer announced;  // the address the SDP answer gave
  Peer pbx;        // where the PBX's media really comes from (NAT, a media relay)
  Peer stranger;
  stream_->Start(announced.address());
  Talk(100);
  EXPECT_FALSE(announced.Drain().empty());  // until the PBX is heard, we send where it told us

  pbx.SendRtp(stream_->local_port(), 0, 1, 0, 160, 0x11);  // PCMU: not ours, latches nothing
  Talk(32);
  EXPECT_FALSE(stream_->latched());
  announced.Drain();

  // The PBX streams 0x2A a little faster than real time (so nothing needs concealing) while a stranger
  // sends 0x77 to the same port; the client must hear the PBX only.
  std::vector<uint8_t> heard;
  for (uint16_t i = 0; i < 30; ++i) {
    pbx.SendRtp(stream_->local_port(), kPcmaPayloadType, static_cast<uint16_t>(100 + i), 160u * i, 160, 0x2A);
    if (i > 0 && i % 3 == 0) {
      // Its own numbering, and audio for the moment right after the PBX's latest: taken, it would be played.
      stranger.SendRtp(stream_->local_port(), kPcmaPayloadType, static_cast<uint16_t>(7000 + i),
                       160u * (i + 1), 160, 0x77);
    }
    Talk(16);
    uint8_t block[kClientBlockSamples];
    if (stream_->ReadBlock(block)) heard.insert(heard.end(), block, block + kClientBlockSamples);
  }
  EXPECT_TRUE(stream_->latched());
  EXPECT_GE(heard.size(), 20 * kClientBlockSamples);
  EXPECT_EQ(std::count(heard.begin(), heard.end(), 0x2A), static_cast<long>(heard.size()));

  Talk(100);
  EXPECT_TRUE(announced.Drain().empty());
  EXPECT_GE(pbx.Drain().size(), 20u);  // symmetric: our packets follow the PBX's real source
  EXPECT_TRUE(stranger.Drain().empty());
  SipMediaCounters counters = stream_->counters();
  EXPECT_EQ(counters.packets_in, 30u);
  EXPECT_EQ(counters.ignored_in, 1u + 9u);
}

TEST_F(RtpStreamTest, OnlyTheSdpOrSignallingAddressMayLatch) {
  struct Case {
    const char* sender;
    bool latches;
  };
  const Case cases[] = {{"127.0.0.9", false}, {"127.0.0.1", true}, {"127.0.0.2", true}};
  for (const Case& c : cases) {
    SetUp();
    Peer announced("127.0.0.1"), sender(c.sender);
    struct sa signalling;
    sa_set_str(&signalling, "127.0.0.2", 5060);
    stream_->Start(announced.address(), &signalling);
    sender.SendRtp(stream_->local_port(), kPcmaPayloadType, 1, 0, 160, 0x77);
    Talk(48);
    EXPECT_EQ(stream_->latched(), c.latches) << c.sender;
    EXPECT_EQ(!sender.Drain().empty(), c.latches) << c.sender << ": the visitor's voice went to a stranger";
  }
}

TEST_F(RtpStreamTest, HoldStopsSendingAndAMoveFollowsTheNewAddress) {
  Peer pbx, moved("127.0.0.3");
  stream_->Start(pbx.address());
  Talk(100);
  EXPECT_FALSE(pbx.Drain().empty());
  stream_->SetSending(false);
  Talk(100);
  EXPECT_TRUE(pbx.Drain().empty()) << "sent while on hold";
  stream_->SetSending(true);
  stream_->MoveTo(moved.address());
  Talk(100);
  EXPECT_TRUE(pbx.Drain().empty());
  EXPECT_FALSE(moved.Drain().empty());
  moved.SendRtp(stream_->local_port(), kPcmaPayloadType, 1, 0, 160, 0x2A);
  Talk(32);
  EXPECT_TRUE(stream_->latched());
}

TEST_F(RtpStreamTest, StopEndsBothDirectionsButKeepsCounters) {
  Peer pbx;
  stream_->Start(pbx.address());
  pbx.SendRtp(stream_->local_port(), kPcmaPayloadType, 1, 0, 160, 0x2A);
  Talk(200);
  uint64_t sent = stream_->counters().packets_out;
  EXPECT_GT(sent, 0u);
  stream_->Stop();
  pbx.Drain();
  pbx.SendRtp(stream_->local_port(), kPcmaPayloadType, 2, 160, 160, 0x2A);
  Talk(100);
  EXPECT_TRUE(pbx.Drain().empty());
  uint8_t block[kClientBlockSamples];
  EXPECT_FALSE(stream_->ReadBlock(block));
  EXPECT_EQ(stream_->counters().packets_out, sent);
  EXPECT_EQ(stream_->counters().packets_in, 1u);
}

}  // namespace
}  // namespace exchange
