// Attack load: repeats the attacks of the exchange's security review against an exchange on its own loop
// thread in this process, on loopback only, each for a bounded time and a bounded number of sockets, and
// prints what each did to the exchange (its loop's CPU, the process's resident memory) and whether a
// legitimate call from another address got through and how the pacing of its voice held (gaps between its
// echoes; the exchange paces at 16 ms).
//
//   exchange_attacks [--seconds S]     (default 5 per attack; at most 60)

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

constexpr int kMaxSockets = 400;  // no attack holds more at once

struct Attack {
  const char* name;
  bool withstood;  // false: what remains possible without authentication (the visitor may be kept out)
  // Runs until `end`; may keep sockets in `held` (closed after the measurement).
  std::function<void(int base, Clock::time_point end, std::vector<Fd>* held)> run;
};

bool Before(Clock::time_point end) {
  return Clock::now() < end;
}

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<Attack> Attacks() {
  return {
      {"four idle channels from one address, reconnecting", true,
       [](int base, Clock::time_point end, std::vector<Fd>* held) {
         while (Before(end)) {
           held->clear();
           for (int k = 0; k < 4; ++k)
             held->push_back(Connect("127.0.0.1", base + 2 * k, "127.0.0.9"));
           Sleep(1000);
         }
       }},
      {"direct-number passwords guessed on four channels", true,
       [](int base, Clock::time_point end, std::vector<Fd>*) {
         for (int guess = 0; Before(end); ++guess) {
           Fd fd = Connect("127.0.0.1", base + 2 * (guess % 4), "127.0.0.9");
           if (ReadTag(fd.get(), 300) != kTagWaitDial) {
             Sleep(50);
             continue;
           }
           SendAll(fd.get(), BuildDialMessage("10.0.0.1", "01234567#g" + std::to_string(guess) + "#"));
           ReadTag(fd.get(), 300);
         }
       }},
      {"connect, dial, close cycles from one address", true,
       [](int base, Clock::time_point end, std::vector<Fd>*) {
         for (int i = 0; Before(end); ++i) {
           Fd fd = Connect("127.0.0.1", base + 2 * (i % 4), "127.0.0.9");
           SendAll(fd.get(), BuildDialMessage("10.0.0.1", "3381"));
         }
       }},
      {"a stream of well-formed messages on one connection", true,
       [](int base, Clock::time_point end, std::vector<Fd>*) {
         std::string burst;
         for (int i = 0; i < 100; ++i)
           burst += BuildLocalAddressMessage("10.0.0.1");
         while (Before(end)) {
           Fd fd = Connect("127.0.0.1", base + 6, "127.0.0.9");
           while (Before(end) && SendAll(fd.get(), burst)) {
           }
         }
       }},
      {"datagrams from the visitor's address, another port, before and during its call", true,
       [](int base, Clock::time_point end, std::vector<Fd>*) {
         Fd udp = UdpSocket("127.0.0.3");
         const std::string voice = BuildClientVoice(1, std::string(kVoiceSamples, '\x77'));
         while (Before(end)) {
           for (int k = 0; k < 4; ++k)
             SendDatagram(udp.get(), "127.0.0.1", base + 2 * k + 1, voice);
           Sleep(2);
         }
       }},
      {"sequence numbers jumping by quadrillions", true,
       [](int base, Clock::time_point end, std::vector<Fd>*) {
         Fd udp = UdpSocket("127.0.0.9");
         for (long long s = 1; Before(end); s += 1000000000000000LL) {
           for (int k = 0; k < 4; ++k)
             SendDatagram(udp.get(), "127.0.0.1", base + 2 * k + 1, BuildClientVoice(s, ""));
           Sleep(2);
         }
       }},
      {"connections from 400 addresses (a botnet: together they hold every channel)", false,
       [](int base, Clock::time_point end, std::vector<Fd>* held) {
         for (int i = 0; Before(end) && static_cast<int>(held->size()) < kMaxSockets; ++i) {
           Fd fd = Connect("127.0.0.1", base + 2 * (i % 4),
                           "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(10 + i % 200));
           if (fd.valid()) held->push_back(std::move(fd));
         }
         while (Before(end))
           Sleep(20);
       }},
  };
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: exchange_attacks [--seconds S]\n");
      return 2;
    }
  }
  if (seconds < 1 || seconds > 60) {
    std::fprintf(stderr, "exchange_attacks: --seconds must be 1 to 60\n");
    return 2;
  }
  std::printf("attack load: each attack for %d s on loopback, a visitor from 127.0.0.3 calling meanwhile\n",
              seconds);
  std::printf("%-76s %6s %8s %6s %8s %8s\n", "attack", "CPU", "RSS", "call", "gap mean", "gap max");
  bool all_through = true;
  for (const Attack& attack : Attacks()) {
    ExchangeOnLoop exchange;
    ExchangeConfig config;
    config.address_port = 0;
    config.phone_base_port = 0;
    config.dial_plan.AddExtension("3381", DialRoute{"echo", "0"});
    config.dial_plan.AllowDirectNumbers("a-long-venue-secret", "0", DialRoute{"echo", "0"});
    std::string error;
    if (!exchange.Start(std::move(config), &error)) {
      std::fprintf(stderr, "exchange: %s\n", error.c_str());
      return 1;
    }
    const int base = exchange.phone_base_port();
    const size_t rss_before = ResidentBytes();
    const uint64_t cpu_before = exchange.LoopCpuNs();
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<Fd> held;
    std::thread attacker([&] { attack.run(base, end, &held); });
    Sleep(seconds * 200);  // the attack is under way when the visitor calls
    GoodCall visitor(base, "3381", 0x5A, "127.0.0.3");
    bool through = visitor.Open(&error);
    if (through) visitor.Talk();
    attacker.join();
    const double cpu =
        static_cast<double>(exchange.LoopCpuNs() - cpu_before) /
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    const double rss_mb = static_cast<double>(ResidentBytes()) / 1e6;
    visitor.HangUp();
    through = through && visitor.echoed() > 0 && visitor.foreign() == 0;
    all_through = all_through && (through || !attack.withstood);
    std::printf("%-76s %5.1f%% %6.1fMB %6s %6.1fms %6.1fms\n", attack.name, 100 * cpu, rss_mb,
                through            ? "yes"
                : attack.withstood ? "NO"
                                   : "no",
                static_cast<double>(visitor.mean_gap_us()) / 1000,
                static_cast<double>(visitor.max_gap_us()) / 1000);
    (void)rss_before;
    held.clear();
    exchange.Stop();
  }
  std::printf(
      "(CPU: the exchange loop thread's, in %% of one core over the attack; RSS: this process, which also"
      " holds the attackers; gaps: between the visitor's own echoes; call \"no\": expected, NO: a "
      "failure)\n");
  return all_through ? 0 : 1;
}
