// A phone channel fed garbage, a dial string that never ends and an argument that never closes: each such
// connection is closed once it has sent its allowance of unrecognised bytes.

#include <random>
#include <string>

#include "exchange/protocol/wire_formats.h"
#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

using Kind = ExchangeEvent::Kind;

// Opens the free channel, waits for its invitation to dial, then sends `head` and `filler` until the exchange
// closes the connection (or far more than the allowance went). Returns the bytes sent before the close.
size_t FeedUntilClosed(int port, const std::string& head, char filler, bool* closed) {
  Fd fd = Connect("127.0.0.1", port);
  if (!fd.valid() || ReadTag(fd.get(), kPatienceMs) != kTagWaitDial) {
    *closed = false;
    return 0;
  }
  std::mt19937 rng(7);
  size_t sent = 0;
  std::string chunk = head;
  *closed = false;
  while (sent < 64 * kGarbageAllowance) {
    if (chunk.empty()) {
      chunk.assign(512, filler);
      if (filler == 0)  // random bytes that never start a message
        for (char& c : chunk)
          c = static_cast<char>('A' + rng() % 26);
    }
    if (!SendAll(fd.get(), chunk)) break;
    sent += chunk.size();
    chunk.clear();
    std::string ignored;
    while (ReadSome(fd.get(), 5, &ignored) == ReadEnd::kData) {
    }
    if (sent > 2 * kGarbageAllowance) break;
  }
  *closed = WaitClosed(fd.get(), kPatienceMs);
  return sent;
}

TEST_F(HostileTest, GarbageChunksCloseTheConnectionOnceOverTheAllowance) {
  bool closed = false;
  size_t sent = FeedUntilClosed(TcpPort(FreeChannel()), "", 0, &closed);
  EXPECT_TRUE(closed) << exchange_.RecentEvents();
  EXPECT_GT(sent, kGarbageAllowance);
  EXPECT_GE(exchange_.CountWithText(Kind::ServerClosed, "too many unrecognised bytes"), 1);
}

TEST_F(HostileTest, HugeDialStringClosesTheConnection) {
  bool closed = false;
  FeedUntilClosed(TcpPort(FreeChannel()), "{BuoHao}[(127.0.0.1)", '9', &closed);
  EXPECT_TRUE(closed) << exchange_.RecentEvents();
  EXPECT_GE(exchange_.CountWithText(Kind::GarbageReceived, "over-long argument of {BuoHao}"), 1);
  EXPECT_EQ(exchange_.Count(Kind::FarEndStarted), 1);  // only the good call's
}

TEST_F(HostileTest, ArgumentThatNeverEndsClosesTheConnection) {
  bool closed = false;
  FeedUntilClosed(TcpPort(FreeChannel()), "{MyInNetLocalIP}[", ' ', &closed);
  EXPECT_TRUE(closed) << exchange_.RecentEvents();
  EXPECT_GE(exchange_.CountWithText(Kind::GarbageReceived, "over-long argument of {MyInNetLocalIP}"), 1);
}

TEST_F(HostileTest, RepeatedRefusedDialsAreNotEachAnswered) {
  Fd fd = Connect("127.0.0.1", TcpPort(FreeChannel()));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(ReadTag(fd.get(), kPatienceMs), kTagWaitDial);
  std::string dials;
  for (int i = 0; i < 2000; ++i)
    dials += BuildDialMessage("127.0.0.1", "0000");
  ASSERT_TRUE(SendAll(fd.get(), dials));
  std::string tags;
  // A refusal per dial would hold 2000 tags and take 100 s to send; the answers are capped instead.
  ReadAtLeast(fd.get(), 1 << 20, 3000, &tags);
  size_t refusals = 0;
  for (size_t at = tags.find(kTagRefused); at != std::string::npos; at = tags.find(kTagRefused, at + 1))
    ++refusals;
  EXPECT_GE(refusals, 1u);
  EXPECT_LE(refusals, 20u);
}

}  // namespace
}  // namespace exchange::testing
