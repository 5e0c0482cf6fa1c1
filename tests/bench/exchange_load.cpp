// Load tool: N fake clients call through an exchange (on its own loop thread in this process, listening on
// loopback, one phone-server address per four calls: 127.0.0.2, 127.0.0.3, ...) with the echo far end. Each
// sends a 144-byte datagram every 16 ms and receives the echoes. Prints the exchange thread's CPU, the lost
// datagrams (sent vs echoed, by sequence) and the delay each echo added.
//
//   exchange_load [--calls N] [--seconds S]     (defaults: 100 calls, 20 s)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "attacker.h"
#include "exchange/protocol/wire_formats.h"
#include "exchange_on_loop.h"

using namespace exchange;
using namespace exchange::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPaceMs = 16;
constexpr int kCallsPerAddress = 4;

struct Client {
  std::string phone_ip;
  int channel = 0;
  Fd tcp;
  Fd udp;
  std::vector<uint8_t> echoed;  // per sequence: how many echoes came back
  bool dialled = false;
};

// What travels in the audio bytes, so that the echo tells who sent it and when.
struct Stamp {
  uint32_t client;
  uint32_t sequence;
  int64_t sent_ns;
};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string PhoneIp(int calls_index) {
  return "127.0.0." + std::to_string(2 + calls_index / kCallsPerAddress);
}

// Connects every client to its channel and dials, all at once; false when a call could not be set up.
bool SetUpCalls(std::vector<Client>& clients, int base_port) {
  for (size_t i = 0; i < clients.size(); ++i) {
    Client& c = clients[i];
    c.phone_ip = PhoneIp(static_cast<int>(i));
    c.channel = static_cast<int>(i % kCallsPerAddress);
    c.tcp = Connect(c.phone_ip, base_port + 2 * c.channel);
    c.udp = UdpSocket();
    if (!c.tcp.valid() || !c.udp.valid()) {
      std::fprintf(stderr, "call %zu: cannot connect to %s\n", i, c.phone_ip.c_str());
      return false;
    }
  }
  auto end = Clock::now() + std::chrono::seconds(20);
  size_t dialled = 0;
  while (dialled < clients.size() && Clock::now() < end) {
    std::vector<pollfd> fds;
    std::vector<size_t> who;
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i].dialled) continue;
      fds.push_back({clients[i].tcp.get(), POLLIN, 0});
      who.push_back(i);
    }
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t k = 0; k < fds.size(); ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[who[k]];
      std::string tag;
      if (ReadSome(c.tcp.get(), 0, &tag) != ReadEnd::kData || tag != kTagWaitDial) {
        std::fprintf(stderr, "call %zu: expected %s, got \"%s\"\n", who[k], std::string(kTagWaitDial).c_str(),
                     tag.c_str());
        return false;
      }
      SendAll(c.tcp.get(), BuildLocalAddressMessage("127.0.0.1"));
      SendAll(c.tcp.get(), BuildDialMessage("127.0.0.1", "3381"));
      c.dialled = true;
      ++dialled;
    }
  }
  return dialled == clients.size();
}

struct Result {
  int calls = 0;
  double seconds = 0;
  uint64_t sent = 0;
  uint64_t echoed = 0;  // distinct sequences echoed
  uint64_t lost = 0;
  uint64_t duplicates = 0;
  uint64_t foreign = 0;  // echoes that were not this client's
  double cpu_percent = 0;
  double cpu_us_per_datagram = 0;  // the exchange's CPU for one datagram in and its echo out
  double cpu_percent_at_pace = 0;  // that cost at the intended rate, for when this machine could not keep it
  double delay_median_ms = 0;
  double delay_p99_ms = 0;
  double delay_max_ms = 0;
};

