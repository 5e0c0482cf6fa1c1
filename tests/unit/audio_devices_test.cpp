#include "voice/audio_devices.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingSender final : public VoiceBlockSender {
 public:
  void SendVoiceBlock(const uint8_t* block) override {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.emplace_back(reinterpret_cast<const char*>(block), kVoiceBlockSize);
    if (on_send) on_send();
  }
  std::vector<std::string> Blocks() {
    std::lock_guard<std::mutex> lock(mutex);
    return blocks;
  }
  std::function<void()> on_send;
  std::vector<std::string> blocks;
  std::mutex mutex;
};

std::array<uint8_t, kVoiceBlockSize> Block(uint8_t fill) {
  std::array<uint8_t, kVoiceBlockSize> block;
  block.fill(fill);
  return block;
}

class AudioTest : public ::testing::Test {
 protected:
  AudioTest() {
    log.SetLineTerminator(kCrLf);
    audio.SetWaveFormat();
    state.off_hook = true;
  }
  ~AudioTest() override {
    state.off_hook = false;
    audio.StopCapture();
    audio.StopPlayback();
  }
  std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    for (const std::string& line : panel.appended)
      lines.push_back(Utf8(line));
    return lines;
  }
  void Play(uint8_t fill) { audio.PlayVoiceBlock(Block(fill).data()); }

  FakeWaveDevices wave;
  FakeClock clock;
  FakeTextPanel panel;
  StatusLog log{panel};
  CallState state;
  RecordingSender sender;
  AudioDevices audio{wave, clock, log, state, sender};
};

TEST_F(AudioTest, WaveFormatIsEightKilohertzEightBitMonoALaw) {
  const WaveFormat& f = audio.format();
  EXPECT_EQ(f.format_tag, 6);
  EXPECT_EQ(f.channels, 1);
  EXPECT_EQ(f.samples_per_sec, 8000u);
  EXPECT_EQ(f.avg_bytes_per_sec, 8000u);
  EXPECT_EQ(f.block_align, 1);
  EXPECT_EQ(f.bits_per_sample, 8);
  EXPECT_EQ(f.extra_size, 0);
  // Both devices are opened with it.
  audio.StartCapture();
  EXPECT_EQ(wave.last_format.format_tag, 6);
  wave.last_format = WaveFormat{};
  audio.StartPlayback();
  EXPECT_EQ(wave.last_format.samples_per_sec, 8000u);
  EXPECT_EQ(wave.last_format.bits_per_sample, 8);
}

// ---- Starting capture -----------------------------------------------------------------------------

TEST_F(AudioTest, StartCaptureQueuesEightBuffersThenStarts) {
  state.send_sequence = 55;
  audio.StartCapture();
  EXPECT_EQ(state.send_sequence, 0);
  std::vector<std::string> expected = {"InOpen"};
  for (int i = 0; i < 8; ++i) {
    expected.push_back("InPrepareHeader");
    expected.push_back("InAddBuffer");
  }
  expected.push_back("InStart");
  EXPECT_EQ(wave.Calls(), expected);
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 8u);
  EXPECT_TRUE(wave.recording());
  EXPECT_TRUE(audio.CaptureOpen());
  EXPECT_THAT(panel.appended, IsEmpty());
}

TEST_F(AudioTest, FailedOpenReportsTheOpenAndTheInvalidHandleOfThePreparation) {
  wave.fail["InOpen"] = 2;
  audio.StartCapture();
  EXPECT_THAT(AllLines(), ElementsAre("waveInOpen", "error 2", "waveInPrepareHeader", "error 5",
                                      u8"Err004:声卡输入打开失败！"));
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_EQ(wave.CountCalls("InAddBuffer"), 0);
  EXPECT_EQ(wave.CountCalls("InStart"), 0);
  // Nothing to stop at teardown.
  wave.ClearCalls();
  panel.appended.clear();
  state.off_hook = false;
  audio.StopCapture();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_THAT(panel.appended, IsEmpty());
}

TEST_F(AudioTest, FailedPreparationOfTheFourthBufferLeavesThreeQueuedAndTheDeviceOpen) {
  wave.in_prepare_fail_at = 3;
  audio.StartCapture();
  EXPECT_THAT(AllLines(), ElementsAre("waveInPrepareHeader", "error 11", u8"Err004:声卡输入打开失败！"));
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 3u);
  EXPECT_EQ(wave.CountCalls("InAddBuffer"), 3);
  EXPECT_EQ(wave.CountCalls("InStart"), 0);
  EXPECT_TRUE(audio.CaptureOpen());
  EXPECT_FALSE(wave.recording());

  // The teardown closes it; the buffers handed back are neither sent nor queued again.
  state.off_hook = false;
  wave.ClearCalls();
  audio.StopCapture();
  EXPECT_THAT(wave.Calls(), ElementsAre("InStop", "InReset", "InClose"));
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_THAT(sender.Blocks(), IsEmpty());
}

