// How a run of the end-to-end suite picks the client build: the i686 product where setup found that
// 32-bit programs run, its x86_64 sibling otherwise, and a skip or a problem that says why.
#include <gtest/gtest.h>

#include "client_build.h"

namespace e2e {
namespace {

using Outcome = BuildDecision::Outcome;

BuildFacts Facts(const std::string& requested, const std::string& record) {
  BuildFacts f;
  f.requested = requested;
  f.wine32_record = record;
  f.record_path = "build/wine32-runs";
  f.i686 = {"i686", "build/win32/src/Pelvarine.exe", "/usr/lib/wine/wine", "build/win32/winmm.dll"};
  f.x86_64 = {"x86_64", "build/win64/src/Pelvarine.exe", "/usr/lib/wine/wine64", "build/win64/winmm.dll"};
  f.i686_built = f.x86_64_built = true;
  return f;
}

TEST(ClientBuildChoice, TheProductRunsUnderThe32BitLoaderWhereSetupFoundItRuns) {
  for (const char* requested : {"", "i686"}) {
    BuildDecision d = ChooseClientBuild(Facts(requested, "yes\n"));
    EXPECT_EQ(d.outcome, Outcome::kRun) << requested;
    EXPECT_EQ(d.build.name, "i686");
    EXPECT_EQ(d.build.exe, "build/win32/src/Pelvarine.exe");
    EXPECT_EQ(d.build.loader, "/usr/lib/wine/wine");
  }
}

TEST(ClientBuildChoice, TheI686RunIsSkippedWithSetupsReasonWhere32BitDoesNotRun) {
  BuildDecision d = ChooseClientBuild(Facts("i686", "no\n/usr/lib/wine/wine: Exec format error\n"));
  EXPECT_EQ(d.outcome, Outcome::kSkip);
  EXPECT_EQ(d.build.name, "i686");
  EXPECT_NE(d.reason.find("cannot run 32-bit programs"), std::string::npos) << d.reason;
  EXPECT_NE(d.reason.find("Exec format error"), std::string::npos) << d.reason;
}

TEST(ClientBuildChoice, WithoutANamedBuildThe64BitSiblingRunsWhere32BitDoesNot) {
  BuildDecision d = ChooseClientBuild(Facts("", "no\n"));
  EXPECT_EQ(d.outcome, Outcome::kRun);
  EXPECT_EQ(d.build.name, "x86_64");
  EXPECT_EQ(d.build.loader, "/usr/lib/wine/wine64");
  EXPECT_NE(d.reason.find("i686"), std::string::npos) << "says why the product is not run: " << d.reason;
}

TEST(ClientBuildChoice, TheX8664BuildRunsWhateverTheRecordSays) {
  for (const char* record : {"yes\n", "no\n"}) {
    BuildDecision d = ChooseClientBuild(Facts("x86_64", record));
    EXPECT_EQ(d.outcome, Outcome::kRun) << record;
    EXPECT_EQ(d.build.name, "x86_64");
  }
}

TEST(ClientBuildChoice, AMissingRecordSkipsTheI686RunAndNamesSetup) {
  BuildDecision d = ChooseClientBuild(Facts("i686", ""));
  EXPECT_EQ(d.outcome, Outcome::kSkip);
  EXPECT_NE(d.reason.find("build/wine32-runs is missing"), std::string::npos) << d.reason;
}

TEST(ClientBuildChoice, AMissingClientIsAProblemNotASkip) {
  BuildFacts f = Facts("i686", "yes\n");
  f.i686_built = false;
  BuildDecision d = ChooseClientBuild(f);
  EXPECT_EQ(d.outcome, Outcome::kProblem);
  EXPECT_NE(d.reason.find("cmake --preset win32"), std::string::npos) << d.reason;

  f = Facts("x86_64", "no\n");
  f.x86_64_built = false;
  EXPECT_EQ(ChooseClientBuild(f).outcome, Outcome::kProblem);

  // Named nothing, 32-bit runs but only the x86_64 client is built: that one runs, and the reason says so.
  f = Facts("", "yes\n");
  f.i686_built = false;
  d = ChooseClientBuild(f);
  EXPECT_EQ(d.outcome, Outcome::kRun);
  EXPECT_EQ(d.build.name, "x86_64");
  EXPECT_NE(d.reason.find("cmake --preset win32"), std::string::npos) << d.reason;
}

TEST(ClientBuildChoice, BadNamesAndBadRecordsAreProblems) {
  EXPECT_EQ(ChooseClientBuild(Facts("arm64", "yes\n")).outcome, Outcome::kProblem);
  EXPECT_EQ(ChooseClientBuild(Facts("i686", "maybe\n")).outcome, Outcome::kProblem);
}

TEST(ClientBuildChoice, TheBuildArgumentIsTakenOutOfTheCommandLine) {
  char prog[] = "e2e_tests", filter[] = "--gtest_filter=Window.*", build[] = "--build=i686";
  char* argv[] = {prog, filter, build, nullptr};
  int argc = 3;
  EXPECT_EQ(TakeBuildArgument(&argc, argv), "i686");
  ASSERT_EQ(argc, 2);
  EXPECT_STREQ(argv[1], "--gtest_filter=Window.*");
  EXPECT_EQ(argv[2], nullptr);

  char* none[] = {prog, filter, nullptr};
  argc = 2;
  EXPECT_EQ(TakeBuildArgument(&argc, none), "");
  EXPECT_EQ(argc, 2);
}

}  // namespace
}  // namespace e2e
