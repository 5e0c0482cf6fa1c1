#include "fakes/fake_wave_devices.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace pelvarine::testing {

constexpr MmResult kWaveStillPlaying = 33;

FakeWaveDevices::~FakeWaveDevices() {
  StopCaptureThread();
}

MmResult FakeWaveDevices::Result(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(name);
  called_.notify_all();
  auto it = fail.find(name);
  return it == fail.end() ? kMmNoError : it->second;
}

std::vector<std::string> FakeWaveDevices::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

int FakeWaveDevices::CountCalls(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(calls_.begin(), calls_.end(), name));
}

bool FakeWaveDevices::WaitForCall(const std::string& name, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return called_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return std::find(calls_.begin(), calls_.end(), name) != calls_.end(); });
}

void FakeWaveDevices::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

MmResult FakeWaveDevices::InOpen(WaveHandle* device, const WaveFormat& format, WaveInClient& client) {
  MmResult result = Result("InOpen");
  if (result != kMmNoError) return result;
  std::lock_guard<std::mutex> lock(mutex_);
  last_format = format;
  client_ = &client;
  input_ = &input_token_;
  *device = input_;
  prepares_since_open_ = adds_since_open_ = 0;
  stopped_ = false;
  return kMmNoError;
}

MmResult FakeWaveDevices::InPrepareHeader(WaveHandle device, WaveHeader* header) {
  if (recording_ && on_requeue) on_requeue();
  MmResult result = Result("InPrepareHeader");
  std::lock_guard<std::mutex> lock(mutex_);
  if (device == nullptr || device != input_) return kMmInvalidHandle;
  if (prepares_since_open_++ == in_prepare_fail_at) return 11;
  if (result != kMmNoError) return result;
  header->flags |= kWaveHeaderPrepared;
  return kMmNoError;
}

MmResult FakeWaveDevices::InAddBuffer(WaveHandle device, WaveHeader* header) {
  MmResult result = Result("InAddBuffer");
  std::lock_guard<std::mutex> lock(mutex_);
  if (device == nullptr || device != input_) return kMmInvalidHandle;
  if (adds_since_open_++ == in_add_fail_at) return 11;
  if (result != kMmNoError) return result;
  if (stopped_) ++adds_after_stop_;
  header->flags = (header->flags & ~kWaveHeaderDone) | kWaveHeaderInQueue;
  capture_queue_.push_back(header);
  return kMmNoError;
}

MmResult FakeWaveDevices::InStart(WaveHandle) {
  MmResult result = Result("InStart");
  if (result == kMmNoError) recording_ = true;
  return result;
}

MmResult FakeWaveDevices::InStop(WaveHandle) {
  recording_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  return Result("InStop");
}

MmResult FakeWaveDevices::InReset(WaveHandle device) {
  if (on_reset) on_reset();
  MmResult result = Result("InReset");
  recording_ = false;
  StopCaptureThread();
  // Every queued buffer comes back marked done, through the completion function.
  std::deque<WaveHeader*> returned;
  WaveInClient* client = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    returned.swap(capture_queue_);
    client = client_;
  }
  for (WaveHeader* header : returned) {
    header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
    header->bytes_recorded = 0;
    if (client) client->WaveInProc(device, kWaveInDataMessage, header);
  }
  return result;
}

MmResult FakeWaveDevices::InClose(WaveHandle device) {
  MmResult result = Result("InClose");
  WaveInClient* client = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!capture_queue_.empty()) return kWaveStillPlaying;
  }
  StopCaptureThread();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    client = client_;
    client_ = nullptr;
    input_ = nullptr;
  }
  if (client) client->WaveInProc(device, kWaveInCloseMessage, nullptr);
  return result;
}

bool FakeWaveDevices::DeliverCapturedBlock(uint8_t fill, uint32_t recorded) {
  WaveHeader* header = nullptr;
  WaveInClient* client = nullptr;
  WaveHandle device = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording_ || capture_queue_.empty()) return false;
    header = capture_queue_.front();
    capture_queue_.pop_front();
    client = client_;
    device = input_;
  }
  std::memset(header->data, fill, header->buffer_length);
  header->bytes_recorded = recorded;
  header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
  client->WaveInProc(device, kWaveInDataMessage, header);
  return true;
}

void FakeWaveDevices::StartCaptureThread(int interval_us) {
  thread_running_ = true;
  capture_thread_ = std::thread([this, interval_us] {
    uint8_t fill = 0;
    while (thread_running_) {
      DeliverCapturedBlock(fill++);
      std::this_thread::sleep_for(std::chrono::microseconds(interval_us));
    }
  });
}

void FakeWaveDevices::StopCaptureThread() {
  thread_running_ = false;
  if (capture_thread_.joinable() && capture_thread_.get_id() != std::this_thread::get_id())
    capture_thread_.join();
}

size_t FakeWaveDevices::QueuedCaptureBuffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_queue_.size();
}

MmResult FakeWaveDevices::OutOpen(WaveHandle* device, const WaveFormat& format) {
  MmResult result = Result("OutOpen");
  if (result != kMmNoError) return result;
  std::lock_guard<std::mutex> lock(mutex_);
  last_format = format;
  output_ = &output_token_;
  *device = output_;
  return kMmNoError;
}

MmResult FakeWaveDevices::OutPrepareHeader(WaveHandle device, WaveHeader* header) {
  MmResult result = Result("OutPrepareHeader");
  if (result != kMmNoError) return result;
  if (device != output_) return kMmInvalidHandle;
  header->flags |= kWaveHeaderPrepared;
  return kMmNoError;
}

MmResult FakeWaveDevices::OutWrite(WaveHandle device, WaveHeader* header) {
  MmResult result = Result("OutWrite");
  if (result != kMmNoError) return result;
  std::lock_guard<std::mutex> lock(mutex_);
  if (device != output_) return kMmInvalidHandle;
  header->flags = (header->flags & ~kWaveHeaderDone) | kWaveHeaderInQueue;
  playback_queue_.push_back(header);
  played_.emplace_back(header->data, header->buffer_length);
  written_headers_.push_back(header);
  return kMmNoError;
}

std::vector<std::string> FakeWaveDevices::Played() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return played_;
}

std::vector<const WaveHeader*> FakeWaveDevices::WrittenHeaders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_headers_;
}

void FakeWaveDevices::CompletePlayback(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (; count > 0 && !playback_queue_.empty(); --count) {
    WaveHeader* header = playback_queue_.front();
    playback_queue_.pop_front();
    header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
  }
}

size_t FakeWaveDevices::QueuedPlaybackBuffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playback_queue_.size();
}

MmResult FakeWaveDevices::OutReset(WaveHandle) {
  MmResult result = Result("OutReset");
  CompletePlayback(static_cast<size_t>(-1));
  return result;
}

MmResult FakeWaveDevices::OutClose(WaveHandle) {
  MmResult result = Result("OutClose");
  std::lock_guard<std::mutex> lock(mutex_);
  output_ = nullptr;
  return result;
}

}  // namespace pelvarine::testing
