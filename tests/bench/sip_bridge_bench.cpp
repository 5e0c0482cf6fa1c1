// Load figures of the SIP bridge: N fake clients call through pelvarine-exchange to SIPp, which answers and
// echoes RTP; for a steady window it measures what came back, the exchange's CPU and the round trip.
// Binds fixed loopback ports: run it in a private network namespace, e.g.
//   unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' ./sip_bridge_bench --calls 400 --seconds 20
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "exchange/protocol/wire_formats.h"
#include "fake_voice_client.h"
#include "sipp_process.h"

using exchange::FakeVoiceClient;
using exchange::MonotonicMs;
using exchange::SippProcess;

namespace {

struct Options {
  int calls = 400;
  int seconds = 20;
  int jitter_ms = 0;
  bool keep = false;  // leave the logs in the temporary folder
};

// A process's CPU time so far, in seconds: in its own code and libraries (user), in the kernel on its behalf.
struct CpuTimes {
  double user = 0;
  double kernel = 0;
  double total() const { return user + kernel; }
  CpuTimes operator-(const CpuTimes& earlier) const { return {user - earlier.user, kernel - earlier.kernel}; }
};

CpuTimes ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  return {static_cast<double>(utime) / tick, static_cast<double>(stime) / tick};
}

// Sums "NAME N" over the exchange's call summary lines.
// The sum over the exchange's call summary lines of the figure after `name`, looked for after `from`.
unsigned long long SumLogField(const std::string& log, const std::string& name,
                               const std::string& from = "") {
  unsigned long long total = 0;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("call ended") == std::string::npos) continue;
    size_t start = from.empty() ? 0 : line.find(from);
    if (start == std::string::npos) continue;
    size_t at = line.find(" " + name + " ", start);
    if (at != std::string::npos) total += std::strtoull(line.c_str() + at + name.size() + 2, nullptr, 10);
  }
  return total;
}

