#pragma once
// Audio capture and playback of a call: eight 128-byte capture buffers circulate between the input device
// and WaveInProc, which hands each block to the voice channel; accepted blocks are written to the output
// device through a ring of eight buffers. A-law through the wave mapper, which does the conversion.

#include <atomic>
#include <cstdint>
#include <string_view>

#include "call/call_state.h"
#include "platform/clock.h"
#include "platform/wave_devices.h"
#include "ui/status_log.h"
#include "voice/voice_datagram.h"

namespace pelvarine {

constexpr int kCaptureBufferCount = 8;
constexpr int kPlaybackRingSize = 8;
constexpr uint16_t kWaveFormatALaw = 6;

// Where captured blocks go (capture thread).
class VoiceBlockSender {
 public:
  virtual ~VoiceBlockSender() = default;
  virtual void SendVoiceBlock(const uint8_t* block) = 0;
};

class AudioDevices final : public WaveInClient {
 public:
  AudioDevices(WaveDevices& devices, Clock& clock, StatusLog& log, CallState& state,
               VoiceBlockSender& sender);

  // UI thread.
  void SetWaveFormat();
  void StartCapture();
  void StartPlayback();
  void PlayVoiceBlock(const uint8_t* block);
  // Waits for a completion still running, so the device is stopped with none in flight and no buffer
  // goes back to it once the stop has begun.
  void StopCapture();
  void StopPlayback();
  // A capture buffer the device would not take back is reported here, on the UI thread, once per call.
  void ReportCaptureFailure();

  // Capture thread.
  void WaveInProc(WaveHandle device, uint32_t message, WaveHeader* header) override;

  bool CaptureOpen() const { return input_ != nullptr; }
  bool PlaybackOpen() const { return output_ != nullptr; }
  int ring_index() const { return ring_index_; }
  // Blocks not played because their ring slot was still queued at the device.
  uint64_t dropped_playback_blocks() const { return dropped_playback_blocks_; }
  const WaveFormat& format() const { return format_; }

 private:
  struct Buffer {
    WaveHeader header;
    char data[kVoiceBlockSize];
  };

  void InitHeader(Buffer& buffer);
  void AppendError(MmResult result);
  void AppendDeviceFailure(std::string_view what, MmResult result);

  WaveDevices& devices_;
  Clock& clock_;
  StatusLog& log_;
  CallState& state_;
  VoiceBlockSender& sender_;

  WaveFormat format_;
  WaveHandle input_ = nullptr;
  WaveHandle output_ = nullptr;
  Buffer capture_[kCaptureBufferCount] = {};
  Buffer playback_[kPlaybackRingSize] = {};
  int ring_index_ = 0;  // carries on across calls
  uint64_t dropped_playback_blocks_ = 0;
  bool playback_failure_reported_ = false;  // this call's
  bool capture_failure_reported_ = false;

  // Capture thread.
  uint8_t captured_block_[kVoiceBlockSize] = {};
  // Shared with the capture thread: whether completions may queue their buffer again, how many are
  // running, and the first result of a failed re-queue in this call (0: none).
  std::atomic<bool> requeue_allowed_{false};
  std::atomic<int> callbacks_in_flight_{0};
  std::atomic<MmResult> capture_failure_{kMmNoError};
};

}  // namespace pelvarine
