#include "voice/arrival_monitor.h"

#include <algorithm>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "voice_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Feeds `intervals` arrivals `interval_ms` apart and returns the interval numbers (counted from the
// monitor's start) at which it asked for better quality.
class MonitorFeed {
 public:
  std::vector<int> Feed(int intervals, int64_t interval_ms) {
    std::vector<int> asked;
    for (int i = 0; i < intervals; ++i) {
      now_ += interval_ms;
      if (monitor.OnArrival(now_)) asked.push_back(monitor.count());
    }
    return asked;
  }
  bool Start() { return monitor.OnArrival(now_); }
  void Wait(int64_t ms) { now_ += ms; }

  ArrivalMonitor monitor;

 private:
  int64_t now_ = 5'000'000;
};

TEST(ArrivalMonitor, FirstArrivalOnlyStartsTheMeasurement) {
  MonitorFeed f;
  EXPECT_FALSE(f.Start());
  EXPECT_EQ(f.monitor.count(), 0);
  f.Feed(1, 23);
  EXPECT_EQ(f.monitor.count(), 1);
  EXPECT_EQ(f.monitor.mean_ms(), 23);
}

TEST(ArrivalMonitor, MeanAboveSixteenAsksExactlyAtTheTwoHundredthInterval) {
  MonitorFeed f;
  f.Start();
  EXPECT_THAT(f.Feed(199, 17), IsEmpty());
  EXPECT_THAT(f.Feed(1, 17), ElementsAre(200));
  EXPECT_EQ(f.monitor.mean_ms(), 17);
  // Counting goes on, the question is never asked again.
  EXPECT_THAT(f.Feed(500, 40), IsEmpty());
  EXPECT_EQ(f.monitor.count(), 700);
  EXPECT_EQ(f.monitor.mean_ms(), (200 * 17 + 500 * 40) / 700);
}

TEST(ArrivalMonitor, MeanOfSixteenOrLessNeverAsks) {
  MonitorFeed f;
  f.Start();
  EXPECT_THAT(f.Feed(400, 16), IsEmpty());
  EXPECT_EQ(f.monitor.mean_ms(), 16);
}

TEST(ArrivalMonitor, MeanIsTruncatedBeforeTheComparison) {
  MonitorFeed below;
  below.Start();
  below.Feed(199, 17);
  EXPECT_THAT(below.Feed(1, 16), IsEmpty());  // 3399 / 200 is 16
  EXPECT_EQ(below.monitor.mean_ms(), 16);

  MonitorFeed at;
  at.Start();
  at.Feed(199, 16);
  EXPECT_THAT(at.Feed(1, 216), ElementsAre(200));  // 3400 / 200 is 17
}

TEST(ArrivalMonitor, MeanRisingOnlyAfterTheTwoHundredthIntervalDoesNotAsk) {
  MonitorFeed f;
  f.Start();
  EXPECT_THAT(f.Feed(200, 16), IsEmpty());
  EXPECT_THAT(f.Feed(300, 100), IsEmpty());
  EXPECT_GT(f.monitor.mean_ms(), 16);
}

TEST(ArrivalMonitor, LongGapCountsInFull) {
  MonitorFeed f;
  f.Start();
  f.Feed(199, 10);
  // Three whole seconds: (1990 + 3000) / 200 = 24.
  EXPECT_THAT(f.Feed(1, 3000), ElementsAre(200));
  EXPECT_EQ(f.monitor.mean_ms(), 24);

  MonitorFeed minute;
  minute.Start();
  minute.Feed(100, 16);
  minute.Feed(1, 61'000);
  EXPECT_EQ(minute.monitor.mean_ms(), (100 * 16 + 61'000) / 101);
}

TEST(ArrivalMonitor, RestartMakesTheNextArrivalAFreshStart) {
  MonitorFeed f;
  f.Start();
  f.Feed(150, 30);
  f.monitor.Restart();
  f.Wait(5000);  // the pause before the restart is not an interval
  EXPECT_FALSE(f.Start());
  EXPECT_EQ(f.monitor.count(), 0);
  EXPECT_THAT(f.Feed(300, 16), IsEmpty());

  f.monitor.Restart();
  f.Start();
  EXPECT_THAT(f.Feed(250, 17), ElementsAre(200));
}

// ---- The quality request on the signalling connection ------------------------------------------

class QualityRequestTest : public VoiceTest {
 protected:
  void SetUp() override {
    OpenSocket();
    audio.StartPlayback();
    voice.ResetSequenceFilter();
    voice.RestartMonitor();
  }
  // `count` datagrams for this machine, `ms` apart, numbered on from `next_sequence_`.
  void Stream(int count, int ms) {
    for (int i = 0; i < count; ++i) {
      ReceiveAfter(ms, next_sequence_++);
      wave.CompletePlayback(8);
    }
  }
  int QualityLines() {
    std::vector<std::string> lines = AllLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), u8"已经调整语音质量!"));
  }
  int next_sequence_ = 1;
};

