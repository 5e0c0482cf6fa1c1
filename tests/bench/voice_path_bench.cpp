// Cost of the per-datagram work of the voice path, beside a bare copy of the same bytes, with the heap
// allocations each datagram makes. The sockets and the device are stubs that do nothing.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "app/call_client.h"

#include "alloc_counter.h"

namespace pelvarine {
namespace {

class QuietSocket final : public DatagramSocket {
 public:
  int Receive(void* buffer, size_t size) override {
    const uint8_t* datagram = datagrams[next++ % kDatagrams];
    std::memcpy(buffer, datagram, size < kIncomingDatagramSize ? size : kIncomingDatagramSize);
    return static_cast<int>(kIncomingDatagramSize);
  }
  bool SendTo(const void* data, size_t, uint32_t, uint16_t) override {
    benchmark::DoNotOptimize(data);
    return true;
  }
  static constexpr size_t kDatagrams = 256;
  uint8_t datagrams[kDatagrams][kIncomingDatagramSize] = {};
  size_t next = 0;
};

class QuietNetwork final : public Network {
 public:
  std::unique_ptr<StreamSocket> CreateStreamSocket(StreamSocketEvents&) override { return nullptr; }
  std::unique_ptr<DatagramSocket> CreateDatagramSocket(uint16_t, DatagramSocketEvents&) override {
    auto socket = std::make_unique<QuietSocket>();
    last = socket.get();
    return socket;
  }
  QuietSocket* last = nullptr;
};

// An output device that plays each block at once, so no ring slot is ever still queued.
class InstantWave final : public WaveDevices {
 public:
  MmResult InOpen(WaveHandle* d, const WaveFormat&, WaveInClient&) override { return *d = this, kMmNoError; }
  MmResult InPrepareHeader(WaveHandle, WaveHeader*) override { return kMmNoError; }
  MmResult InAddBuffer(WaveHandle, WaveHeader*) override { return kMmNoError; }
  MmResult InStart(WaveHandle) override { return kMmNoError; }
  MmResult InStop(WaveHandle) override { return kMmNoError; }
  MmResult InReset(WaveHandle) override { return kMmNoError; }
  MmResult InClose(WaveHandle) override { return kMmNoError; }
  MmResult OutOpen(WaveHandle* d, const WaveFormat&) override { return *d = this, kMmNoError; }
  MmResult OutPrepareHeader(WaveHandle, WaveHeader*) override { return kMmNoError; }
  MmResult OutWrite(WaveHandle, WaveHeader* h) override {
    h->flags |= kWaveHeaderDone;
    return kMmNoError;
  }
  MmResult OutReset(WaveHandle) override { return kMmNoError; }
  MmResult OutClose(WaveHandle) override { return kMmNoError; }
  std::string ErrorText(MmResult) override { return std::string(); }
  std::string OutDeviceProductName(unsigned) override { return "bench"; }
};

class StillClock final : public Clock {
 public:
  int64_t MonotonicMs() override { return now += 16; }
  void Sleep(int) override {}
  int64_t now = 0;
};

class NoMixer final : public Mixer {
 public:
  uint32_t Open(MixerHandle*) override { return 1; }
  uint32_t Close(MixerHandle) override { return 0; }
  uint32_t GetDestinationLine(MixerHandle, uint32_t, MixerLine*) override { return 1; }
  uint32_t GetSourceLine(MixerHandle, uint32_t, uint32_t, MixerLine*) override { return 1; }
  uint32_t GetLineControls(MixerHandle, uint32_t, uint32_t, MixerControl*) override { return 1; }
  uint32_t GetLineControlByType(MixerHandle, uint32_t, uint32_t, MixerControl*) override { return 1; }
  uint32_t GetListTexts(MixerHandle, uint32_t, uint32_t, uint32_t, MixerListText*) override { return 1; }
  uint32_t GetValues(MixerHandle, uint32_t, uint32_t, uint32_t, uint32_t*) override { return 1; }
  uint32_t SetValues(MixerHandle, uint32_t, uint32_t, uint32_t, const uint32_t*) override { return 1; }
};

class NoSystem final : public System {
 public:
  bool HostName(std::string*) override { return false; }
  std::vector<std::array<uint8_t, 4>> HostAddresses(const std::string&) override { return {}; }
  bool InternetConnectedState(uint32_t*) override { return false; }
  bool ReadBrowserCommand(std::string*) override { return false; }
  void RunProgram(const std::string&) override {}
  void ShowMessageBox(const std::string&, const std::string&, unsigned) override {}
};

class NoPanel final : public TextPanel {
 public:
  std::string GetText() override { return std::string(); }
  void SetText(const std::string&) override {}
  void ScrollLines(int, int) override {}
  int LineCount() override { return 1; }
  int FirstVisibleLine() override { return 0; }
  int VisibleLineCount() override { return 1; }
};

class NoControls final : public MainWindowControls {
 public:
  void SetPasswordChar(char) override {}
  void ShowDepartmentList(bool) override {}
  void ShowNumberInputs(bool) override {}
  int DepartmentRowCount() override { return 0; }
  void DeleteDepartmentRow(int) override {}
  void AddDepartmentRow(const std::string&) override {}
  void SelectDepartmentRow(int) override {}
  int SelectedDepartmentRow() override { return 0; }
  std::string DepartmentRowText(int) override { return std::string(); }
  std::string NumberText() override { return std::string(); }
  std::string PasswordText() override { return std::string(); }
  void ShowTalkingLight(bool shown) override { benchmark::DoNotOptimize(shown); }
  void ShowOnlineLight(bool) override {}
  void StartTimer(int, int) override {}
  void StopTimer(int) override {}
  void AutoClickInternalLine() override {}
};

// A client with a bound voice socket, an open output device and an off-hook line.
struct VoiceRig {
  VoiceRig()
      : client(Ports{network, wave, mixer, clock, system, panel, controls}, ClientConfig{"127.0.0.1", ""}) {
    std::strcpy(client.state().local_address, "192.168.1.20");
    client.state().off_hook = true;
    client.state().phone_server_ipv4 = 0x7F000001;
    client.state().remote_udp_port = 20481;
    client.audio().SetWaveFormat();
    client.voice().OpenVoiceSocket();
    client.audio().StartPlayback();
    // Prepared datagrams that pass the address filter, numbered 1 to 256.
    for (size_t i = 0; i < QuietSocket::kDatagrams; ++i) {
      uint8_t* datagram = network.last->datagrams[i];
      std::memcpy(datagram, "192.168.1.20", 12);
      std::snprintf(reinterpret_cast<char*>(datagram) + kIncomingSequenceOffset, kSequenceFieldSize, "%zu",
                    i + 1);
    }
  }
  QuietNetwork network;
  InstantWave wave;
  NoMixer mixer;
  StillClock clock;
  NoSystem system;
  NoPanel panel;
  NoControls controls;
  CallClient client;
};

void ReportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/datagram"] = benchmark::Counter(static_cast<double>(AllocationCount() - before) /
                                                         static_cast<double>(state.iterations()));
}

