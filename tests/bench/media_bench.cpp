// Cost of the exchange's per-packet media work: one client block into the uplink buffer with its share of
// 20 ms frames out, and one RTP packet into the downlink buffer with its share of 16 ms blocks out. Time is
// simulated, so each iteration is one packet of a call running at full speed. Heap allocations per packet
// are counted too: once a call runs, its buffers allocate nothing.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <utility>
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

// The uplink's hold under uniform arrival jitter of state.range(0) ms (blocks overtake each other above 16
// ms): the hold it settles on, the target it steers to and the share of frames with made-up samples.
void BM_UplinkHoldUnderJitter(benchmark::State& state) {
  const uint32_t jitter_ms = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> voice = Voice(kClientBlockSamples * 64);
  UplinkBuffer buffer;
  uint8_t frame[160];
  std::vector<std::pair<uint64_t, int64_t>> pending;  // (arrival, sequence), a min-heap on arrival
  pending.reserve(64);
  const auto later = [](const std::pair<uint64_t, int64_t>& a, const std::pair<uint64_t, int64_t>& b) {
    return a.first > b.first;
  };
  uint32_t random = 99;
  int64_t block = 0;
  uint64_t next_frame_ms = 0;
  double hold_sum = 0;
  uint64_t holds = 0;
  const uint64_t before = AllocationCount();
  for (auto _ : state) {
    const uint64_t now = static_cast<uint64_t>(block) * 16;
    random = random * 1103515245u + 12345u;
    pending.emplace_back(now + (random >> 8) % (jitter_ms + 1), block + 1);
    std::push_heap(pending.begin(), pending.end(), later);
    while (next_frame_ms <= now) {
      while (!pending.empty() && pending.front().first <= next_frame_ms) {
        std::pop_heap(pending.begin(), pending.end(), later);
        const auto [at, sequence] = pending.back();
        pending.pop_back();
        buffer.Put(sequence, voice.data() + (sequence % 64) * kClientBlockSamples, at);
      }
      bool marker;
      benchmark::DoNotOptimize(buffer.Get(frame, &marker, next_frame_ms));
      if (next_frame_ms > 10000) {
        hold_sum += buffer.stats().hold_ms;
        ++holds;
      }
      next_frame_ms += 20;
    }
    ++block;
  }
  ReportPerPacket(state, before);
  state.counters["hold_ms"] = holds > 0 ? hold_sum / static_cast<double>(holds) : 0;
  state.counters["target_ms"] = buffer.stats().target_hold_ms;
  state.counters["covered_%"] =
      100.0 * static_cast<double>(buffer.stats().concealed) / static_cast<double>(buffer.stats().frames + 1);
}
BENCHMARK(BM_UplinkHoldUnderJitter)->Arg(0)->Arg(20)->Arg(50)->Iterations(200000);

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
