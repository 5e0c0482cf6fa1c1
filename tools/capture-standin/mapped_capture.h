// One A-law capture device opened through the mapper: a microphone that speaks a prepared sound file
// (16-bit signed little-endian mono at 8000 Hz, from its first sample at each start, silence after its
// end) at the pace of the clock, encoded to A-law into the program's queued buffers, each returned with
// WIM_DATA to the program's completion function from this device's own thread.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <string>

namespace capture_standin {

class MappedCapture {
 public:
  // The program's completion function, as waveInOpen received it.
  MappedCapture(DWORD_PTR callback, DWORD_PTR instance);
  ~MappedCapture();
  MappedCapture(const MappedCapture&) = delete;
  MappedCapture& operator=(const MappedCapture&) = delete;

  // Opens the sound file (a Windows path) and starts the delivery thread; sends WIM_OPEN.
  MMRESULT Open(HWAVEIN handle, const std::string& feed);
  MMRESULT Prepare(WAVEHDR* header, UINT size);
  MMRESULT Unprepare(WAVEHDR* header, UINT size);
  MMRESULT AddBuffer(WAVEHDR* header, UINT size);
  MMRESULT Start();
  MMRESULT Stop();
  MMRESULT Reset();
  // Fails with WAVERR_STILLPLAYING while buffers are queued; otherwise ends the thread, closes the
  // sound file and sends WIM_CLOSE.
  MMRESULT Close();
  MMRESULT Position(MMTIME* time, UINT size);

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  // Hands the program every whole block the microphone has spoken since the last call; returns the
  // milliseconds until the next one is due.
  DWORD Speak();
  void Encode(const int16_t* samples, size_t count);
  // Moves the front buffer (partly filled: `all` false) or every queued buffer to the returned list and
  // has the delivery thread hand them back; waits until it has.
  void ReturnBuffers(bool all);
  void DeliverReturned();
  void Notify(UINT message, WAVEHDR* header);

  DWORD_PTR callback_;
  DWORD_PTR instance_;
  HWAVEIN handle_ = nullptr;  // what the program holds
  HANDLE feed_ = INVALID_HANDLE_VALUE;
  HANDLE wake_ = nullptr;  // signalled for starts, returns and the end
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  LARGE_INTEGER frequency_ = {};

  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE delivered_;
  std::deque<WAVEHDR*> queue_;     // the program's buffers, in order
  std::deque<WAVEHDR*> returned_;  // done, waiting for the delivery thread
  uint64_t returns_asked_ = 0, returns_done_ = 0;
  bool started_ = false;
  bool ending_ = false;
  bool rewind_ = false;      // a start since the delivery thread last spoke: the sound begins again
  int64_t start_ticks_ = 0;  // performance counter at the last start
  uint64_t spoken_ = 0;      // delivery thread: samples taken from the sound since the last start
  uint64_t bytes_recorded_ = 0;
  uint64_t dropped_samples_ = 0;  // spoken while no buffer was queued
  uint64_t blocks_delivered_ = 0;
  uint64_t late_blocks_ = 0;  // delivery thread: blocks handed over more than a block late
};

}  // namespace capture_standin
