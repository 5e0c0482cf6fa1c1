#pragma once

#include <cstdint>
#include <string_view>

namespace pelvarine {

// Reads a number the way atol does (leading white space, optional sign, digits up to the first other
// character; none gives 0), saturating at the 32-bit limits instead of overflowing.
int32_t ParseDecimalSaturated(std::string_view text);

}  // namespace pelvarine
