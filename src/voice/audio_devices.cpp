#include "voice/audio_devices.h"

#include <cstring>

namespace pelvarine {

AudioDevices::AudioDevices(WaveDevices& devices, Clock& clock, StatusLog& log, CallState& state,
                           VoiceBlockSender& sender)
    : devices_(devices), clock_(clock), log_(log), state_(state), sender_(sender) {}

void AudioDevices::SetWaveFormat() {
  format_.format_tag = kWaveFormatALaw;
  format_.channels = 1;
  format_.samples_per_sec = 8000;
  format_.avg_bytes_per_sec = 8000;
  format_.block_align = 1;
  format_.bits_per_sample = 8;
  format_.extra_size = 0;
}

void AudioDevices::InitHeader(Buffer& buffer) {
  buffer.header = WaveHeader{};
  buffer.header.data = buffer.data;
  buffer.header.buffer_length = kVoiceBlockSize;
  buffer.header.loops = 1;
}

void AudioDevices::AppendError(MmResult result) {
  log_.AppendStatusLine(devices_.ErrorText(result));
}

void AudioDevices::AppendDeviceFailure(std::string_view what, MmResult result) {
  std::string line(what);
  line += devices_.ErrorText(result);
  log_.AppendStatusLine(line);
}

void AudioDevices::StartCapture() {
  // A second start in the same call leaves the running device alone.
  if (input_ != nullptr) return;
  state_.send_sequence.store(0, std::memory_order_relaxed);
  capture_failure_.store(kMmNoError);
  capture_failure_reported_ = false;
  requeue_allowed_.store(true);
  bool failed = false;
  MmResult result = devices_.InOpen(&input_, format_, *this);
  if (result != kMmNoError) {
    input_ = nullptr;
    failed = true;
    log_.AppendStatusLine("waveInOpen");
    AppendError(result);
  }
  for (Buffer& buffer : capture_) {
    InitHeader(buffer);
    // Without a device the platform reports an invalid handle; the core says the same without asking.
    result = input_ ? devices_.InPrepareHeader(input_, &buffer.header) : kMmInvalidHandle;
    if (result != kMmNoError) {
      log_.AppendStatusLine("waveInPrepareHeader");
      AppendError(result);
      failed = true;
      break;
    }
    result = devices_.InAddBuffer(input_, &buffer.header);
    if (result != kMmNoError) {
      log_.AppendStatusLine("waveInAddBuffer");
      AppendError(result);
      failed = true;
      break;
    }
  }
  if (!failed) {
    result = devices_.InStart(input_);
    if (result != kMmNoError) {
      log_.AppendStatusLine("waveInStart");
      AppendError(result);
      failed = true;
    }
  }
  if (failed) log_.AppendStatusLine("Err004:声卡输入打开失败！");
}

void AudioDevices::WaveInProc(WaveHandle device, uint32_t message, WaveHeader* header) {
  if (message != kWaveInDataMessage) return;
  // Sequentially consistent with StopCapture, which clears the permission and then waits for this
  // count: a completion that saw the permission is always waited for, and one that starts later sees
  // it clear.
  callbacks_in_flight_.fetch_add(1);
  if (requeue_allowed_.load() && state_.off_hook.load()) {
    // Copy out first, so the buffer can go straight back to the device.
    std::memcpy(captured_block_, header->data, kVoiceBlockSize);
    MmResult result = devices_.InPrepareHeader(device, header);
    if (result == kMmNoError) result = devices_.InAddBuffer(device, header);
    // Lines belong to the UI thread: the first failure waits there for ReportCaptureFailure.
    MmResult none = kMmNoError;
    if (result != kMmNoError) capture_failure_.compare_exchange_strong(none, result);
    sender_.SendVoiceBlock(captured_block_);
  }
  callbacks_in_flight_.fetch_sub(1);
}

void AudioDevices::ReportCaptureFailure() {
  MmResult result = capture_failure_.load();
  if (result == kMmNoError || capture_failure_reported_) return;
  capture_failure_reported_ = true;
  AppendDeviceFailure("声卡输入出错：", result);
}

void AudioDevices::StartPlayback() {
  if (output_ != nullptr) return;
  playback_failure_reported_ = false;
  for (Buffer& buffer : playback_)
    InitHeader(buffer);
  MmResult result = devices_.OutOpen(&output_, format_);
  if (result != kMmNoError) {
    output_ = nullptr;
    AppendError(result);
  }
}

void AudioDevices::PlayVoiceBlock(const uint8_t* block) {
  if (output_ == nullptr) return;
  Buffer& slot = playback_[ring_index_];
  // More than eight blocks within the time the device plays them: never overwrite a queued buffer.
  if (slot.header.flags & kWaveHeaderInQueue) {
    ++dropped_playback_blocks_;
    return;
  }
  std::memcpy(slot.data, block, kVoiceBlockSize);
  slot.header.buffer_length = kVoiceBlockSize;
  MmResult result = devices_.OutPrepareHeader(output_, &slot.header);
  if (result == kMmNoError) result = devices_.OutWrite(output_, &slot.header);
  // The block is lost either way; the user hears why once, not sixty times a second.
  if (result != kMmNoError && !playback_failure_reported_) {
    playback_failure_reported_ = true;
    AppendDeviceFailure("声卡输出出错：", result);
  }
  ring_index_ = (ring_index_ + 1) % kPlaybackRingSize;
}

void AudioDevices::StopCapture() {
  if (input_ == nullptr) return;
  // No completion may queue its buffer again from here on, and none may still be doing so while the
  // device stops: a buffer queued after the reset would make the close fail with the device alive.
  requeue_allowed_.store(false);
  while (callbacks_in_flight_.load() != 0)
    clock_.Sleep(1);
  ReportCaptureFailure();
  MmResult result = devices_.InStop(input_);
  if (result != kMmNoError) AppendError(result);
  result = devices_.InReset(input_);
  if (result != kMmNoError) AppendError(result);
  result = devices_.InClose(input_);
  if (result != kMmNoError) {
    // Still holding a buffer: hand everything back once more before giving up on the device.
    devices_.InReset(input_);
    result = devices_.InClose(input_);
    if (result != kMmNoError) AppendError(result);
  }
  input_ = nullptr;
}

void AudioDevices::StopPlayback() {
  if (output_ == nullptr) return;
  MmResult result = devices_.OutReset(output_);
  if (result != kMmNoError) AppendError(result);
  result = devices_.OutClose(output_);
  if (result != kMmNoError) AppendError(result);
  output_ = nullptr;
}

}  // namespace pelvarine