TEST_F(AudioTest, FailedQueueingStopsTheLoopAndReportsIt) {
  wave.in_add_fail_at = 5;
  audio.StartCapture();
  EXPECT_THAT(AllLines(), ElementsAre("waveInAddBuffer", "error 11", u8"Err004:声卡输入打开失败！"));
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 5u);
  EXPECT_EQ(wave.CountCalls("InPrepareHeader"), 6);
  EXPECT_EQ(wave.CountCalls("InStart"), 0);
  EXPECT_TRUE(audio.CaptureOpen());
}

TEST_F(AudioTest, FailedStartLeavesAllBuffersQueuedWithoutRecording) {
  wave.fail["InStart"] = 4;
  audio.StartCapture();
  EXPECT_THAT(AllLines(), ElementsAre("waveInStart", "error 4", u8"Err004:声卡输入打开失败！"));
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 8u);
  EXPECT_FALSE(wave.recording());
  EXPECT_TRUE(audio.CaptureOpen());
}

TEST_F(AudioTest, SecondStartWhileTheDevicesAreOpenDoesNothing) {
  audio.StartCapture();
  audio.StartPlayback();
  Play(1);
  Play(2);
  state.send_sequence = 42;
  wave.ClearCalls();
  audio.StartCapture();
  audio.StartPlayback();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_EQ(state.send_sequence, 42);  // the far end's sequence filter would drop a restarted count
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 8u);
  // The ring's headers were not reset either: slots 0 and 1 are still queued at the device.
  for (uint8_t fill = 3; fill <= 9; ++fill)
    Play(fill);
  EXPECT_EQ(wave.Played().size(), 8u);
  EXPECT_EQ(audio.dropped_playback_blocks(), 1u);
}

// ---- Capture events -------------------------------------------------------------------------------

TEST_F(AudioTest, CaptureEventsCirculateTheBuffersAndSendWholeBlocks) {
  audio.StartCapture();
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(wave.DeliverCapturedBlock(static_cast<uint8_t>(i))) << i;
  std::vector<std::string> blocks = sender.Blocks();
  ASSERT_EQ(blocks.size(), 20u);
  EXPECT_EQ(blocks[19], std::string(128, '\x13'));
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 8u);
}

TEST_F(AudioTest, EveryEventCarriesAllHundredAndTwentyEightBytes) {
  audio.StartCapture();
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x11));
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x55, 10));  // the device reports only 10 bytes recorded
  ASSERT_TRUE(wave.DeliverCapturedBlock(0x66, 0));
  std::vector<std::string> blocks = sender.Blocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1], std::string(128, '\x55'));
  EXPECT_EQ(blocks[2], std::string(128, '\x66'));
}

TEST_F(AudioTest, BufferIsBackWithTheDeviceBeforeTheBlockIsSent) {
  audio.StartCapture();
  std::vector<size_t> queued_at_send;
  sender.on_send = [&] { queued_at_send.push_back(wave.QueuedCaptureBuffers()); };
  ASSERT_TRUE(wave.DeliverCapturedBlock(1));
  ASSERT_TRUE(wave.DeliverCapturedBlock(2));
  EXPECT_THAT(queued_at_send, ElementsAre(8u, 8u));
}

TEST_F(AudioTest, CaptureEventOnHookSendsNothingAndKeepsTheBuffer) {
  audio.StartCapture();
  state.off_hook = false;
  wave.ClearCalls();
  ASSERT_TRUE(wave.DeliverCapturedBlock(1));
  ASSERT_TRUE(wave.DeliverCapturedBlock(2));
  EXPECT_THAT(sender.Blocks(), IsEmpty());
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 6u);
  EXPECT_THAT(wave.Calls(), IsEmpty());
  // Recording runs dry after the eight buffers.
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(wave.DeliverCapturedBlock(3));
  EXPECT_FALSE(wave.DeliverCapturedBlock(4));
}

TEST_F(AudioTest, OnlyTheBufferFullMessageIsHandled) {
  audio.StartCapture();
  std::array<char, kVoiceBlockSize> data{};
  WaveHeader header;
  header.data = data.data();
  header.buffer_length = kVoiceBlockSize;
  wave.ClearCalls();
  audio.WaveInProc(nullptr, kWaveInOpenMessage, nullptr);
  audio.WaveInProc(nullptr, kWaveInCloseMessage, &header);
  EXPECT_THAT(sender.Blocks(), IsEmpty());
  EXPECT_THAT(wave.Calls(), IsEmpty());
}

