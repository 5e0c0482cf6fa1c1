#include "exchange/web/sdp.h"

#include <cctype>
#include <cstdlib>

namespace exchange {

namespace {

constexpr size_t kMaxOfferBytes = 64 * 1024;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "a=rtpmap:8 PCMA/8000" → 8 when the encoding is PCMA/8000 (or PCMA/8000/1).
int PcmaPayload(std::string_view value) {
  size_t space = value.find(' ');
  if (space == std::string_view::npos) return -1;
  std::string encoding = Lower(value.substr(space + 1));
  if (encoding != "pcma/8000" && encoding != "pcma/8000/1") return -1;
  std::string number(value.substr(0, space));
  if (number.empty() || number.size() > 3) return -1;
  for (char c : number)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  int pt = std::atoi(number.c_str());
  return pt <= 127 ? pt : -1;
}

}  // namespace

std::optional<SdpOffer> ReadSdpOffer(std::string_view text, std::string* error) {
  if (text.size() > kMaxOfferBytes) {
    *error = "offer too long";
    return std::nullopt;
  }
  SdpOffer offer;
  std::string session_ufrag, session_pwd, session_fingerprint;
  enum class Section { kSession, kAudio, kOther } section = Section::kSession;
  bool audio_seen = false;
  bool static_pcma = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (StartsWith(line, "m=")) {
      // Only the first audio stream is answered; every other is rejected in the answer.
      section = StartsWith(line, "m=audio ") && !audio_seen ? Section::kAudio : Section::kOther;
      if (section == Section::kAudio) {
        audio_seen = true;
        // Payload type 8 is PCMA by definition, with or without an rtpmap line.
        std::string_view formats = line;
        for (int skip = 0; skip < 3 && !formats.empty(); ++skip) {
          size_t space = formats.find(' ');
          formats = space == std::string_view::npos ? std::string_view() : formats.substr(space + 1);
        }
        while (!formats.empty()) {
          size_t space = formats.find(' ');
          if (formats.substr(0, space) == "8") static_pcma = true;
          formats = space == std::string_view::npos ? std::string_view() : formats.substr(space + 1);
        }
      }
      continue;
    }
    if (section == Section::kOther || !StartsWith(line, "a=")) continue;
    std::string_view attr = line.substr(2);
    bool audio = section == Section::kAudio;
    if (StartsWith(attr, "ice-ufrag:")) {
      (audio ? offer.ice_ufrag : session_ufrag) = std::string(attr.substr(10));
    } else if (StartsWith(attr, "ice-pwd:")) {
      (audio ? offer.ice_pwd : session_pwd) = std::string(attr.substr(8));
    } else if (StartsWith(Lower(attr.substr(0, 20)), "fingerprint:sha-256 ")) {
      (audio ? offer.fingerprint : session_fingerprint) = "sha-256 " + std::string(attr.substr(20));
    } else if (audio && StartsWith(attr, "mid:")) {
      offer.mid = std::string(attr.substr(4));
    } else if (audio && StartsWith(attr, "rtpmap:") && offer.pcma_payload < 0) {
      offer.pcma_payload = PcmaPayload(attr.substr(7));
    }
  }
  if (offer.ice_ufrag.empty()) offer.ice_ufrag = session_ufrag;
  if (offer.ice_pwd.empty()) offer.ice_pwd = session_pwd;
  if (offer.fingerprint.empty()) offer.fingerprint = session_fingerprint;
  if (offer.pcma_payload < 0 && static_pcma) offer.pcma_payload = 8;
  const char* problem = !audio_seen                 ? "no audio stream"
                        : offer.pcma_payload < 0    ? "no PCMA/8000 in the audio stream"
                        : offer.ice_ufrag.empty()   ? "no ice-ufrag"
                        : offer.ice_pwd.empty()     ? "no ice-pwd"
                        : offer.fingerprint.empty() ? "no sha-256 fingerprint"
                                                    : nullptr;
  if (problem != nullptr) {
    *error = problem;
    return std::nullopt;
  }
  return offer;
}

std::string BuildSdpAnswer(const SdpOffer& offer, const SdpAnswerParts& parts) {
  std::string pt = std::to_string(offer.pcma_payload);
  std::string port = std::to_string(parts.port);
  std::string s;
  s += "v=0\r\n";
  s += "o=- " + std::to_string(parts.session_id) + " 1 IN IP4 " + parts.address + "\r\n";
  s += "s=-\r\n";
  s += "t=0 0\r\n";
  s += "a=ice-lite\r\n";
  if (!offer.mid.empty()) s += "a=group:BUNDLE " + offer.mid + "\r\n";
  s += "m=audio " + port + " UDP/TLS/RTP/SAVPF " + pt + "\r\n";
  s += "c=IN IP4 " + parts.address + "\r\n";
  if (!offer.mid.empty()) s += "a=mid:" + offer.mid + "\r\n";
  s += "a=sendrecv\r\n";
  s += "a=rtcp-mux\r\n";
  s += "a=rtpmap:" + pt + " PCMA/8000\r\n";
  s += "a=ice-ufrag:" + parts.ice_ufrag + "\r\n";
  s += "a=ice-pwd:" + parts.ice_pwd + "\r\n";
  s += "a=fingerprint:sha-256 " + parts.fingerprint + "\r\n";
  s += "a=setup:passive\r\n";
  s += "a=candidate:1 1 udp 2130706431 " + parts.address + " " + port + " typ host\r\n";
  s += "a=end-of-candidates\r\n";
  return s;
}

}  // namespace exchange
