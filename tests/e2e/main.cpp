// The end-to-end suite: the real Windows client under Wine against the exchange simulator.
//
//   e2e_tests [--build=i686|x86_64] [gtest flags]
//
// Without --build it drives the i686 product where scripts/setup found that 32-bit programs run, else the
// x86_64 build. A named build that cannot run here ends the run at once as skipped (exit status 77).
#include <gtest/gtest.h>

#include <cstdio>

#include "client_build.h"
#include "process.h"
#include "wine_session.h"

namespace {

constexpr int kSkipped = 77;  // what ctest is told means "skipped"

class WineEnvironment : public ::testing::Environment {
 public:
  // A problem is reported by every test (each fails with the reason), not by skipping them.
  void SetUp() override { e2e::WineSession::Get().SetUp(); }
  void TearDown() override { e2e::WineSession::Get().TearDown(); }
};

e2e::BuildFacts Facts(const std::string& requested) {
  e2e::BuildFacts f;
  f.requested = requested;
  f.record_path = PELVARINE_E2E_WINE32_RECORD;
  f.wine32_record = e2e::ReadFile(f.record_path);
  f.i686 = {"i686", PELVARINE_E2E_CLIENT_I686_PATH, "/usr/lib/wine/wine",
            PELVARINE_E2E_CAPTURE_STANDIN_I686_PATH};
  f.x86_64 = {"x86_64", PELVARINE_E2E_CLIENT_PATH, "/usr/lib/wine/wine64",
              PELVARINE_E2E_CAPTURE_STANDIN_PATH};
  f.i686_built = e2e::FileExists(f.i686.exe);
  f.x86_64_built = e2e::FileExists(f.x86_64.exe);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string requested = e2e::TakeBuildArgument(&argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  e2e::BuildDecision decision = e2e::ChooseClientBuild(Facts(requested));
  switch (decision.outcome) {
    case e2e::BuildDecision::Outcome::kProblem:
      std::fprintf(stderr, "e2e: %s\n", decision.reason.c_str());
      return 1;
    case e2e::BuildDecision::Outcome::kSkip:
      std::printf("e2e: the %s client is skipped: %s\n", decision.build.name.c_str(),
                  decision.reason.c_str());
      return kSkipped;
    case e2e::BuildDecision::Outcome::kRun:
      std::printf("e2e: the %s client (%s) under %s: %s\n", decision.build.name.c_str(),
                  decision.build.exe.c_str(), decision.build.loader.c_str(), decision.reason.c_str());
      std::fflush(stdout);
      break;
  }
  e2e::WineSession::Get().UseClient(decision.build);
  ::testing::AddGlobalTestEnvironment(new WineEnvironment);
  return RUN_ALL_TESTS();
}
