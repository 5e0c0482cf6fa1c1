#include "app/instance_mark.h"

#include <gtest/gtest.h>

namespace pelvarine {
namespace {

TEST(InstanceMark, AMarkThatExistsOrCannotBeOpenedMeansAnotherInstanceRuns) {
  EXPECT_EQ(ReadInstanceMark(true, 0), InstanceMark::kFirst);
  EXPECT_EQ(ReadInstanceMark(true, kErrorAlreadyExists), InstanceMark::kAnotherRuns);
  // Made by an elevated first instance: an ordinary second one gets no handle and access denied.
  EXPECT_EQ(ReadInstanceMark(false, kErrorAccessDenied), InstanceMark::kAnotherRuns);
  EXPECT_EQ(ReadInstanceMark(false, 1450), InstanceMark::kUnknown);  // out of resources: not a second start
}

}  // namespace
}  // namespace pelvarine