// ---- Playback -------------------------------------------------------------------------------------

TEST_F(AudioTest, FailedPlaybackOpenReportsTheErrorTextOnlyAndPlaysNothing) {
  wave.fail["OutOpen"] = 3;
  audio.StartPlayback();
  EXPECT_THAT(AllLines(), ElementsAre("error 3"));
  EXPECT_FALSE(audio.PlaybackOpen());
  wave.ClearCalls();
  Play(1);
  Play(2);
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_EQ(audio.ring_index(), 0);
  audio.StopPlayback();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_EQ(AllLines().size(), 1u);
}

TEST_F(AudioTest, RingOfEightSlotsIsUsedInTurn) {
  audio.StartPlayback();
  for (uint8_t fill = 1; fill <= 8; ++fill)
    Play(fill);
  EXPECT_EQ(audio.ring_index(), 0);
  wave.CompletePlayback(8);
  Play(9);
  std::vector<const WaveHeader*> slots = wave.WrittenHeaders();
  ASSERT_EQ(slots.size(), 9u);
  for (size_t i = 1; i < 8; ++i)
    EXPECT_NE(slots[i], slots[i - 1]);
  EXPECT_EQ(slots[8], slots[0]);
  EXPECT_EQ(wave.Played()[8], std::string(128, '\x09'));
  EXPECT_EQ(slots[8]->buffer_length, 128u);
}

TEST_F(AudioTest, RingIndexCarriesOnIntoTheNextCall) {
  audio.StartPlayback();
  for (uint8_t fill = 1; fill <= 3; ++fill)
    Play(fill);
  audio.StopPlayback();
  EXPECT_EQ(audio.ring_index(), 3);
  audio.StartPlayback();
  Play(4);
  std::vector<const WaveHeader*> slots = wave.WrittenHeaders();
  ASSERT_EQ(slots.size(), 4u);
  EXPECT_EQ(audio.ring_index(), 4);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_NE(slots[3], slots[i]);
}

TEST_F(AudioTest, BlockForASlotStillQueuedIsDroppedNotOverwritten) {
  audio.StartPlayback();
  for (uint8_t fill = 1; fill <= 8; ++fill)
    Play(fill);
  Play(9);
  Play(10);
  EXPECT_EQ(wave.Played().size(), 8u);
  EXPECT_EQ(audio.dropped_playback_blocks(), 2u);
  const WaveHeader* first = wave.WrittenHeaders()[0];
  EXPECT_EQ(std::string(first->data, 128), std::string(128, '\x01'));

  // As soon as the oldest block has played its slot takes the next one.
  wave.CompletePlayback(1);
  Play(11);
  ASSERT_EQ(wave.Played().size(), 9u);
  EXPECT_EQ(wave.WrittenHeaders()[8], first);
  EXPECT_EQ(wave.Played()[8], std::string(128, '\x0B'));
  EXPECT_EQ(audio.dropped_playback_blocks(), 2u);
}

TEST_F(AudioTest, FailedWriteLosesTheBlockButTheRingMovesOn) {
  audio.StartPlayback();
  wave.fail["OutWrite"] = 7;
  Play(1);
  EXPECT_EQ(audio.ring_index(), 1);
  EXPECT_THAT(wave.Played(), IsEmpty());
  wave.fail.clear();
  Play(2);
  EXPECT_EQ(wave.Played().size(), 1u);
}

// ---- Device failures during a call ----------------------------------------------------------------

TEST_F(AudioTest, FailingPlaybackIsReportedOncePerCallWithTheDeviceText) {
  audio.StartPlayback();
  Play(1);
  wave.fail["OutWrite"] = 7;
  for (uint8_t fill = 2; fill < 40; ++fill)
    Play(fill);
  EXPECT_THAT(AllLines(), ElementsAre(u8"声卡输出出错：error 7"));

  wave.fail = {{"OutPrepareHeader", 11}};
  Play(50);
  EXPECT_EQ(AllLines().size(), 1u);

  // The next call starts with a clean slate.
  audio.StopPlayback();
  audio.StartPlayback();
  Play(51);
  EXPECT_THAT(AllLines(), ElementsAre(u8"声卡输出出错：error 7", u8"声卡输出出错：error 11"));
}

