#pragma once
// winmm wave devices: A-law through the wave mapper, completion functions.

#include "platform/wave_devices.h"

namespace pelvarine::win32 {

class Win32WaveDevices final : public WaveDevices {
 public:
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
  std::string ErrorText(MmResult result) override;
  std::string OutDeviceProductName(unsigned index) override;
};

}  // namespace pelvarine::win32
