// Any chunk from the phone server, and any address reply, is parsed without reading past the bytes
// received and yields a tag only when the chunk starts with exactly that tag.

#include <cstdlib>
#include <cstring>
#include <string>

#include "call/signal_messages.h"

using namespace pelvarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the received bytes, in storage of their own, so reading one byte too far is caught.
  char* received = static_cast<char*>(std::malloc(size ? size : 1));
  std::memcpy(received, data, size);
  std::string_view chunk = ChunkFromReceive(received, static_cast<int>(size));
  if (chunk.size() > size || chunk.find('\0') != std::string_view::npos) std::abort();
  RecognisedSignal signal = RecogniseSignal(chunk);
  if (signal.tag != SignalTag::kNone && chunk.front() != '{') std::abort();
  if (signal.tag != SignalTag::kRemoteUdpPort && signal.port != 0) std::abort();

  AddressQueryRecord reply;
  std::memcpy(reply.bytes.data(), data, size < reply.bytes.size() ? size : reply.bytes.size());
  if (ReadPhoneServerAddress(reply).size() > 63) std::abort();
  std::free(received);
  return 0;
}
