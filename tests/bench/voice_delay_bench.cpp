// The delay the exchange adds to a bridged call's voice, per direction, as a listener hears it: uplink from a
// client datagram's arrival to the RTP packet carrying its last sample, downlink from an RTP packet's arrival
// to the client datagram carrying its last sample. Calls are simulated (the buffers with the RTP clock's and
// the pacer's timing; the timer wakes up to 1 ms late) over several phases of the clocks against each other,
// so every figure is the same on every machine. Beside each direction: the floor, what a re-framer that knows
// every arrival in advance would add for the same packet sizes and clock phases. Calls are measured from
// their fifth second on, once the buffers have settled.
//   voice_delay_bench [--seconds S] [--calls N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exchange/farend/builtin_far_ends.h"
#include "exchange/media/downlink_buffer.h"
#include "exchange/media/uplink_buffer.h"
#include "tests/exchange/media/listener_delay.h"
#include "tests/exchange/media/media_test_streams.h"

namespace exchange {
namespace {

using testing::DelayTracker;
using testing::Random;
using testing::TaggedVoice;

constexpr int64_t kMs = 1000;          // simulated time is in microseconds
constexpr size_t kFrameSamples = 160;  // the RTP clock's 20 ms frame

struct Figures {
  std::vector<int64_t> delays_us;
  std::vector<int64_t> floor_us;
  uint64_t units = 0;      // blocks (uplink: frames) given out
  uint64_t concealed = 0;  // of them, with made-up samples
  uint64_t late = 0;       // units that came after their turn
  uint64_t cut = 0;        // units not heard whole
};

struct Run {
  int seconds = 60;
  int calls = 8;
  int up_jitter_ms = 0;
  int down_jitter_ms = 0;
  int ptime_ms = 20;
  int calm_after_s = 0;  // > 0: the jitter stops then, and only the last quarter of the call is measured
};

// One direction's timeline: unit k of `unit_samples` sent at sent_us[k] and arriving at arrival_us[k]; the
// reader takes `frame_samples` at each of tick_us.
struct Timeline {
  std::vector<int64_t> sent_us;
  std::vector<int64_t> arrival_us;
  std::vector<int64_t> tick_us;
};

Timeline MakeTimeline(const Run& run, Random& random, int64_t unit_ms, int64_t tick_ms, int jitter_ms) {
  Timeline line;
  const int64_t end = run.seconds * 1000 * kMs;
  const int64_t phase = random.Upto(static_cast<uint32_t>(unit_ms * kMs));
  for (int64_t at = phase; at < end; at += unit_ms * kMs) {
    line.sent_us.push_back(at);
    const bool calm = run.calm_after_s > 0 && at >= run.calm_after_s * 1000 * kMs;
    line.arrival_us.push_back(at + (calm ? 0 : random.Upto(static_cast<uint32_t>(jitter_ms * kMs))));
  }
  const int64_t tick_phase = random.Upto(static_cast<uint32_t>(tick_ms * kMs));
  for (int64_t due = tick_phase; due < end; due += tick_ms * kMs)
    line.tick_us.push_back(due + random.Upto(kMs - 1));
  return line;
}

// The floor: a re-framer that knows every arrival plays each tick's frame as early as the latest arrival
// allows, at one fixed offset for the whole call.
std::vector<int64_t> FloorDelays(const Timeline& line, int64_t unit_samples, int64_t frame_samples,
                                 int64_t from_us) {
  // Frame j carries samples [frame*j + offset, frame*(j+1) + offset) of the stream; the offset is the
  // largest one for which every frame's samples have all arrived by its tick (from the first second on).
  int64_t offset = INT64_MAX;
  size_t arrived = 0;
  for (size_t j = 0; j < line.tick_us.size(); ++j) {
    while (arrived < line.sent_us.size() && line.sent_us[arrived] <= line.tick_us[j])
      ++arrived;
    if (line.tick_us[j] < 1000 * kMs) continue;
    const int64_t available = static_cast<int64_t>(arrived) * unit_samples;
    offset = std::min(offset, available - frame_samples * static_cast<int64_t>(j + 1));
  }
  std::vector<int64_t> delays;
  for (size_t k = 0; k < line.sent_us.size(); ++k) {
    if (line.sent_us[k] < from_us) continue;
    const int64_t last_sample = static_cast<int64_t>(k + 1) * unit_samples - 1;
    const int64_t j = (last_sample - offset) / frame_samples;
    if (j >= static_cast<int64_t>(line.tick_us.size())) break;
    delays.push_back(line.tick_us[static_cast<size_t>(j)] - line.sent_us[k]);
  }
  return delays;
}

// Hands the arrivals and the ticks to `put` and `take` in time order (arrivals first at equal times).
template <typename Put, typename Take>
void Replay(const Timeline& line, Put put, Take take) {
  std::vector<size_t> order(line.arrival_us.size());
  for (size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return line.arrival_us[a] < line.arrival_us[b]; });
  size_t next = 0;
  for (int64_t tick : line.tick_us) {
    for (; next < order.size() && line.arrival_us[order[next]] <= tick; ++next)
      put(order[next], line.arrival_us[order[next]]);
    take(tick);
  }
}

int64_t MeasureFrom(const Run& run) {
  return run.calm_after_s > 0 ? run.seconds * 1000 * kMs * 3 / 4 : 5000 * kMs;
}

void Uplink(const Run& run, Random& random, Figures* figures) {
  const Timeline line = MakeTimeline(run, random, 16, 20, run.up_jitter_ms);
  const TaggedVoice voice(75, 25);  // 1.2 s of talk, 0.4 s of pause
  UplinkBuffer buffer;
  DelayTracker tracker(voice, kClientBlockSamples);
  tracker.MeasureFrom(MeasureFrom(run));
  std::vector<uint8_t> block(kClientBlockSamples);
  uint8_t frame[kFrameSamples];
  Replay(
      line,
      [&](size_t k, int64_t at) {
        std::fill(block.begin(), block.end(), voice.Code(static_cast<int64_t>(k)));
        tracker.Arrived(static_cast<int64_t>(k), at);
        buffer.Put(static_cast<int64_t>(k) + 1, block.data(), static_cast<uint64_t>(at / kMs));
      },
      [&](int64_t tick) {
        bool marker = false;
        if (buffer.Get(frame, &marker, static_cast<uint64_t>(tick / kMs)) != UplinkBuffer::Frame::kNone)
          tracker.Sent(frame, sizeof frame, tick);
      });
  const std::vector<int64_t>& delays = tracker.delays_us();
  figures->delays_us.insert(figures->delays_us.end(), delays.begin(), delays.end());
  const std::vector<int64_t> floor = FloorDelays(line, kClientBlockSamples, sizeof frame, MeasureFrom(run));
  figures->floor_us.insert(figures->floor_us.end(), floor.begin(), floor.end());
  figures->units += buffer.stats().frames;
  figures->concealed += buffer.stats().concealed;
  figures->late += buffer.stats().late;
  figures->cut += tracker.cut();
}

void Downlink(const Run& run, Random& random, Figures* figures) {
  const int64_t packet_samples = run.ptime_ms * kSamplesPerMs;
  const Timeline line = MakeTimeline(run, random, run.ptime_ms, 16, run.down_jitter_ms);
  const TaggedVoice voice(1200 / run.ptime_ms, 400 / run.ptime_ms);
  DownlinkBuffer buffer;
  DelayTracker tracker(voice, static_cast<size_t>(packet_samples));
  tracker.MeasureFrom(MeasureFrom(run));
  std::vector<uint8_t> packet(static_cast<size_t>(packet_samples));
  uint8_t block[kClientBlockSamples];
  Replay(
      line,
      [&](size_t j, int64_t at) {
        std::fill(packet.begin(), packet.end(), voice.Code(static_cast<int64_t>(j)));
        tracker.Arrived(static_cast<int64_t>(j), at);
        buffer.Put(static_cast<uint16_t>(j), static_cast<uint32_t>(static_cast<int64_t>(j) * packet_samples),
                   packet.data(), packet.size(), static_cast<uint64_t>(at / kMs));
      },
      [&](int64_t tick) {
        if (buffer.Read(block, static_cast<uint64_t>(tick / kMs))) tracker.Sent(block, sizeof block, tick);
      });
  const std::vector<int64_t>& delays = tracker.delays_us();
  figures->delays_us.insert(figures->delays_us.end(), delays.begin(), delays.end());
  const std::vector<int64_t> floor = FloorDelays(line, packet_samples, kClientBlockSamples, MeasureFrom(run));
  figures->floor_us.insert(figures->floor_us.end(), floor.begin(), floor.end());
  figures->units += buffer.stats().blocks;
  figures->concealed += buffer.stats().concealed;
  figures->late += buffer.stats().late;
  figures->cut += tracker.cut();
}

class SilentListener : public FarEndListener {
 public:
  void OnFarEndAnswered() override {}
  void OnFarEndTryingNext() override {}
  void OnFarEndRefused(std::string_view) override {}
  void OnFarEndEnded(std::string_view) override {}
};

// The echo far end: the client's blocks back through the call's 16 ms pacer.
void Echo(const Run& run, Random& random, int delay_ms, Figures* figures) {
  const Timeline line = MakeTimeline(run, random, 16, 16, 0);
  const TaggedVoice voice;
  SilentListener listener;
  std::unique_ptr<FarEnd> echo =
      MakeEchoFarEndFactory()->Create({"", std::to_string(delay_ms), "", ""}, listener);
  echo->Start();
  DelayTracker tracker(voice, kClientBlockSamples);
  tracker.MeasureFrom(MeasureFrom(run));
  std::vector<uint8_t> block(kClientBlockSamples);
  Replay(
      line,
      [&](size_t k, int64_t at) {
        std::fill(block.begin(), block.end(), voice.Code(static_cast<int64_t>(k)));
        tracker.Arrived(static_cast<int64_t>(k), at);
        echo->OnClientVoice(static_cast<int64_t>(k) + 1, block.data());
      },
      [&](int64_t tick) {
        if (echo->ReadBlock(block.data())) tracker.Sent(block.data(), block.size(), tick);
      });
  const std::vector<int64_t>& delays = tracker.delays_us();
  figures->delays_us.insert(figures->delays_us.end(), delays.begin(), delays.end());
  figures->cut += tracker.cut();
}

double Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return static_cast<double>(values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))]) / kMs;
}

