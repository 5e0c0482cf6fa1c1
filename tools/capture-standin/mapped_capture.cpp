#include "mapped_capture.h"

#include "alaw_encoder.h"
#include "system_winmm.h"

#include <vector>

namespace capture_standin {
namespace {

constexpr uint64_t kRate = 8000;
// The program's own block length: one block is due every 16 ms.
constexpr size_t kBlockSamples = 128;

void MarkDone(WAVEHDR* header) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// The system time in 100 ns units since 1601, as precisely as the system keeps it: the suite relates
// the microphone's start to its own clock with it.
uint64_t PreciseSystemTime() {
  using PreciseFn = void(WINAPI*)(FILETIME*);
  static const PreciseFn precise = reinterpret_cast<PreciseFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now;
  if (precise != nullptr)
    precise(&now);
  else
    GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

MappedCapture::MappedCapture(DWORD_PTR callback, DWORD_PTR instance)
    : callback_(callback), instance_(instance) {
  InitializeCriticalSection(&lock_);
  InitializeConditionVariable(&delivered_);
  QueryPerformanceFrequency(&frequency_);
}

MappedCapture::~MappedCapture() {
  if (thread_ != nullptr) CloseHandle(thread_);
  if (feed_ != INVALID_HANDLE_VALUE) CloseHandle(feed_);
  if (wake_ != nullptr) CloseHandle(wake_);
  DeleteCriticalSection(&lock_);
}

MMRESULT MappedCapture::Open(HWAVEIN handle, const std::string& feed) {
  handle_ = handle;
  if (feed.empty()) {
    LogLine("open: no sound to speak (set CAPTURE_STANDIN_FEED to a file)");
    return MMSYSERR_NODRIVER;
  }
  feed_ = CreateFileA(feed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (feed_ == INVALID_HANDLE_VALUE) {
    LogLine("open: cannot open the sound %s (error %lu)", feed.c_str(), GetLastError());
    return MMSYSERR_NODRIVER;
  }
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (wake_ != nullptr) thread_ = CreateThread(nullptr, 0, &MappedCapture::ThreadMain, this, 0, &thread_id_);
  if (thread_ == nullptr) return MMSYSERR_NOMEM;
  LogLine("open %p: A-law through the stand-in, spoken from %s", static_cast<void*>(handle_), feed.c_str());
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
  bool already = started_;
  uint64_t spoken_at = 0;
  if (!already) {
    started_ = true;
    rewind_ = true;
    start_ticks_ = Ticks();
    spoken_at = PreciseSystemTime();
  }
  LeaveCriticalSection(&lock_);
  if (already) return MMSYSERR_NOERROR;
  SetEvent(wake_);
  LogLine("start %p: the sound's first sample at %llu", static_cast<void*>(handle_),
          static_cast<unsigned long long>(spoken_at));
  return MMSYSERR_NOERROR;
}

MMRESULT MappedCapture::Stop() {
  EnterCriticalSection(&lock_);
  started_ = false;
  LeaveCriticalSection(&lock_);
  // The buffer being filled comes back with what it holds; empty ones stay queued.
  ReturnBuffers(false);
  LogLine("stop %p", static_cast<void*>(handle_));
  return MMSYSERR_NOERROR;
}

MMRESULT MappedCapture::Reset() {
  EnterCriticalSection(&lock_);
  started_ = false;
  bytes_recorded_ = 0;
  LeaveCriticalSection(&lock_);
  ReturnBuffers(true);
  LogLine("reset %p", static_cast<void*>(handle_));
  return MMSYSERR_NOERROR;
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
  CloseHandle(feed_);
  feed_ = INVALID_HANDLE_VALUE;
  LogLine(
      "close %p: %llu blocks delivered (%llu more than a block late), %llu samples spoken while no buffer "
      "was queued",
      static_cast<void*>(handle_), static_cast<unsigned long long>(blocks_delivered_),
      static_cast<unsigned long long>(late_blocks_), static_cast<unsigned long long>(dropped_samples_));
  Notify(WIM_CLOSE, nullptr);
  return MMSYSERR_NOERROR;
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
  DWORD wait = INFINITE;
  for (;;) {
    WaitForSingleObject(wake_, wait);
    wait = Speak();
    DeliverReturned();
    EnterCriticalSection(&lock_);
    bool ending = ending_;
    LeaveCriticalSection(&lock_);
    if (ending) return;
  }
}

DWORD MappedCapture::Speak() {
  EnterCriticalSection(&lock_);
  bool started = started_ && !ending_;
  bool rewind = rewind_;
  rewind_ = false;
  int64_t start = start_ticks_;
  LeaveCriticalSection(&lock_);
  if (!started) return INFINITE;
  if (rewind) {
    SetFilePointer(feed_, 0, nullptr, FILE_BEGIN);
    spoken_ = 0;
  }
  const int64_t per_second = frequency_.QuadPart;
  uint64_t due = static_cast<uint64_t>((Ticks() - start) * static_cast<int64_t>(kRate) / per_second);
  while (spoken_ + kBlockSamples <= due) {
    int16_t block[kBlockSamples] = {};
    DWORD got = 0;
    // Past the end of the sound the microphone hears silence.
    ReadFile(feed_, block, sizeof block, &got, nullptr);
    if (due - spoken_ >= 2 * kBlockSamples) ++late_blocks_;
    spoken_ += kBlockSamples;
    Encode(block, kBlockSamples);
  }
  int64_t next =
      start + static_cast<int64_t>(spoken_ + kBlockSamples) * per_second / static_cast<int64_t>(kRate);
  int64_t wait_ms = (next - Ticks()) * 1000 / per_second + 1;
  return wait_ms > 0 ? static_cast<DWORD>(wait_ms) : 0;
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
