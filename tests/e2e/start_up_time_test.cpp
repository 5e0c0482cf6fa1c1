// How long the client takes under Wine from the start of its process to its last start-up line.
// Printed for people to read; no figure is asserted.
#include <algorithm>
#include <cstdio>

#include "client_test.h"

namespace e2e {
namespace {

class StartUpTime : public ClientTest {};

TEST_F(StartUpTime, MedianOfFiveStartsToTheReadyLine) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator(exsim::Options{}));
  std::vector<double> seconds;
  for (int run = 0; run < 5; ++run) {
    // The previous run's client must be gone, mutex and all, or this start would be a second instance.
    ASSERT_TRUE(WaitUntilNoInstance()) << "run " << run + 1 << ": the previous client is still there";
    auto start = std::chrono::steady_clock::now();
    Child client = StartClientProcess(Profile::kSound, test_name() + ".client.txt");
    ASSERT_TRUE(client.started());
    // The probe polls the log every 25 ms (and waits for the window first).
    CommandResult ready = wine().Probe({"wait-log", line::kChooseDepartment, "30000"}, milliseconds(40000));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(ready.ok()) << "run " << run + 1 << ": no \"" << line::kChooseDepartment << "\" within 30 s";
    seconds.push_back(elapsed);
    wine().Probe({"esc"});
    ASSERT_TRUE(client.WaitExit(milliseconds(10000)))
        << "run " << run + 1 << ": the client did not end on Esc";
  }
  std::vector<double> sorted = seconds;
  std::sort(sorted.begin(), sorted.end());
  std::printf("[ measure  ] process start to \"%s\" under Wine: median %.2f s of", line::kChooseDepartment,
              sorted[2]);
  for (double s : seconds)
    std::printf(" %.2f", s);
  std::printf(" s\n");
  std::fflush(stdout);
}

}  // namespace
}  // namespace e2e
