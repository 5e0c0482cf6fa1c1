#pragma once
// Wave devices that record every call, fail any step on demand, and deliver capture completions either
// synchronously or from a thread of their own, as the audio system does. Like winmm, closing the input
// fails while a buffer is still queued.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wave_devices.h"

namespace pelvarine::testing {

class FakeWaveDevices final : public WaveDevices {
 public:
  ~FakeWaveDevices() override;

  MmResult InOpen(WaveHandle* device, const WaveFormat& format, WaveInClient& client) override;
  MmResult InPrepareHeader(WaveHandle device, WaveHeader* header) override;
  MmResult InAddBuffer(WaveHandle device, WaveHeader* header) override;
  MmResult InStart(WaveHandle device) override;
  MmResult InStop(WaveHandle device) override;
  MmResult InReset(WaveHandle device) override;
  MmResult InClose(WaveHandle device) override;
  MmResult OutOpen(WaveHandle* device, const WaveFormat& format) override;
  MmResult OutPrepareHeader(WaveHandle device, WaveHeader* header) override;
  MmResult OutWrite(WaveHandle device, WaveHeader* header) override;
  MmResult OutReset(WaveHandle device) override;
  MmResult OutClose(WaveHandle device) override;
  std::string ErrorText(MmResult result) override { return "error " + std::to_string(result); }
  std::string OutDeviceProductName(unsigned index) override {
    return index == 0 ? product_name : std::string();
  }

  // Failure injection: the result an operation returns ("InOpen", "InStart", ...).
  std::map<std::string, MmResult> fail;
  int in_prepare_fail_at = -1;  // the n-th InPrepareHeader of a start (0-based) fails with 11
  int in_add_fail_at = -1;
  std::string product_name = "Fake Wave Out";

  // Every call in order, e.g. "InOpen", "InPrepareHeader", ...
  std::vector<std::string> Calls() const;
  int CountCalls(const std::string& name) const;
  void ClearCalls();
  // Waits (up to `timeout_ms`) until `name` has been called; false on timeout.
  bool WaitForCall(const std::string& name, int timeout_ms);

  // Runs at the start of each InPrepareHeader made while recording (a completion giving its buffer
  // back), on the calling thread, without the fake's lock.
  std::function<void()> on_requeue;
  // Runs at the start of InReset, on the calling thread, without the fake's lock.
  std::function<void()> on_reset;
  // Buffers queued after the input device was stopped, as winmm would take them.
  int adds_after_stop() const { return adds_after_stop_; }

  // Capture: completes the oldest queued buffer with `fill` bytes (and `recorded` as the bytes recorded),
  // calling WaveInProc on this thread. False when no buffer is queued or not recording.
  bool DeliverCapturedBlock(uint8_t fill, uint32_t recorded = 128);
  // Completes buffers from a thread of its own every `interval_us` while recording; InClose stops it.
  void StartCaptureThread(int interval_us);
  size_t QueuedCaptureBuffers() const;
  bool recording() const { return recording_; }
  WaveFormat last_format;

  // Playback: blocks written, and completing the oldest written ones.
  std::vector<std::string> Played() const;
  // The header of every successful write, in order: which ring slot each block went to.
  std::vector<const WaveHeader*> WrittenHeaders() const;
  void CompletePlayback(size_t count);
  size_t QueuedPlaybackBuffers() const;

 private:
  MmResult Result(const std::string& name);
  void StopCaptureThread();

  mutable std::mutex mutex_;
  std::condition_variable called_;
  std::vector<std::string> calls_;
  bool stopped_ = false;
  std::atomic<int> adds_after_stop_{0};
  WaveInClient* client_ = nullptr;
  WaveHandle input_ = nullptr;
  WaveHandle output_ = nullptr;
  std::deque<WaveHeader*> capture_queue_;
  std::deque<WaveHeader*> playback_queue_;
  std::vector<std::string> played_;
  std::vector<const WaveHeader*> written_headers_;
  int prepares_since_open_ = 0;
  int adds_since_open_ = 0;
  std::atomic<bool> recording_{false};
  std::atomic<bool> thread_running_{false};
  std::thread capture_thread_;
  int input_token_ = 0;
  int output_token_ = 0;
};

}  // namespace pelvarine::testing
