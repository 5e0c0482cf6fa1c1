// One A-law capture device opened through the mapper: PCM recorded from the system's wave input,
// encoded to A-law into the program's queued buffers, each returned with WIM_DATA to the program's
// completion function from this device's own thread.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace capture_standin {

class MappedCapture {
 public:
  // The program's completion function, as waveInOpen received it.
  MappedCapture(DWORD_PTR callback, DWORD_PTR instance);
  ~MappedCapture();
  MappedCapture(const MappedCapture&) = delete;
  MappedCapture& operator=(const MappedCapture&) = delete;

  // Opens the system's PCM input and starts the delivery thread; sends WIM_OPEN.
  MMRESULT Open(HWAVEIN handle);
  MMRESULT Prepare(WAVEHDR* header, UINT size);
  MMRESULT Unprepare(WAVEHDR* header, UINT size);
  MMRESULT AddBuffer(WAVEHDR* header, UINT size);
  MMRESULT Start();
  MMRESULT Stop();
  MMRESULT Reset();
  // Fails with WAVERR_STILLPLAYING while buffers are queued; otherwise ends the thread, closes the
  // system's input and sends WIM_CLOSE.
  MMRESULT Close();
  MMRESULT Position(MMTIME* time, UINT size);

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  void Harvest();
  // Hands the system's input every buffer it does not hold while capture runs.
  void Request();
  void Encode(const int16_t* samples, size_t count);
  // Moves the front buffer (partly filled: `all` false) or every queued buffer to the returned list and
  // has the delivery thread hand them back; waits until it has.
  void ReturnBuffers(bool all);
  void DeliverReturned();
  void Notify(UINT message, WAVEHDR* header);

  DWORD_PTR callback_;
  DWORD_PTR instance_;
  HWAVEIN handle_ = nullptr;   // what the program holds
  HWAVEIN pcm_ = nullptr;      // the system's PCM input
  HANDLE pcm_done_ = nullptr;  // signalled by the system's input for each recorded buffer
  HANDLE wake_ = nullptr;      // signalled for returns and the end
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;

  struct PcmBuffer {
    WAVEHDR header;
    std::vector<int16_t> samples;
  };
  std::vector<PcmBuffer> pcm_buffers_;
  // Delivery thread. The buffers go to the system's input in ring order and come back in that order.
  size_t next_back_ = 0;  // the next buffer the system's input returns
  size_t next_out_ = 0;   // the next buffer to hand it
  size_t at_system_ = 0;  // buffers the system's input holds

  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE delivered_;
  std::deque<WAVEHDR*> queue_;     // the program's buffers, in order
  std::deque<WAVEHDR*> returned_;  // done, waiting for the delivery thread
  uint64_t returns_asked_ = 0, returns_done_ = 0;
  bool started_ = false;
  bool ending_ = false;
  uint64_t bytes_recorded_ = 0;
  uint64_t dropped_samples_ = 0;  // recorded while no buffer was queued
  uint64_t blocks_delivered_ = 0;
  uint64_t ran_dry_ = 0;  // delivery thread: times every system buffer had come back (samples may be lost)
};

}  // namespace capture_standin
