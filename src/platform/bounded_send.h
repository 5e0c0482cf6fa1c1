#pragma once
// Handing a whole message to a connection without waiting forever: a peer that stops reading fills the
// send buffer, and the UI thread, which sends, must get its window back. Used by the socket adapters.

#include <cstddef>
#include <cstdint>

namespace pelvarine {

constexpr int kSendGiveUpMs = 10000;

enum class SendOutcome { kSent, kWouldBlock, kFailed };
enum class WaitOutcome { kWritable, kTimedOut, kFailed };

class SendSteps {
 public:
  virtual ~SendSteps() = default;
  // One non-blocking send; on kSent, `*sent` bytes (at least one) were taken.
  virtual SendOutcome SendSome(const char* data, size_t size, size_t* sent) = 0;
  // Waits at most `ms` for room to send (the UI may repaint meanwhile).
  virtual WaitOutcome WaitWritable(int ms) = 0;
  virtual int64_t NowMs() = 0;
};

// True when all `size` bytes were taken within `give_up_ms`; false on failure or when the time ran out.
bool SendWithin(SendSteps& steps, const char* data, size_t size, int give_up_ms = kSendGiveUpMs);

}  // namespace pelvarine
