// The web page's signalling as the exchange reads it: the page's JSON messages and, inside an offer, the
// browser's session description; an offer that is read is also answered.
#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange/web/page_messages.h"
#include "exchange/web/sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  exchange::PageMessage message = exchange::ReadPageMessage(input);
  std::string error;
  const std::string& sdp = message.type == exchange::PageMessage::Type::kOffer ? message.text : input;
  if (auto offer = exchange::ReadSdpOffer(sdp, &error)) {
    std::string answer = exchange::BuildSdpAnswer(*offer, {"192.0.2.1", 20400, "ufrag", "password", "AA", 1});
    if (answer.find("a=rtpmap:" + std::to_string(offer->pcma_payload) + " PCMA/8000") == std::string::npos)
      __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();  // a refused offer always says why
  }
  return 0;
}
