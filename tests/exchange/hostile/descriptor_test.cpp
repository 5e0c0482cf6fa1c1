// The process's descriptors nearly used up: connections are turned away while descriptors remain, so accept
// never fails with EMFILE (libre's listener would then stay readable and spin the loop at full CPU).

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

// The highest descriptor this process has open, and how many it has open.
std::pair<int, int> OpenDescriptors() {
  int highest = 0, count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    highest = std::max(highest, atoi(entry->d_name));
    ++count;
  }
  closedir(dir);
  return {highest, count - 1};  // less the directory's own
}

TEST_F(HostileTest, ConnectionsStopShortOfTheDescriptorLimitAndTheLoopStaysIdle) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The gaps below the highest descriptor are filled first, so that exactly 40 are left.
  auto [highest, open] = OpenDescriptors();
  std::vector<Fd> gaps;
  for (int i = open; i <= highest; ++i)
    gaps.emplace_back(dup(0));
  const int files = highest + 41;
  exchange_.SetDescriptorLimit(files, 16);
  struct rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(files);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<Fd> clients;
  // Each client takes one descriptor and its connection another: unchecked, the exchange runs out.
  for (int i = 0; i < 24; ++i)
    clients.push_back(
        Connect("127.0.0.1", TcpPort(FreeChannel()), "127.0.0." + std::to_string(10 + i % 100)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  uint64_t cpu_before = exchange_.LoopCpuNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  uint64_t cpu_ns = exchange_.LoopCpuNs() - cpu_before;
  clients.clear();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_LT(cpu_ns, 100u * 1000 * 1000) << "the loop spun: " << cpu_ns / 1000000 << " ms of 500";
  EXPECT_GE(exchange_.CountWithText(ExchangeEvent::Kind::ConnectionRefused, "refused"), 1)
      << exchange_.RecentEvents();
}

}  // namespace
}  // namespace exchange::testing