void BM_ReceivePath(benchmark::State& state) {
  VoiceRig rig;
  CVoiceSocket& socket = const_cast<CVoiceSocket&>(*rig.client.voice().voice_socket());
  size_t n = 0;
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    // The numbers start again after each round, so every datagram is played.
    if (n++ % QuietSocket::kDatagrams == 0) rig.client.voice().ResetSequenceFilter();
    rig.client.voice().OnVoiceReceive(socket);
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_ReceivePath);

void BM_ReceiveBareCopy(benchmark::State& state) {
  static uint8_t in[QuietSocket::kDatagrams][kIncomingDatagramSize] = {};
  uint8_t out[kIncomingDatagramSize];
  size_t n = 0;
  for (auto _ : state) {
    std::memset(out, 0, sizeof out);
    std::memcpy(out, in[n++ % QuietSocket::kDatagrams], sizeof out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReceiveBareCopy);

void BM_SendPath(benchmark::State& state) {
  VoiceRig rig;
  uint8_t block[kVoiceBlockSize] = {};
  uint64_t before = AllocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(block);
    rig.client.voice().SendVoiceBlock(block);
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_SendPath);

void BM_SendBareCopy(benchmark::State& state) {
  uint8_t block[kVoiceBlockSize] = {}, out[kOutgoingDatagramSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(block);
    std::memcpy(out + kSequenceFieldSize, block, sizeof block);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SendBareCopy);

}  // namespace
}  // namespace pelvarine

BENCHMARK_MAIN();