TEST_F(AudioTest, CaptureBufferRefusedByTheDeviceIsLeftForTheUiThreadToReportOnce) {
  audio.StartCapture();
  wave.fail["InAddBuffer"] = 5;
  std::thread capture([&] {
    for (int i = 0; i < 3; ++i)
      wave.DeliverCapturedBlock(static_cast<uint8_t>(i));
  });
  capture.join();
  EXPECT_EQ(sender.Blocks().size(), 3u);   // what was captured still goes out
  EXPECT_THAT(panel.appended, IsEmpty());  // the capture thread never writes to the panel
  audio.ReportCaptureFailure();
  audio.ReportCaptureFailure();
  EXPECT_THAT(AllLines(), ElementsAre(u8"声卡输入出错：error 5"));

  // Stopping reports nothing more; the next call reports its own failure, at the latest when it stops.
  wave.fail.clear();
  state.off_hook = false;
  audio.StopCapture();
  state.off_hook = true;
  audio.StartCapture();
  wave.fail["InPrepareHeader"] = 6;
  ASSERT_TRUE(wave.DeliverCapturedBlock(9));
  wave.fail.clear();
  state.off_hook = false;
  audio.StopCapture();
  EXPECT_THAT(AllLines(), ElementsAre(u8"声卡输入出错：error 5", u8"声卡输入出错：error 6"));
}

// ---- Stopping -------------------------------------------------------------------------------------

TEST_F(AudioTest, StopsCallEachStepInOrderQuietly) {
  audio.StartCapture();
  audio.StartPlayback();
  state.off_hook = false;
  wave.ClearCalls();
  audio.StopCapture();
  audio.StopPlayback();
  EXPECT_THAT(wave.Calls(), ElementsAre("InStop", "InReset", "InClose", "OutReset", "OutClose"));
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_FALSE(audio.PlaybackOpen());
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_THAT(sender.Blocks(), IsEmpty());  // the reset handed back eight buffers with the flag clear
}

TEST_F(AudioTest, EveryFailingStopStepAddsItsErrorTextAndTheHandleGoesAnyway) {
  audio.StartCapture();
  audio.StartPlayback();
  state.off_hook = false;
  wave.fail = {{"InStop", 1}, {"InReset", 2}, {"InClose", 3}, {"OutReset", 8}, {"OutClose", 9}};
  audio.StopCapture();
  audio.StopPlayback();
  EXPECT_THAT(AllLines(), ElementsAre("error 1", "error 2", "error 3", "error 8", "error 9"));
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_FALSE(audio.PlaybackOpen());

  // Closed is closed: a second stop does nothing at all.
  wave.ClearCalls();
  panel.appended.clear();
  audio.StopCapture();
  audio.StopPlayback();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_THAT(panel.appended, IsEmpty());
}

TEST_F(AudioTest, StopCaptureWaitsForACaptureEventStillSending) {
  audio.StartCapture();
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> send_finished{false};
  sender.on_send = [&] {
    entered.set_value();
    released.wait();
    send_finished = true;
  };
  std::thread capture([&] { wave.DeliverCapturedBlock(0x21); });
  entered.get_future().wait();

  // The event passed the off-hook test before the stop began; the stop lets it finish first.
  std::atomic<bool> released_once{false};
  clock.on_sleep = [&](int) {
    if (!released_once.exchange(true)) release.set_value();
  };
  state.off_hook = false;
  audio.StopCapture();
  bool finished_before_return = send_finished;
  if (!released_once.exchange(true)) release.set_value();
  capture.join();
  sender.on_send = nullptr;
  clock.on_sleep = nullptr;
  EXPECT_TRUE(finished_before_return);
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_EQ(sender.Blocks().size(), 1u);
}

TEST_F(AudioTest, StopsWithNothingOpenDoNothing) {
  state.off_hook = false;
  audio.StopCapture();
  audio.StopPlayback();
  EXPECT_THAT(wave.Calls(), IsEmpty());
  EXPECT_THAT(panel.appended, IsEmpty());
}