std::string Spread(const std::vector<int64_t>& values) {
  char text[64];
  std::snprintf(text, sizeof text, "%5.1f %5.1f %5.1f", Percentile(values, 0.5), Percentile(values, 0.99),
                Percentile(values, 1.0));
  return text;
}

std::string Losses(const Figures& figures) {
  char text[64];
  const double share =
      figures.units ? 100.0 * static_cast<double>(figures.concealed) / static_cast<double>(figures.units) : 0;
  std::snprintf(text, sizeof text, "%5.2f%% %5llu %4llu", share,
                static_cast<unsigned long long>(figures.late), static_cast<unsigned long long>(figures.cut));
  return text;
}

}  // namespace
}  // namespace exchange

int main(int argc, char** argv) {
  using namespace exchange;
  Run base;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (key == "--seconds" && value >= 8) {
      base.seconds = value;
    } else if (key == "--calls" && value >= 1) {
      base.calls = value;
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S (8 or more)] [--calls N]\n", argv[0]);
      return 2;
    }
  }
  std::printf(
      "Added delay in ms (median p99 max) over %d calls of %d s, each with its own clock phases;\n"
      "floor: a re-framer that knew every arrival; concealed: share of the frames (uplink) or blocks\n"
      "(downlink) with made-up samples; late: units after their turn; cut: units not heard whole.\n\n",
      base.calls, base.seconds);
  std::printf("%-14s %-5s | %-17s %-17s %-18s | %-17s %-17s %-18s\n", "jitter ms", "ptime", "uplink", "floor",
              "concealed late cut", "downlink", "floor", "concealed late cut");
  struct Row {
    const char* name;
    int up_jitter, down_jitter, calm_after_s;
  };
  const Row rows[] = {{"0", 0, 0, 0},
                      {"20 up", 20, 0, 0},
                      {"50 up", 50, 0, 0},
                      {"20 both", 20, 20, 0},
                      {"50, then 0", 50, 0, 1}};
  for (const Row& row : rows) {
    for (int ptime : {10, 20, 30}) {
      Run run = base;
      run.up_jitter_ms = row.up_jitter;
      run.down_jitter_ms = row.down_jitter;
      run.ptime_ms = ptime;
      run.calm_after_s = row.calm_after_s ? base.seconds / 2 : 0;
      Figures up, down;
      for (int call = 0; call < run.calls; ++call) {
        testing::Random random(static_cast<uint64_t>(call) + 1);
        Uplink(run, random, &up);
        Downlink(run, random, &down);
      }
      std::printf("%-14s %-5d | %s %s %s | %s %s %s\n", row.name, ptime, Spread(up.delays_us).c_str(),
                  Spread(up.floor_us).c_str(), Losses(up).c_str(), Spread(down.delays_us).c_str(),
                  Spread(down.floor_us).c_str(), Losses(down).c_str());
    }
  }
  std::printf("\nEcho far end, blocks back through the 16 ms pacer (median p99 max against its setting):\n");
  for (int setting : {0, 100, 200, 500}) {
    Figures echo;
    for (int call = 0; call < base.calls; ++call) {
      testing::Random random(static_cast<uint64_t>(call) + 1);
      Echo(base, random, setting, &echo);
    }
    std::printf("  setting %4d ms: %s, cut %llu\n", setting, Spread(echo.delays_us).c_str(),
                static_cast<unsigned long long>(echo.cut));
  }
  return 0;
}
