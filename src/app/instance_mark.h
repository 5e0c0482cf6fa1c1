#pragma once
// Whether another instance of the program runs, read from what creating the instance's named mark
// returned. An instance started elevated makes a mark that an ordinary user may not open: that too says
// another instance runs.

#include <cstdint>

namespace pelvarine {

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorAlreadyExists = 183;

enum class InstanceMark {
  kFirst,        // this process made the mark
  kAnotherRuns,  // the mark exists: bring that instance's window forward and end
  kUnknown,      // the mark could not be made for another reason: run rather than refuse the user
};

InstanceMark ReadInstanceMark(bool got_handle, uint32_t last_error);

}  // namespace pelvarine
