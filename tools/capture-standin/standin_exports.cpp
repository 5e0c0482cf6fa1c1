// The wave-input exports the stand-in serves itself. A-law capture opened through the mapper with a
// completion function becomes a MappedCapture speaking the sound file CAPTURE_STANDIN_FEED names; every
// other open, and every handle that is not one of those, goes to the system's winmm unchanged.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <map>
#include <memory>

#include "mapped_capture.h"
#include "system_winmm.h"

namespace capture_standin {
namespace {

CRITICAL_SECTION devices_lock;
std::map<HWAVEIN, std::shared_ptr<MappedCapture>>* devices = nullptr;

std::shared_ptr<MappedCapture> Find(HWAVEIN handle) {
  EnterCriticalSection(&devices_lock);
  std::shared_ptr<MappedCapture> found;
  auto at = devices->find(handle);
  if (at != devices->end()) found = at->second;
  LeaveCriticalSection(&devices_lock);
  return found;
}

constexpr WORD kWaveFormatALaw = 6;  // mmreg.h's WAVE_FORMAT_ALAW

bool IsMappedALaw(UINT device, const WAVEFORMATEX* format, DWORD flags) {
  if (format == nullptr || (flags & WAVE_FORMAT_DIRECT)) return false;
  if (device != WAVE_MAPPER && !(flags & WAVE_MAPPED)) return false;
  return format->wFormatTag == kWaveFormatALaw && format->nChannels == 1 && format->nSamplesPerSec == 8000 &&
         format->wBitsPerSample == 8;
}

using HeaderFn = MMRESULT(WINAPI*)(HWAVEIN, LPWAVEHDR, UINT);
using DeviceFn = MMRESULT(WINAPI*)(HWAVEIN);

}  // namespace

bool InitExports() {
  InitializeCriticalSection(&devices_lock);
  devices = new std::map<HWAVEIN, std::shared_ptr<MappedCapture>>();
  return true;
}

}  // namespace capture_standin

using capture_standin::DeviceFn;
using capture_standin::Find;
using capture_standin::HeaderFn;
using capture_standin::System;

extern "C" {

MMRESULT WINAPI standin_waveInOpen(LPHWAVEIN out, UINT device, LPCWAVEFORMATEX format, DWORD_PTR callback,
                                   DWORD_PTR instance, DWORD flags) {
  using OpenFn = MMRESULT(WINAPI*)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
  bool function_callback = (flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION && callback != 0;
  if (!capture_standin::IsMappedALaw(device, format, flags) || !function_callback)
    return System<OpenFn>("waveInOpen")(out, device, format, callback, instance, flags);
  if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  if (out == nullptr) return MMSYSERR_INVALPARAM;
  char feed[MAX_PATH] = {};
  DWORD length = GetEnvironmentVariableA("CAPTURE_STANDIN_FEED", feed, MAX_PATH);
  if (length >= MAX_PATH) feed[0] = '\0';
  auto capture = std::make_shared<capture_standin::MappedCapture>(callback, instance);
  HWAVEIN handle = reinterpret_cast<HWAVEIN>(capture.get());
  MMRESULT result = capture->Open(handle, feed);
  if (result != MMSYSERR_NOERROR) return result;
  EnterCriticalSection(&capture_standin::devices_lock);
  (*capture_standin::devices)[handle] = capture;
  LeaveCriticalSection(&capture_standin::devices_lock);
  *out = handle;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI standin_waveInClose(HWAVEIN handle) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<DeviceFn>("waveInClose")(handle);
  MMRESULT result = capture->Close();
  if (result == MMSYSERR_NOERROR) {
    EnterCriticalSection(&capture_standin::devices_lock);
    capture_standin::devices->erase(handle);
    LeaveCriticalSection(&capture_standin::devices_lock);
  }
  return result;
}

MMRESULT WINAPI standin_waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT size) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<HeaderFn>("waveInPrepareHeader")(handle, header, size);
  return capture->Prepare(header, size);
}

MMRESULT WINAPI standin_waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT size) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<HeaderFn>("waveInUnprepareHeader")(handle, header, size);
  return capture->Unprepare(header, size);
}

MMRESULT WINAPI standin_waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT size) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<HeaderFn>("waveInAddBuffer")(handle, header, size);
  return capture->AddBuffer(header, size);
}

MMRESULT WINAPI standin_waveInStart(HWAVEIN handle) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<DeviceFn>("waveInStart")(handle);
  return capture->Start();
}

MMRESULT WINAPI standin_waveInStop(HWAVEIN handle) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<DeviceFn>("waveInStop")(handle);
  return capture->Stop();
}

MMRESULT WINAPI standin_waveInReset(HWAVEIN handle) {
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<DeviceFn>("waveInReset")(handle);
  return capture->Reset();
}

MMRESULT WINAPI standin_waveInGetPosition(HWAVEIN handle, LPMMTIME time, UINT size) {
  using PositionFn = MMRESULT(WINAPI*)(HWAVEIN, LPMMTIME, UINT);
  std::shared_ptr<capture_standin::MappedCapture> capture = Find(handle);
  if (!capture) return System<PositionFn>("waveInGetPosition")(handle, time, size);
  return capture->Position(time, size);
}

MMRESULT WINAPI standin_waveInGetID(HWAVEIN handle, LPUINT id) {
  using IdFn = MMRESULT(WINAPI*)(HWAVEIN, LPUINT);
  if (!Find(handle)) return System<IdFn>("waveInGetID")(handle, id);
  if (id == nullptr) return MMSYSERR_INVALPARAM;
  *id = WAVE_MAPPER;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI standin_waveInMessage(HWAVEIN handle, UINT message, DWORD_PTR first, DWORD_PTR second) {
  using MessageFn = MMRESULT(WINAPI*)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR);
  if (!Find(handle)) return System<MessageFn>("waveInMessage")(handle, message, first, second);
  return MMSYSERR_NOTSUPPORTED;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(instance);
  return capture_standin::InitExports() && capture_standin::LoadSystemWinmm();
}

}  // extern "C"
