// Cost of the exchange's per-packet media work: one client block into the uplink buffer with its share of
// 20 ms frames out, and one RTP packet into the downlink buffer with its share of 16 ms blocks out. Time is
// simulated, so each iteration is one packet of a call running at full speed. Heap allocations per packet
// are counted too: once a call runs, its buffers allocate nothing.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "alloc_counter.h"
#include "exchange/media/downlink_buffer.h"
#include "exchange/media/uplink_buffer.h"

namespace exchange {
namespace {

std::vector<uint8_t> Voice(size_t samples) {
  std::vector<uint8_t> voice(samples);
  uint32_t state = 12345;
  for (uint8_t& sample : voice) {
    state = state * 1103515245u + 12345u;
    sample = static_cast<uint8_t>(((state >> 16) & 0x8F) | 0x30) ^ 0x55;
  }
  return voice;
}

void ReportPerPacket(benchmark::State& state, uint64_t allocations_before) {
  state.counters["ns/packet"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs/packet"] = benchmark::Counter(
      static_cast<double>(AllocationCount() - allocations_before) / static_cast<double>(state.iterations()));
}

// state.range(0): 0 = blocks in order, 1 = neighbours swapped and every block sent twice.
void BM_UplinkPutGet(benchmark::State& state) {
  const bool rough = state.range(0) != 0;
  const std::vector<uint8_t> voice = Voice(kClientBlockSamples * 64);
  UplinkBuffer buffer;
  uint8_t frame[160];
  int64_t block = 0;
  uint64_t next_frame_ms = 0;
  const uint64_t before = AllocationCount();
  for (auto _ : state) {
    const uint64_t now = static_cast<uint64_t>(block) * 16;
    const int64_t sequence = (rough ? (block ^ 1) : block) + 1;
    const uint8_t* data = voice.data() + (sequence % 64) * kClientBlockSamples;
    buffer.Put(sequence, data, now);
    if (rough) buffer.Put(sequence, data, now);
    while (next_frame_ms <= now) {
      bool marker;
      benchmark::DoNotOptimize(buffer.Get(frame, &marker, next_frame_ms));
      next_frame_ms += 20;
    }
    ++block;
  }
  ReportPerPacket(state, before);
  state.counters["hold_ms"] = buffer.stats().hold_ms;
}
BENCHMARK(BM_UplinkPutGet)->Arg(0)->Arg(1);

// state.range(0): packet size in samples (80 to 480).
void BM_DownlinkPutRead(benchmark::State& state) {
  const size_t samples = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> voice = Voice(samples * 64);
  DownlinkBuffer buffer;
  uint8_t block[kClientBlockSamples];
  uint64_t packet = 0;
  uint64_t next_read_ms = 0;
  const uint64_t before = AllocationCount();
  for (auto _ : state) {
    const uint64_t now = packet * samples / 8;
    buffer.Put(static_cast<uint16_t>(packet), static_cast<uint32_t>(packet * samples),
               voice.data() + (packet % 64) * samples, samples, now);
    while (next_read_ms <= now) {
      benchmark::DoNotOptimize(buffer.Read(block, next_read_ms));
      next_read_ms += 16;
    }
    ++packet;
  }
  ReportPerPacket(state, before);
  state.counters["backlog_ms"] = buffer.stats().backlog_ms;
}
BENCHMARK(BM_DownlinkPutRead)->Arg(80)->Arg(160)->Arg(480);

}  // namespace
}  // namespace exchange

BENCHMARK_MAIN();
