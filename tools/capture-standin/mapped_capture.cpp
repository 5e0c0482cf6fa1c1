#include "mapped_capture.h"

#include "alaw_encoder.h"
#include "system_winmm.h"

namespace capture_standin {
namespace {

// 16 ms of 8000 Hz mono per system buffer, the program's own block length: small buffers keep the
// capture latency near what a sound card gives. Wine's input drops what it holds when it finds no buffer
// queued, so there are enough for this thread to be a second late on a loaded machine.
constexpr size_t kPcmBufferCount = 64;
constexpr size_t kPcmBufferSamples = 128;
// A lost wake-up costs at most this long.
constexpr DWORD kPollMs = 50;

using OpenFn = MMRESULT(WINAPI*)(LPHWAVEIN, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
using HeaderFn = MMRESULT(WINAPI*)(HWAVEIN, LPWAVEHDR, UINT);
using DeviceFn = MMRESULT(WINAPI*)(HWAVEIN);

void MarkDone(WAVEHDR* header) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

}  // namespace

MappedCapture::MappedCapture(DWORD_PTR callback, DWORD_PTR instance)
    : callback_(callback), instance_(instance) {
  InitializeCriticalSection(&lock_);
  InitializeConditionVariable(&delivered_);
}

MappedCapture::~MappedCapture() {
  if (thread_ != nullptr) CloseHandle(thread_);
  if (pcm_done_ != nullptr) CloseHandle(pcm_done_);
  if (wake_ != nullptr) CloseHandle(wake_);
  DeleteCriticalSection(&lock_);
}

MMRESULT MappedCapture::Open(HWAVEIN handle) {
  handle_ = handle;
  pcm_done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (pcm_done_ == nullptr || wake_ == nullptr) return MMSYSERR_NOMEM;
  WAVEFORMATEX pcm = {};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = 1;
  pcm.nSamplesPerSec = 8000;
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = 2;
  pcm.nAvgBytesPerSec = 16000;
  // Direct: the system's own converted capture path is the one that never completes.
  MMRESULT result =
      System<OpenFn>("waveInOpen")(&pcm_, WAVE_MAPPER, &pcm, reinterpret_cast<DWORD_PTR>(pcm_done_), 0,
                                   CALLBACK_EVENT | WAVE_FORMAT_DIRECT);
  if (result != MMSYSERR_NOERROR) {
    LogLine("open: the system's 8000 Hz PCM input fails (%u)", result);
    pcm_ = nullptr;
    return result;
  }
  pcm_buffers_.resize(kPcmBufferCount);
  for (PcmBuffer& buffer : pcm_buffers_) {
    buffer.samples.assign(kPcmBufferSamples, 0);
    buffer.header = WAVEHDR{};
    buffer.header.lpData = reinterpret_cast<LPSTR>(buffer.samples.data());
    buffer.header.dwBufferLength = static_cast<DWORD>(kPcmBufferSamples * sizeof(int16_t));
    System<HeaderFn>("waveInPrepareHeader")(pcm_, &buffer.header, sizeof(WAVEHDR));
  }
  thread_ = CreateThread(nullptr, 0, &MappedCapture::ThreadMain, this, 0, &thread_id_);
  if (thread_ == nullptr) {
    System<DeviceFn>("waveInReset")(pcm_);
    for (PcmBuffer& buffer : pcm_buffers_)
      System<HeaderFn>("waveInUnprepareHeader")(pcm_, &buffer.header, sizeof(WAVEHDR));
    System<DeviceFn>("waveInClose")(pcm_);
    pcm_ = nullptr;
    return MMSYSERR_NOMEM;
  }
  LogLine("open %p: A-law through the stand-in, PCM from the system's input", static_cast<void*>(handle_));
  Notify(WIM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT MappedCapture::Prepare(WAVEHDR* header, UINT size) {
  if (header == nullptr || size < sizeof(WAVEHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&lock_);
  MMRESULT result = MMSYSERR_NOERROR;
  if (header->dwFlags & WHDR_INQUEUE)
    result = WAVERR_STILLPLAYING;
  else
    header->dwFlags |= WHDR_PREPARED;
  LeaveCriticalSection(&lock_);
  return result;
}

MMRESULT MappedCapture::Unprepare(WAVEHDR* header, UINT size) {
  if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&lock_);
  MMRESULT result = MMSYSERR_NOERROR;
  if (header->dwFlags & WHDR_INQUEUE)
    result = WAVERR_STILLPLAYING;
  else
    header->dwFlags &= ~WHDR_PREPARED;
  LeaveCriticalSection(&lock_);
  return result;
}

MMRESULT MappedCapture::AddBuffer(WAVEHDR* header, UINT size) {
  if (header == nullptr || size < sizeof(WAVEHDR) || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&lock_);
  MMRESULT result = MMSYSERR_NOERROR;
  if (!(header->dwFlags & WHDR_PREPARED)) {
    result = WAVERR_UNPREPARED;
  } else if (header->dwFlags & WHDR_INQUEUE) {
    result = WAVERR_STILLPLAYING;
  } else {
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    queue_.push_back(header);
  }
  LeaveCriticalSection(&lock_);
  return result;
}

MMRESULT MappedCapture::Start() {
  EnterCriticalSection(&lock_);
  started_ = true;
  LeaveCriticalSection(&lock_);
  SetEvent(wake_);
  MMRESULT result = System<DeviceFn>("waveInStart")(pcm_);
  LogLine("start %p: %u", static_cast<void*>(handle_), result);
  return result;
}

MMRESULT MappedCapture::Stop() {
  MMRESULT result = System<DeviceFn>("waveInStop")(pcm_);
  EnterCriticalSection(&lock_);
  started_ = false;
  LeaveCriticalSection(&lock_);
  // The buffer being filled comes back with what it holds; empty ones stay queued.
  ReturnBuffers(false);
  LogLine("stop %p: %u", static_cast<void*>(handle_), result);
  return result;
}

MMRESULT MappedCapture::Reset() {
  MMRESULT result = System<DeviceFn>("waveInReset")(pcm_);
  EnterCriticalSection(&lock_);
  started_ = false;
  bytes_recorded_ = 0;
  LeaveCriticalSection(&lock_);
  ReturnBuffers(true);
  LogLine("reset %p: %u", static_cast<void*>(handle_), result);
  return result;
}

MMRESULT MappedCapture::Close() {
  EnterCriticalSection(&lock_);
  bool busy = !queue_.empty() || !returned_.empty();
  bool own_thread = GetCurrentThreadId() == thread_id_;
  if (!busy && !own_thread) ending_ = true;
  LeaveCriticalSection(&lock_);
  if (busy) return WAVERR_STILLPLAYING;
  // The delivery thread cannot wait for its own end.
  if (own_thread) return MMSYSERR_HANDLEBUSY;
  SetEvent(wake_);
  WaitForSingleObject(thread_, INFINITE);
  System<DeviceFn>("waveInReset")(pcm_);
  for (PcmBuffer& buffer : pcm_buffers_)
    System<HeaderFn>("waveInUnprepareHeader")(pcm_, &buffer.header, sizeof(WAVEHDR));
  MMRESULT result = System<DeviceFn>("waveInClose")(pcm_);
  LogLine(
      "close %p: %u; %llu blocks delivered, %llu samples recorded while no buffer was queued, the system's "
      "input ran out of buffers %llu times",
      static_cast<void*>(handle_), result, static_cast<unsigned long long>(blocks_delivered_),
      static_cast<unsigned long long>(dropped_samples_), static_cast<unsigned long long>(ran_dry_));
  Notify(WIM_CLOSE, nullptr);
  return result;
}

MMRESULT MappedCapture::Position(MMTIME* time, UINT size) {
  if (time == nullptr || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&lock_);
  uint64_t bytes = bytes_recorded_;
  LeaveCriticalSection(&lock_);
  // One byte per sample: bytes and samples are the same count.
  if (time->wType == TIME_SAMPLES) {
    time->u.sample = static_cast<DWORD>(bytes);
  } else {
    time->wType = TIME_BYTES;
    time->u.cb = static_cast<DWORD>(bytes);
  }
  return MMSYSERR_NOERROR;
}

DWORD WINAPI MappedCapture::ThreadMain(void* self) {
  static_cast<MappedCapture*>(self)->Run();
  return 0;
}

void MappedCapture::Run() {
  HANDLE events[2] = {pcm_done_, wake_};
  for (;;) {
    WaitForMultipleObjects(2, events, FALSE, kPollMs);
    Harvest();
    Request();
    DeliverReturned();
    EnterCriticalSection(&lock_);
    bool ending = ending_;
    LeaveCriticalSection(&lock_);
    if (ending) return;
  }
}

void MappedCapture::Harvest() {
  while (at_system_ > 0) {
    PcmBuffer& buffer = pcm_buffers_[next_back_];
    // The system's thread sets the flag; the barrier orders the read of the samples after it.
    if (!(InterlockedOr(reinterpret_cast<volatile LONG*>(&buffer.header.dwFlags), 0) & WHDR_DONE)) return;
    Encode(buffer.samples.data(), buffer.header.dwBytesRecorded / sizeof(int16_t));
    next_back_ = (next_back_ + 1) % pcm_buffers_.size();
    if (--at_system_ > 0) continue;
    // Every buffer came back full while recording: the system's input may have had nowhere to put more.
    EnterCriticalSection(&lock_);
    bool recording = started_;
    LeaveCriticalSection(&lock_);
    if (recording && buffer.header.dwBytesRecorded == buffer.header.dwBufferLength) ++ran_dry_;
  }
}

// Every free buffer goes straight back to the system's input, as a mapper keeps the driver supplied.
void MappedCapture::Request() {
  EnterCriticalSection(&lock_);
  bool started = started_ && !ending_;
  LeaveCriticalSection(&lock_);
  while (started && at_system_ < pcm_buffers_.size()) {
    PcmBuffer& buffer = pcm_buffers_[next_out_];
    if (System<HeaderFn>("waveInAddBuffer")(pcm_, &buffer.header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) break;
    next_out_ = (next_out_ + 1) % pcm_buffers_.size();
    ++at_system_;
  }
}

void MappedCapture::Encode(const int16_t* samples, size_t count) {
  std::vector<WAVEHDR*> full;
  EnterCriticalSection(&lock_);
  if (started_) {
    for (size_t i = 0; i < count; ++i) {
      if (queue_.empty()) {
        dropped_samples_ += count - i;
        break;
      }
      WAVEHDR* header = queue_.front();
      header->lpData[header->dwBytesRecorded++] = static_cast<char>(AlawFromLinear(samples[i]));
      ++bytes_recorded_;
      if (header->dwBytesRecorded >= header->dwBufferLength) {
        queue_.pop_front();
        MarkDone(header);
        full.push_back(header);
      }
    }
  }
  LeaveCriticalSection(&lock_);
  for (WAVEHDR* header : full)
    Notify(WIM_DATA, header);
}

void MappedCapture::ReturnBuffers(bool all) {
  EnterCriticalSection(&lock_);
  while (!queue_.empty() && (all || queue_.front()->dwBytesRecorded > 0)) {
    WAVEHDR* header = queue_.front();
    queue_.pop_front();
    MarkDone(header);
    returned_.push_back(header);
    if (!all) break;
  }
  uint64_t ticket = ++returns_asked_;
  if (GetCurrentThreadId() == thread_id_) {
    LeaveCriticalSection(&lock_);
    DeliverReturned();
    return;
  }
  SetEvent(wake_);
  while (returns_done_ < ticket)
    SleepConditionVariableCS(&delivered_, &lock_, INFINITE);
  LeaveCriticalSection(&lock_);
}

void MappedCapture::DeliverReturned() {
  EnterCriticalSection(&lock_);
  std::deque<WAVEHDR*> returned;
  returned.swap(returned_);
  uint64_t asked = returns_asked_;
  LeaveCriticalSection(&lock_);
  for (WAVEHDR* header : returned)
    Notify(WIM_DATA, header);
  EnterCriticalSection(&lock_);
  if (asked > returns_done_) returns_done_ = asked;
  LeaveCriticalSection(&lock_);
  WakeAllConditionVariable(&delivered_);
}

void MappedCapture::Notify(UINT message, WAVEHDR* header) {
  if (message == WIM_DATA) ++blocks_delivered_;
  reinterpret_cast<LPDRVCALLBACK>(callback_)(reinterpret_cast<HDRVR>(handle_), message, instance_,
                                             reinterpret_cast<DWORD_PTR>(header), 0);
}

}  // namespace capture_standin