void Drive(std::vector<std::unique_ptr<FakeVoiceClient>>& clients, uint64_t ms, int jitter_ms,
           std::mt19937& rng, uint64_t* next_tick) {
  std::uniform_int_distribution<int> jitter(0, std::max(jitter_ms, 0));
  uint64_t end = MonotonicMs() + ms;
  std::vector<pollfd> fds;
  while (MonotonicMs() < end) {
    uint64_t now = MonotonicMs();
    if (now >= *next_tick) {
      for (auto& client : clients)
        client->Tick(now, static_cast<uint32_t>(jitter(rng)));
      *next_tick += 16;
    }
    for (auto& client : clients)
      client->Flush(now);
    fds.clear();
    for (auto& client : clients) {
      if (client->tcp_fd() >= 0 && !client->closed_by_exchange())
        fds.push_back({client->tcp_fd(), POLLIN, 0});
      fds.push_back({client->udp_fd(), POLLIN, 0});
    }
    now = MonotonicMs();
    int wait = *next_tick > now ? static_cast<int>(*next_tick - now) : 0;
    if (jitter_ms > 0) wait = std::min(wait, 2);
    poll(fds.data(), fds.size(), wait);
    now = MonotonicMs();
    for (auto& client : clients)
      client->Service(now);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    int value = std::atoi(argv[i + 1]);
    if (key == "--calls") {
      options.calls = value;
    } else if (key == "--seconds") {
      options.seconds = value;
    } else if (key == "--jitter") {
      options.jitter_ms = value;
    } else if (key == "--keep") {
      options.keep = value != 0;
    } else {
      std::fprintf(stderr, "usage: %s [--calls N] [--seconds S] [--jitter MS] [--keep 1]\n", argv[0]);
      return 2;
    }
  }
  rlimit files{65536, 65536};
  setrlimit(RLIMIT_NOFILE, &files);

  char folder_template[] = "/tmp/sip-bench-XXXXXX";
  std::string folder = mkdtemp(folder_template);
  const int servers = (options.calls + 3) / 4;
  std::string phone_servers;
  for (int s = 0; s < servers; ++s)
    phone_servers += (s ? "," : "") + ("127.0.1." + std::to_string(s + 1));
  std::ofstream(folder + "/exchange.conf")
      << "[exchange]\nphone_servers = " << phone_servers << "\nbase_port = 20480\nmetrics = off\n"
      << "[limits]\nmax_calls = " << options.calls + 8 << "\nmax_connections = " << options.calls * 4
      << "\nconnections_per_source = " << options.calls * 4 << "\ncalls_per_source = " << options.calls
      << "\nconnections_per_source_per_minute = 100000\ndials_per_source_per_minute = 100000\n"
      << "[dial]\n3381 = sip 2001\n"
      << "[sip]\nserver = sip:127.0.0.1:5060\nuser = visitors\nlocal = 127.0.0.1:5070\n"
      << "rtp_ports = 30000-39999\nmax_wait = 10\n";

  std::vector<std::string> sipp_arguments = {"-sf",
                                             std::string(SIPP_SCENARIOS) + "/answer_echo.xml",
                                             "-i",
                                             "127.0.0.1",
                                             "-p",
                                             "5060",
                                             "-mi",
                                             "127.0.0.1",
                                             "-mp",
                                             "6000",
                                             "-rtp_echo",
                                             "-m",
                                             std::to_string(options.calls),
                                             "-nostdin",
                                             "-timeout",
                                             std::to_string(options.seconds + 120) + "s"};
  if (options.keep) {
    for (const char* argument : {"-trace_msg", "-message_file"})
      sipp_arguments.push_back(argument);
    sipp_arguments.push_back(folder + "/messages.log");
  }
  SippProcess sipp;
  if (!sipp.Start(sipp_arguments, folder + "/sipp.log") || !sipp.WaitListening(5060, false, 5000)) {
    std::fprintf(stderr, "SIPp did not start (see %s/sipp.log)\n", folder.c_str());
    return 1;
  }
  SippProcess daemon(PELVARINE_EXCHANGE);
  if (!daemon.Start({"--config", folder + "/exchange.conf"}, folder + "/exchange.log") ||
      !daemon.WaitListening(20480, true, 10000)) {
    std::fprintf(stderr, "the exchange did not start (see %s/exchange.log)\n", folder.c_str());
    return 1;
  }

  std::vector<std::unique_ptr<FakeVoiceClient>> clients;
  std::mt19937 rng(7);
  uint64_t next_tick = MonotonicMs();
  for (int i = 0; i < options.calls; ++i) {
    int channel = i % 4;
    clients.push_back(std::make_unique<FakeVoiceClient>(
        "127.0.1." + std::to_string(i / 4 + 1), 20480 + 2 * channel, 20480 + 2 * channel + 1, "3381"));
    if (!clients.back()->Connect()) {
      std::fprintf(stderr, "client %d could not connect\n", i);
      return 1;
    }
    if (i % 20 == 19) Drive(clients, 50, options.jitter_ms, rng, &next_tick);  // a gentle ramp
  }
  // Until every call is answered and its echo flows (or 30 s).
  uint64_t setup_end = MonotonicMs() + 30000;
  while (MonotonicMs() < setup_end) {
    Drive(clients, 500, options.jitter_ms, rng, &next_tick);
    int flowing = 0;
    for (auto& client : clients)
      flowing += client->echoed().empty() ? 0 : 1;
    if (flowing == options.calls) break;
  }
  Drive(clients, 2000, options.jitter_ms, rng, &next_tick);  // let the buffers settle

  std::vector<uint64_t> sent_before, received_before, echoed_before, trips_before;
  for (auto& client : clients) {
    sent_before.push_back(client->blocks_sent());
    received_before.push_back(client->datagrams_received());
    echoed_before.push_back(client->echoed().size());
    trips_before.push_back(client->round_trips_ms().size());
  }
  CpuTimes cpu_before = ProcessCpu(daemon.pid());
  CpuTimes sipp_cpu_before = ProcessCpu(sipp.pid());
  uint64_t window_start = MonotonicMs();
  Drive(clients, static_cast<uint64_t>(options.seconds) * 1000, options.jitter_ms, rng, &next_tick);
  double wall = static_cast<double>(MonotonicMs() - window_start) / 1000.0;
  CpuTimes cpu = ProcessCpu(daemon.pid()) - cpu_before;
  double sipp_cpu = (ProcessCpu(sipp.pid()) - sipp_cpu_before).total();

  uint64_t sent = 0, received = 0, echoed = 0;
  int flowing = 0, dialled = 0, closed = 0;
  std::vector<uint32_t> trips;
  for (size_t i = 0; i < clients.size(); ++i) {
    sent += clients[i]->blocks_sent() - sent_before[i];
    received += clients[i]->datagrams_received() - received_before[i];
    uint64_t echoed_now = clients[i]->echoed().size() - echoed_before[i];
    echoed += echoed_now;
    flowing += echoed_now > 0 ? 1 : 0;
    dialled += clients[i]->dialled() ? 1 : 0;
    closed += clients[i]->closed_by_exchange() ? 1 : 0;
    const auto& all = clients[i]->round_trips_ms();
    trips.insert(trips.end(), all.begin() + static_cast<long>(trips_before[i]), all.end());
  }
  for (auto& client : clients)
    client->HangUp();
  clients.clear();
  uint64_t drain_end = MonotonicMs() + 3000;
  while (MonotonicMs() < drain_end && !sipp.Poll())
    usleep(20000);
  daemon.Terminate(5000);
  sipp.Kill();
  std::string log = exchange::ReadWholeFile(folder + "/exchange.log");

  std::sort(trips.begin(), trips.end());
  auto percentile = [&](double p) {
    return trips.empty() ? 0u : trips[static_cast<size_t>(p * (trips.size() - 1))];
  };
  // Through the exchange per 16 ms block: the client's datagram in and the echo's datagram out; per 20 ms
  // frame: an RTP packet out and one back in (0.8 of the blocks' count each way).
  double packets = static_cast<double>(sent + received) * 1.8;
  std::printf(
      "calls %d (dialled %d, closed by the exchange %d, echo flowing in the window %d), window %.1f s, "
      "injected uplink jitter 0-%d ms\n",
      options.calls, dialled, closed, flowing, wall, options.jitter_ms);
  std::printf(
      "client blocks sent %llu, datagrams back %llu, pattern bytes echoed %llu (%.3f%% of sent)\n",
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
      static_cast<unsigned long long>(echoed),
      sent ? 100.0 * static_cast<double>(echoed) / static_cast<double>(sent * exchange::kVoiceSamples) : 0.0);
  std::printf("exchange call summaries: lost %llu late %llu duplicated %llu\n", SumLogField(log, "lost"),
              SumLogField(log, "late"), SumLogField(log, "duplicated"));
  std::printf(
      "exchange RTP figures: from SIPp lost %llu late %llu; client blocks missing at their RTP packet %llu, "
      "late "
      "%llu, packets concealed %llu\n",
      SumLogField(log, "lost", "rtp in"), SumLogField(log, "late", "rtp in"),
      SumLogField(log, "lost", "client blocks"), SumLogField(log, "late", "client blocks"),
      SumLogField(log, "concealed", "client blocks"));
  std::printf("uplink jitter buffer hold at the end of the calls: mean %.1f ms\n",
              static_cast<double>(SumLogField(log, "hold", "client blocks")) / std::max(options.calls, 1));
  auto per_packet_us = [&](double seconds) { return packets > 0 ? seconds * 1e6 / packets : 0.0; };
  std::printf(
      "exchange CPU %.1f%% of one core; %.2f us per packet (%.0f packets/s through it): %.2f us in its own "
      "code and libraries, %.2f us in the kernel (the packet's system call and, on loopback, its delivery to "
      "the receiving socket)\n",
      100.0 * cpu.total() / wall, per_packet_us(cpu.total()), packets / wall, per_packet_us(cpu.user),
      per_packet_us(cpu.kernel));
  std::printf("SIPp CPU %.1f%% of one core\n", 100.0 * sipp_cpu / wall);
  std::printf(
      "round trip client -> exchange -> SIPp echo -> exchange -> client: median %u ms, p95 %u ms, "
      "max %u ms (%zu blocks)\n",
      percentile(0.5), percentile(0.95), trips.empty() ? 0u : trips.back(), trips.size());
  if (options.keep) {
    std::printf("logs in %s\n", folder.c_str());
  } else {
    std::system(("rm -rf " + folder).c_str());
  }
  return 0;
}
