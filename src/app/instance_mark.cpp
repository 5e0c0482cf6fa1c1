#include "app/instance_mark.h"

namespace pelvarine {

InstanceMark ReadInstanceMark(bool got_handle, uint32_t last_error) {
  if (got_handle)
    return last_error == kErrorAlreadyExists ? InstanceMark::kAnotherRuns : InstanceMark::kFirst;
  return last_error == kErrorAccessDenied || last_error == kErrorAlreadyExists ? InstanceMark::kAnotherRuns
                                                                               : InstanceMark::kUnknown;
}

}  // namespace pelvarine
