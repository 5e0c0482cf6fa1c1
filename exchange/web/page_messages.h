// The messages the visitor's page and the exchange exchange on the WebSocket, one JSON object per text
// message. The page sends its offer, then its dial once the exchange's tags say it may; the exchange sends
// its answer and, one by one, the same tags the Windows client receives.
#pragma once

#include <string>
#include <string_view>

namespace exchange {

struct PageMessage {
  enum class Type { kOffer, kDial, kInvalid };
  Type type = Type::kInvalid;
  std::string text;  // kOffer: the SDP; kDial: the dial string; kInvalid: what is wrong
};

// Reads one message; anything but {"offer": "..."} or {"dial": "..."} is kInvalid.
PageMessage ReadPageMessage(std::string_view json);

// {"tag": "..."}, {"answer": "..."}, {"error": "..."}.
std::string TagMessage(std::string_view tag);
std::string AnswerMessage(std::string_view sdp);
std::string ErrorMessage(std::string_view why);

}  // namespace exchange