TEST_F(QualityRequestTest, SlowArrivalsAskOnceAtTheTwoHundredFirstDatagram) {
  Stream(200, 17);  // the first datagram only starts the monitor: 199 intervals
  EXPECT_THAT(signal.sends, IsEmpty());
  EXPECT_FALSE(voice.quality_reported());
  Stream(1, 17);
  EXPECT_THAT(signal.sends, ElementsAre("{ZhiLiangCha}"));
  EXPECT_TRUE(voice.quality_reported());
  EXPECT_EQ(QualityLines(), 1);
  Stream(300, 25);
  EXPECT_EQ(signal.sends.size(), 1u);
  EXPECT_EQ(QualityLines(), 1);
}

TEST_F(QualityRequestTest, SixteenMillisecondsAreGoodEnough) {
  Stream(401, 16);
  EXPECT_THAT(signal.sends, IsEmpty());
  EXPECT_FALSE(voice.quality_reported());
  EXPECT_EQ(QualityLines(), 0);
}

TEST_F(QualityRequestTest, RepeatedNumbersAreMeasuredButForeignDatagramsAreNot) {
  for (int i = 0; i < 201; ++i) {
    ReceiveAfter(9, 5);  // always the same number: only the first is played
    clock.now_ms += 8;
    Receive(IncomingDatagram("172.16.0.99", i + 10));
  }
  EXPECT_EQ(wave.Played().size(), 1u);
  // Had the foreign datagrams been measured the mean would be 8 ms.
  EXPECT_THAT(signal.sends, ElementsAre("{ZhiLiangCha}"));
}

TEST_F(QualityRequestTest, NoSignallingConnectionAtTheTwoHundredthIntervalMeansNoRequest) {
  signal.connected = false;
  Stream(201, 20);
  EXPECT_THAT(signal.sends, IsEmpty());
  EXPECT_FALSE(voice.quality_reported());
  EXPECT_EQ(QualityLines(), 0);
  // A connection that comes back later does not bring the question back.
  signal.connected = true;
  Stream(300, 20);
  EXPECT_THAT(signal.sends, IsEmpty());
}

TEST_F(QualityRequestTest, FailedSendStillCountsAsAsked) {
  signal.send_result = false;
  Stream(201, 30);
  EXPECT_EQ(signal.sends.size(), 1u);
  EXPECT_TRUE(voice.quality_reported());
  EXPECT_EQ(QualityLines(), 1);
}

TEST_F(QualityRequestTest, RestartedMonitorMayAskAgain) {
  Stream(201, 17);
  ASSERT_EQ(signal.sends.size(), 1u);
  voice.RestartMonitor();
  EXPECT_FALSE(voice.quality_reported());
  clock.now_ms += 60'000;
  Stream(200, 17);
  EXPECT_EQ(signal.sends.size(), 1u);
  Stream(1, 17);
  EXPECT_EQ(signal.sends.size(), 2u);
}

class QualityCallTest : public ClientTest {
 protected:
  void SetUp() override { Start(); }
  StreamRecord& Talking() {
    StreamRecord& phone = PressAndReply();
    Server("{ChanelWaitBohao}");
    return phone;
  }
  void Stream(int count, int ms) {
    for (int i = 0; i < count; ++i) {
      clock.now_ms += ms;
      network.DeliverDatagram(*network.LastDatagram(), IncomingDatagram("192.168.1.20", ++sequence_));
    }
  }
  int sequence_ = 0;
};

TEST_F(QualityCallTest, RequestGoesOutOnThePhoneConnectionOncePerCall) {
  StreamRecord& first = Talking();
  Stream(201, 17);
  EXPECT_THAT(first.sends,
              ElementsAre("{MyInNetLocalIP}[192.168.1.20]", "{BuoHao}[(192.168.1.20)3381]", "{ZhiLiangCha}"));
  std::vector<std::string> lines = AllLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), u8"已经调整语音质量!"), 1);
  Stream(200, 17);
  EXPECT_EQ(first.sends.size(), 3u);
  Press();

  // The next call measures from its own first datagram.
  clock.now_ms += 10'000;
  StreamRecord& second = Talking();
  Stream(200, 17);
  EXPECT_EQ(second.sends.size(), 2u);
  Stream(1, 17);
  EXPECT_EQ(second.sends.size(), 3u);
  EXPECT_EQ(second.sends.back(), "{ZhiLiangCha}");
}

}  // namespace
}  // namespace pelvarine::testing
