// The browser's session description as the exchange reads it, and the answer it gives: one audio stream,
// PCMA only, ICE-lite with one host candidate, DTLS-SRTP with the exchange as the DTLS server, RTCP on the
// RTP port.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace exchange {

struct SdpOffer {
  std::string ice_ufrag;
  std::string ice_pwd;
  std::string fingerprint;  // "sha-256 AB:CD:..." as offered (the hash name in lower case)
  std::string mid;          // the audio stream's, empty when the offer names none
  int pcma_payload = -1;    // the payload type the browser gave PCMA/8000
};

// Reads the first audio stream of `text`. nullopt with *error set when the offer cannot be answered: no
// audio, no PCMA, no ICE credentials or no SHA-256 fingerprint, or an offer over 64 KiB.
std::optional<SdpOffer> ReadSdpOffer(std::string_view text, std::string* error);

struct SdpAnswerParts {
  std::string address;    // the host candidate's IPv4 address (the public address behind NAT)
  int port = 0;           // the media port
  std::string ice_ufrag;  // the exchange's, for this call
  std::string ice_pwd;
  std::string fingerprint;  // the exchange's certificate, "AB:CD:..." (SHA-256)
  uint64_t session_id = 0;
};

std::string BuildSdpAnswer(const SdpOffer& offer, const SdpAnswerParts& parts);

}  // namespace exchange