// A completion that passed its checks just before the stop gives its buffer back on the audio thread
// while the UI thread stops the device: it pauses before re-queueing until the device is stopped (or
// until it gives up waiting), and the reset waits for it to finish (or gives up in turn).
TEST_F(AudioTest, StopLetsACompletionInFlightFinishBeforeTheDeviceStops) {
  audio.StartCapture();
  std::promise<void> entered, finished;
  std::shared_future<void> done = finished.get_future().share();
  std::atomic<bool> first{true};
  wave.on_requeue = [&] {
    if (!first.exchange(false)) return;
    entered.set_value();
    wave.WaitForCall("InStop", 300);
  };
  wave.on_reset = [&] { done.wait_for(std::chrono::seconds(1)); };
  std::thread capture([&] {
    wave.DeliverCapturedBlock(0x21);
    finished.set_value();
  });
  entered.get_future().wait();

  state.off_hook = false;
  audio.StopCapture();
  capture.join();
  wave.on_requeue = nullptr;
  wave.on_reset = nullptr;

  EXPECT_EQ(wave.adds_after_stop(), 0);
  EXPECT_THAT(wave.Calls(), ::testing::Contains("InClose").Times(1));
  EXPECT_THAT(panel.appended, IsEmpty());  // the close succeeded: nothing was left queued
  EXPECT_EQ(wave.QueuedCaptureBuffers(), 0u);
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_EQ(sender.Blocks().size(), 1u);
}

TEST_F(AudioTest, CompletionsDuringTheStopNeverQueueTheirBuffersAgain) {
  audio.StartCapture();
  wave.StartCaptureThread(50);
  ASSERT_TRUE(wave.WaitForCall("InAddBuffer", 1000));
  // The off-hook flag is left set: stopping on its own must keep buffers from going back.
  audio.StopCapture();
  EXPECT_EQ(wave.adds_after_stop(), 0);
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_FALSE(audio.CaptureOpen());
  EXPECT_FALSE(wave.DeliverCapturedBlock(1));
}

// ---- Capture on its own thread during a whole call ------------------------------------------------

class CaptureThreadTest : public ClientTest {
 protected:
  void SetUp() override { Start(); }
};

int SequenceOf(const Datagram& d) {
  return std::stoi(d.bytes.substr(0, 16));
}

TEST_F(CaptureThreadTest, UiChangesReachTheCaptureThreadAndTeardownStopsItBeforeTheSocketGoes) {
  PressAndReply();
  DatagramRecord& socket = *network.LastDatagram();
  std::atomic<int> in_closes_at_release{-1};
  std::atomic<size_t> sent_at_release{0};
  socket.on_destroy = [&] {
    in_closes_at_release = wave.CountCalls("InClose");
    sent_at_release = socket.Sent().size();
  };
  Server("{ChanelWaitBohao}");
  wave.StartCaptureThread(100);

  ASSERT_TRUE(socket.WaitUntilSent([](const std::vector<Datagram>& sent) { return sent.size() >= 20; }));
  Server("{RemoteUDPPort}[30000]");
  ASSERT_TRUE(socket.WaitUntilSent(
      [](const std::vector<Datagram>& sent) { return !sent.empty() && sent.back().port == 30000; }));
  Server("{ZhiLiangCha}");
  ASSERT_TRUE(socket.WaitUntilSent([](const std::vector<Datagram>& sent) {
    size_t n = sent.size();
    return n >= 4 && sent[n - 1].bytes == sent[n - 2].bytes && sent[n - 3].bytes == sent[n - 4].bytes;
  }));

  Press();
  EXPECT_EQ(stage(), CallStage::kIdle);
  EXPECT_FALSE(wave.recording());
  EXPECT_TRUE(socket.destroyed);
  EXPECT_EQ(in_closes_at_release, 1);  // capture was closed when the socket went
  std::vector<Datagram> sent = socket.Sent();
  EXPECT_EQ(sent.size(), sent_at_release.load());
  EXPECT_FALSE(wave.DeliverCapturedBlock(0x77));
  EXPECT_EQ(socket.Sent().size(), sent.size());

  // What went out is one unbroken numbering, each number once or (in duplicate mode) twice, and the
  // port never goes back once the new one was taken.
  ASSERT_GE(sent.size(), 24u);
  EXPECT_EQ(SequenceOf(sent[0]), 1);
  EXPECT_EQ(sent[0].port, 20481);
  bool new_port = false;
  int repeats = 0;
  for (size_t i = 1; i < sent.size(); ++i) {
    int previous = SequenceOf(sent[i - 1]), current = SequenceOf(sent[i]);
    if (current == previous) {
      ++repeats;
      EXPECT_EQ(sent[i].bytes, sent[i - 1].bytes) << i;
      if (i >= 2) {
        EXPECT_NE(SequenceOf(sent[i - 2]), current) << "sent three times at " << i;
      }
    } else {
      EXPECT_EQ(current, previous + 1) << i;
    }
    if (sent[i].port == 30000) new_port = true;
    if (new_port) {
      EXPECT_EQ(sent[i].port, 30000) << i;
    }
    EXPECT_EQ(sent[i].ipv4, network.peer_ipv4);
  }
  EXPECT_GE(repeats, 2);
}

}  // namespace
}  // namespace pelvarine::testing
