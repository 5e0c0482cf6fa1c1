#include "platform/win32/win32_wave_devices.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstddef>

#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {
namespace {

// The core's header is the platform's, field for field, so it goes to the driver as it is.
static_assert(sizeof(WaveHeader) == sizeof(WAVEHDR));
static_assert(offsetof(WaveHeader, data) == offsetof(WAVEHDR, lpData));
static_assert(offsetof(WaveHeader, buffer_length) == offsetof(WAVEHDR, dwBufferLength));
static_assert(offsetof(WaveHeader, bytes_recorded) == offsetof(WAVEHDR, dwBytesRecorded));
static_assert(offsetof(WaveHeader, user) == offsetof(WAVEHDR, dwUser));
static_assert(offsetof(WaveHeader, flags) == offsetof(WAVEHDR, dwFlags));
static_assert(offsetof(WaveHeader, loops) == offsetof(WAVEHDR, dwLoops));
static_assert(offsetof(WaveHeader, next) == offsetof(WAVEHDR, lpNext));
static_assert(offsetof(WaveHeader, reserved) == offsetof(WAVEHDR, reserved));
static_assert(kWaveHeaderDone == WHDR_DONE && kWaveHeaderPrepared == WHDR_PREPARED &&
              kWaveHeaderInQueue == WHDR_INQUEUE);
static_assert(kWaveInDataMessage == WIM_DATA && kWaveInOpenMessage == WIM_OPEN &&
              kWaveInCloseMessage == WIM_CLOSE);
static_assert(kMmNoError == MMSYSERR_NOERROR && kMmInvalidHandle == MMSYSERR_INVALHANDLE);

WAVEHDR* Platform(WaveHeader* header) {
  return reinterpret_cast<WAVEHDR*>(header);
}

WAVEFORMATEX PlatformFormat(const WaveFormat& format) {
  WAVEFORMATEX wave = {};
  wave.wFormatTag = format.format_tag;
  wave.nChannels = format.channels;
  wave.nSamplesPerSec = format.samples_per_sec;
  wave.nAvgBytesPerSec = format.avg_bytes_per_sec;
  wave.nBlockAlign = format.block_align;
  wave.wBitsPerSample = format.bits_per_sample;
  wave.cbSize = format.extra_size;
  return wave;
}

void CALLBACK WaveInCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR first, DWORD_PTR) {
  reinterpret_cast<WaveInClient*>(instance)->WaveInProc(device, message,
                                                        reinterpret_cast<WaveHeader*>(first));
}

// Playback completions need nothing: the ring looks at each header's flags when it reuses the slot.
void CALLBACK WaveOutProc(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

HWAVEIN In(WaveHandle device) {
  return static_cast<HWAVEIN>(device);
}
HWAVEOUT Out(WaveHandle device) {
  return static_cast<HWAVEOUT>(device);
}

}  // namespace

MmResult Win32WaveDevices::InOpen(WaveHandle* device, const WaveFormat& format, WaveInClient& client) {
  WAVEFORMATEX wave = PlatformFormat(format);
  HWAVEIN handle = nullptr;
  MMRESULT result = waveInOpen(&handle, WAVE_MAPPER, &wave, reinterpret_cast<DWORD_PTR>(&WaveInCallback),
                               reinterpret_cast<DWORD_PTR>(&client), CALLBACK_FUNCTION);
  *device = result == MMSYSERR_NOERROR ? handle : nullptr;
  return result;
}

MmResult Win32WaveDevices::InPrepareHeader(WaveHandle device, WaveHeader* header) {
  return waveInPrepareHeader(In(device), Platform(header), sizeof(WAVEHDR));
}

MmResult Win32WaveDevices::InAddBuffer(WaveHandle device, WaveHeader* header) {
  return waveInAddBuffer(In(device), Platform(header), sizeof(WAVEHDR));
}

MmResult Win32WaveDevices::InStart(WaveHandle device) {
  return waveInStart(In(device));
}
MmResult Win32WaveDevices::InStop(WaveHandle device) {
  return waveInStop(In(device));
}
MmResult Win32WaveDevices::InReset(WaveHandle device) {
  return waveInReset(In(device));
}
MmResult Win32WaveDevices::InClose(WaveHandle device) {
  return waveInClose(In(device));
}

MmResult Win32WaveDevices::OutOpen(WaveHandle* device, const WaveFormat& format) {
  WAVEFORMATEX wave = PlatformFormat(format);
  HWAVEOUT handle = nullptr;
  MMRESULT result = waveOutOpen(&handle, WAVE_MAPPER, &wave, reinterpret_cast<DWORD_PTR>(&WaveOutProc), 0,
                                CALLBACK_FUNCTION);
  *device = result == MMSYSERR_NOERROR ? handle : nullptr;
  return result;
}

MmResult Win32WaveDevices::OutPrepareHeader(WaveHandle device, WaveHeader* header) {
  return waveOutPrepareHeader(Out(device), Platform(header), sizeof(WAVEHDR));
}

MmResult Win32WaveDevices::OutWrite(WaveHandle device, WaveHeader* header) {
  return waveOutWrite(Out(device), Platform(header), sizeof(WAVEHDR));
}

MmResult Win32WaveDevices::OutReset(WaveHandle device) {
  return waveOutReset(Out(device));
}
MmResult Win32WaveDevices::OutClose(WaveHandle device) {
  return waveOutClose(Out(device));
}

std::string Win32WaveDevices::ErrorText(MmResult result) {
  wchar_t text[1024] = {};
  waveInGetErrorTextW(result, text, 1023);
  return GbkFromWide(text);
}

std::string Win32WaveDevices::OutDeviceProductName(unsigned index) {
  WAVEOUTCAPSW caps = {};
  waveOutGetDevCapsW(index, &caps, sizeof caps);
  return GbkFromWide(caps.szPname);
}

}  // namespace pelvarine::win32
