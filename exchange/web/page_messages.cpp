#include "exchange/web/page_messages.h"

extern "C" {
#include <re.h>
}

namespace exchange {

namespace {

constexpr uint32_t kHashSize = 4;
constexpr unsigned kMaxDepth = 2;

std::string OneField(const char* key, std::string_view value) {
  struct odict* od = nullptr;
  std::string out;
  if (odict_alloc(&od, kHashSize) == 0 &&
      odict_entry_add(od, key, ODICT_STRING, std::string(value).c_str()) == 0) {
    char* text = nullptr;
    if (re_sdprintf(&text, "%H", json_encode_odict, od) == 0 && text != nullptr) out = text;
    mem_deref(text);
  }
  mem_deref(od);
  return out;
}

}  // namespace

PageMessage ReadPageMessage(std::string_view json) {
  PageMessage message;
  struct odict* od = nullptr;
  if (json_decode_odict(&od, kHashSize, json.data(), json.size(), kMaxDepth) != 0) {
    message.text = "not a JSON object";
    return message;
  }
  const char* offer = odict_string(od, "offer");
  const char* dial = odict_string(od, "dial");
  if (odict_count(od, false) != 1 || (offer == nullptr && dial == nullptr)) {
    message.text = "neither {\"offer\"} nor {\"dial\"}";
  } else if (offer != nullptr) {
    message.type = PageMessage::Type::kOffer;
    message.text = offer;
  } else {
    message.type = PageMessage::Type::kDial;
    message.text = dial;
  }
  mem_deref(od);
  return message;
}

std::string TagMessage(std::string_view tag) {
  return OneField("tag", tag);
}

std::string AnswerMessage(std::string_view sdp) {
  return OneField("answer", sdp);
}

std::string ErrorMessage(std::string_view why) {
  return OneField("error", why);
}

}  // namespace exchange