Result Run(int calls, int seconds) {
  Result r;
  r.calls = calls;
  ExchangeConfig config;
  config.address_port = 0;
  config.phone_base_port = 0;
  config.phone_servers.clear();
  for (int i = 0; i < (calls + kCallsPerAddress - 1) / kCallsPerAddress; ++i)
    config.phone_servers.push_back({PhoneIp(i * kCallsPerAddress), ""});
  config.limits.max_calls = calls;
  config.limits.max_connections = 4 * calls + 100;
  config.limits.connections_per_source = 2 * calls + 16;  // every client is 127.0.0.1
  config.limits.calls_per_source = calls;                 // likewise
  config.limits.connections_per_source_per_minute = 1000000;
  config.limits.dials_per_source_per_minute = 1000000;
  config.dial_plan.AddExtension("3381", DialRoute{"echo", "0"});

  ExchangeOnLoop exchange;
  std::string error;
  if (!exchange.Start(std::move(config), &error)) {
    std::fprintf(stderr, "exchange: %s\n", error.c_str());
    std::exit(1);
  }
  std::vector<Client> clients(static_cast<size_t>(calls));
  if (!SetUpCalls(clients, exchange.phone_base_port())) std::exit(1);
  int ticks = seconds * 1000 / kPaceMs;
  for (Client& c : clients)
    c.echoed.assign(static_cast<size_t>(ticks) + 1, 0);

  int ep = epoll_create1(0);
  for (size_t i = 0; i < clients.size(); ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].udp.get(), &ev);
  }
  std::atomic<bool> receiving{true};
  std::atomic<uint64_t> received{0};
  std::vector<int64_t> delays_ns;
  delays_ns.reserve(static_cast<size_t>(ticks) * clients.size());
  std::thread receiver([&] {
    epoll_event events[256];
    char buf[2048];
    while (receiving) {
      int n = epoll_wait(ep, events, 256, 50);
      for (int k = 0; k < n; ++k) {
        Client& c = clients[events[k].data.u32];
        ssize_t got;
        while ((got = recv(c.udp.get(), buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
          int64_t now = NowNs();
          ++received;
          Stamp s;
          std::memcpy(&s, buf + 32, sizeof(s));
          if (got != static_cast<ssize_t>(kServerVoiceSize) || s.client != events[k].data.u32 ||
              s.sequence == 0 || s.sequence > static_cast<uint32_t>(ticks)) {
            ++r.foreign;
            continue;
          }
          if (c.echoed[s.sequence]++ == 0) {
            delays_ns.push_back(now - s.sent_ns);
          } else {
            ++r.duplicates;
          }
        }
      }
    }
  });

  // Every client's datagram of one tick goes out together, every 16 ms, as the real clients' timers do.
  uint64_t cpu_before = exchange.LoopCpuNs();
  auto start = Clock::now();
  std::string audio(kVoiceSamples, '\x55');
  for (int t = 1; t <= ticks; ++t) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(kPaceMs) * (t - 1));
    for (size_t i = 0; i < clients.size(); ++i) {
      Stamp s{static_cast<uint32_t>(i), static_cast<uint32_t>(t), NowNs()};
      std::memcpy(&audio[0], &s, sizeof(s));
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(exchange.phone_base_port() + 2 * clients[i].channel + 1));
      inet_pton(AF_INET, clients[i].phone_ip.c_str(), &to.sin_addr);
      std::string datagram = BuildClientVoice(t, audio);
      if (sendto(clients[i].udp.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof(to)) == static_cast<ssize_t>(datagram.size()))
        ++r.sent;
    }
  }
  std::this_thread::sleep_until(start + std::chrono::milliseconds(kPaceMs) * ticks);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu_ns = static_cast<double>(exchange.LoopCpuNs() - cpu_before);
  r.cpu_percent = 100.0 * cpu_ns / 1e9 / r.seconds;
  r.cpu_us_per_datagram = cpu_ns / 1e3 / static_cast<double>(std::max<uint64_t>(r.sent, 1));
  r.cpu_percent_at_pace = 100.0 * r.cpu_us_per_datagram / 1e6 * calls * (1000.0 / kPaceMs);
  // The echo plays out what it still holds at one block per 16 ms: wait until the echoes stop.
  auto drain_end = Clock::now() + std::chrono::seconds(6);
  for (int64_t last = -1; Clock::now() < drain_end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int64_t now = static_cast<int64_t>(received.load());
    if (now == last) break;
    last = now;
  }
  receiving = false;
  receiver.join();
  close(ep);
  for (Client& c : clients)
    for (int t = 1; t <= ticks; ++t)
      r.echoed += c.echoed[static_cast<size_t>(t)] > 0;
  r.lost = r.sent - r.echoed;
  std::sort(delays_ns.begin(), delays_ns.end());
  if (!delays_ns.empty()) {
    r.delay_median_ms = static_cast<double>(delays_ns[delays_ns.size() / 2]) / 1e6;
    r.delay_p99_ms = static_cast<double>(delays_ns[delays_ns.size() * 99 / 100]) / 1e6;
    r.delay_max_ms = static_cast<double>(delays_ns.back()) / 1e6;
  }
  clients.clear();
  exchange.Stop();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 100;
  int seconds = 20;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--calls" && i + 1 < argc) {
      calls = std::atoi(argv[++i]);
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: exchange_load [--calls N] [--seconds S]\n");
      return 2;
    }
  }
  if (calls < 1 || calls > 1000 || seconds < 1) {
    std::fprintf(stderr, "calls must be 1 to 1000 and seconds at least 1\n");
    return 2;
  }
  // Two sockets per call on each side, and eight per phone-server address.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  Result r = Run(calls, seconds);
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("exchange load: %d calls through the echo far end, one datagram each every %d ms, %.1f s\n",
              r.calls, kPaceMs, r.seconds);
  std::printf("%6s %9s %9s %6s %5s %8s %12s %12s %12s %10s\n", "calls", "sent", "echoed", "lost", "dup",
              "foreign", "exchange CPU", "delay p50", "delay p99", "delay max");
  std::printf("%6d %9llu %9llu %6llu %5llu %8llu %11.1f%% %9.2f ms %9.2f ms %7.2f ms\n", r.calls,
              static_cast<unsigned long long>(r.sent), static_cast<unsigned long long>(r.echoed),
              static_cast<unsigned long long>(r.lost), static_cast<unsigned long long>(r.duplicates),
              static_cast<unsigned long long>(r.foreign), r.cpu_percent, r.delay_median_ms, r.delay_p99_ms,
              r.delay_max_ms);
  std::printf(
      "exchange CPU per datagram (in + echo out): %.1f us; at the intended %.0f datagrams/s: %.1f%% of one "
      "core\n",
      r.cpu_us_per_datagram, r.calls * 1000.0 / kPaceMs, r.cpu_percent_at_pace);
  std::printf(
      "(exchange CPU: its loop thread's CPU time over the run, in %% of one core; the run was planned for "
      "%d s; machine load average %.1f on %ld cores)\n",
      seconds, load[0], sysconf(_SC_NPROCESSORS_ONLN));
  return r.lost == 0 ? 0 : 1;
}
