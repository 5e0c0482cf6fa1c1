// Which Windows build of the client a run of the end-to-end suite drives, and under which Wine loader.
// The i686 build is the product; it needs Wine's 32-bit loader, which some kernels cannot execute, so
// scripts/setup records once whether it runs here and every run reads that record.
#pragma once

#include <string>

namespace e2e {

struct ClientBuild {
  std::string name;    // "i686" or "x86_64"
  std::string exe;     // the client's path
  std::string loader;  // the Wine loader that starts it
  // The test-only winmm.dll built for the same processor (tools/capture-standin): a process loads only
  // its own kind.
  std::string capture_standin;
};

// What a run will do: drive `build`, skip (the reason says why), or stop with a problem.
struct BuildDecision {
  enum class Outcome { kRun, kSkip, kProblem } outcome = Outcome::kProblem;
  ClientBuild build;
  std::string reason;
};

// What the decision is made from; the paths are compile-time settings, the rest is read at run time.
struct BuildFacts {
  std::string requested;      // "i686", "x86_64" or "" (the product where it runs, else x86_64)
  std::string wine32_record;  // the contents of build/wine32-runs; empty when it does not exist
  std::string record_path;    // for messages
  ClientBuild i686, x86_64;   // the candidates
  bool i686_built = false, x86_64_built = false;
};

BuildDecision ChooseClientBuild(const BuildFacts& facts);

// "--build=NAME" among the arguments (removed from them); empty when absent.
std::string TakeBuildArgument(int* argc, char** argv);

}  // namespace e2e
