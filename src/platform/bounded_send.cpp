#include "platform/bounded_send.h"

namespace pelvarine {

bool SendWithin(SendSteps& steps, const char* data, size_t size, int give_up_ms) {
  const int64_t deadline = steps.NowMs() + give_up_ms;
  while (size > 0) {
    size_t sent = 0;
    switch (steps.SendSome(data, size, &sent)) {
      case SendOutcome::kSent:
        if (sent == 0 || sent > size) return false;
        data += sent;
        size -= sent;
        continue;
      case SendOutcome::kFailed:
        return false;
      case SendOutcome::kWouldBlock:
        break;
    }
    int64_t left = deadline - steps.NowMs();
    if (left <= 0) return false;
    if (steps.WaitWritable(static_cast<int>(left)) == WaitOutcome::kFailed) return false;
  }
  return true;
}

}  // namespace pelvarine
