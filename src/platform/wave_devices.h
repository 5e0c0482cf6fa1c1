#pragma once
// The wave input and output devices, shaped like winmm: the core decides which status lines a result
// produces. A-law through the wave mapper; capture completions arrive on an audio-system thread.

#include <cstdint>
#include <string>

namespace pelvarine {

using MmResult = uint32_t;  // 0 means success
constexpr MmResult kMmNoError = 0;
constexpr MmResult kMmInvalidHandle = 5;

using WaveHandle = void*;  // null means none

struct WaveFormat {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t samples_per_sec = 0;
  uint32_t avg_bytes_per_sec = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
  uint16_t extra_size = 0;
};

// Field for field the platform's wave header, so the adapter hands it to the driver as it is.
struct WaveHeader {
  char* data = nullptr;
  uint32_t buffer_length = 0;
  uint32_t bytes_recorded = 0;
  uintptr_t user = 0;
  uint32_t flags = 0;
  uint32_t loops = 0;
  WaveHeader* next = nullptr;
  uintptr_t reserved = 0;
};

constexpr uint32_t kWaveHeaderDone = 0x01;
constexpr uint32_t kWaveHeaderPrepared = 0x02;
constexpr uint32_t kWaveHeaderInQueue = 0x10;

constexpr uint32_t kWaveInOpenMessage = 0x3BE;
constexpr uint32_t kWaveInCloseMessage = 0x3BF;
constexpr uint32_t kWaveInDataMessage = 0x3C0;

// Called by the audio system for each capture event, on its own thread.
class WaveInClient {
 public:
  virtual ~WaveInClient() = default;
  virtual void WaveInProc(WaveHandle device, uint32_t message, WaveHeader* header) = 0;
};

class WaveDevices {
 public:
  virtual ~WaveDevices() = default;
  // UI thread. Opens the mapped input device with completion callbacks to `client`.
  virtual MmResult InOpen(WaveHandle* device, const WaveFormat& format, WaveInClient& client) = 0;
  // UI thread, and the capture thread from inside WaveInProc.
  virtual MmResult InPrepareHeader(WaveHandle device, WaveHeader* header) = 0;
  virtual MmResult InAddBuffer(WaveHandle device, WaveHeader* header) = 0;
  // UI thread. Once InClose has returned no callback for that device runs or will run.
  virtual MmResult InStart(WaveHandle device) = 0;
  virtual MmResult InStop(WaveHandle device) = 0;
  virtual MmResult InReset(WaveHandle device) = 0;
  virtual MmResult InClose(WaveHandle device) = 0;
  // UI thread. Opens the mapped output device; its completion function does nothing.
  virtual MmResult OutOpen(WaveHandle* device, const WaveFormat& format) = 0;
  virtual MmResult OutPrepareHeader(WaveHandle device, WaveHeader* header) = 0;
  virtual MmResult OutWrite(WaveHandle device, WaveHeader* header) = 0;
  virtual MmResult OutReset(WaveHandle device) = 0;
  virtual MmResult OutClose(WaveHandle device) = 0;
  // UI thread. The platform's text for a result code (at most 1023 bytes), GBK.
  virtual std::string ErrorText(MmResult result) = 0;
  // UI thread. Product name of output device `index`; empty when there is no such device.
  virtual std::string OutDeviceProductName(unsigned index) = 0;
};

}  // namespace pelvarine
