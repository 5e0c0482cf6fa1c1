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

void AudioDevices::AppendError(MmResult result) { log_.AppendStatusLine(devices_.ErrorText(result)); }

void AudioDevices::StartCapture() {
  // A second start in the same call leaves the running device alone.
  if (input_ != nullptr) return;
  state_.send_sequence.store(0, std::memory_order_relaxed);
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
  // Sequentially consistent with the teardown, which clears the off-hook flag and then waits for this
  // count: a completion that saw the flag set is always waited for.
  callbacks_in_flight_.fetch_add(1);
  if (state_.off_hook.load()) {
    // Copy out first, so the buffer can go straight back to the device.
    std::memcpy(captured_block_, header->data, kVoiceBlockSize);
    devices_.InPrepareHeader(device, header);
    devices_.InAddBuffer(device, header);
    sender_.SendVoiceBlock(captured_block_);
  }
  callbacks_in_flight_.fetch_sub(1);
}

void AudioDevices::StartPlayback() {
  if (output_ != nullptr) return;
  for (Buffer& buffer : playback_) InitHeader(buffer);
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
  devices_.OutPrepareHeader(output_, &slot.header);
  devices_.OutWrite(output_, &slot.header);
  ring_index_ = (ring_index_ + 1) % kPlaybackRingSize;
}

void AudioDevices::StopCapture() {
  if (input_ == nullptr) return;
  MmResult result = devices_.InStop(input_);
  if (result != kMmNoError) AppendError(result);
  result = devices_.InReset(input_);
  if (result != kMmNoError) AppendError(result);
  result = devices_.InClose(input_);
  if (result != kMmNoError) AppendError(result);
  // A completion that started before the stop may still be running on the audio thread.
  while (callbacks_in_flight_.load() != 0) clock_.Sleep(1);
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
