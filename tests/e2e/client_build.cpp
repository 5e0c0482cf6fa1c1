#include "client_build.h"

#include <cstring>

namespace e2e {

namespace {

std::string FirstLine(const std::string& text, size_t line) {
  size_t start = 0;
  for (size_t i = 0; i < line; ++i) {
    start = text.find('\n', start);
    if (start == std::string::npos) return std::string();
    ++start;
  }
  std::string out = text.substr(start, text.find('\n', start) - start);
  while (!out.empty() && (out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return out;
}

BuildDecision Problem(const std::string& why) {
  BuildDecision d;
  d.outcome = BuildDecision::Outcome::kProblem;
  d.reason = why;
  return d;
}

BuildDecision Run(const ClientBuild& build, const std::string& why) {
  BuildDecision d;
  d.outcome = BuildDecision::Outcome::kRun;
  d.build = build;
  d.reason = why;
  return d;
}

BuildDecision Skip(const ClientBuild& build, const std::string& why) {
  BuildDecision d;
  d.outcome = BuildDecision::Outcome::kSkip;
  d.build = build;
  d.reason = why;
  return d;
}

std::string NotBuilt(const ClientBuild& build, const char* preset) {
  return "the " + build.name + " client has not been built: expected " + build.exe + " (cmake --preset " +
         preset + " && cmake --build build/" + preset + ")";
}

}  // namespace

BuildDecision ChooseClientBuild(const BuildFacts& facts) {
  if (!facts.requested.empty() && facts.requested != "i686" && facts.requested != "x86_64")
    return Problem("unknown build '" + facts.requested + "': use i686 or x86_64");

  std::string answer = FirstLine(facts.wine32_record, 0);
  std::string why_not = FirstLine(facts.wine32_record, 1);
  bool runs = answer == "yes";
  std::string skipped;
  if (facts.wine32_record.empty()) {
    skipped =
        facts.record_path + " is missing: scripts/setup has not checked whether 32-bit programs run here";
  } else if (answer == "no") {
    skipped =
        "this machine cannot run 32-bit programs under Wine" + (why_not.empty() ? "" : " (" + why_not + ")");
  } else if (!runs) {
    return Problem(facts.record_path + " says '" + answer + "'; expected yes or no (run scripts/setup)");
  }

  if (facts.requested == "x86_64") {
    if (!facts.x86_64_built) return Problem(NotBuilt(facts.x86_64, "win64"));
    return Run(facts.x86_64, "requested");
  }
  if (facts.requested == "i686") {
    if (!runs) return Skip(facts.i686, skipped);
    if (!facts.i686_built) return Problem(NotBuilt(facts.i686, "win32"));
    return Run(facts.i686, "requested; 32-bit programs run here");
  }
  // No build named: the product where it runs and is built, else its 64-bit sibling.
  if (runs && facts.i686_built) return Run(facts.i686, "the product; 32-bit programs run here");
  std::string why = runs ? NotBuilt(facts.i686, "win32") : skipped;
  if (!facts.x86_64_built)
    return Problem(NotBuilt(facts.x86_64, "win64") + "; the i686 one is not run: " + why);
  return Run(facts.x86_64, "the i686 product is not run: " + why);
}

std::string TakeBuildArgument(int* argc, char** argv) {
  static const char kFlag[] = "--build=";
  std::string found;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
      found = argv[i] + sizeof kFlag - 1;
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return found;
}

}  // namespace e2e
