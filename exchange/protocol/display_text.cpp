#include "exchange/protocol/display_text.h"

#include <iconv.h>

#include <cstdio>
#include <ctime>

namespace exchange {

namespace {

void AppendEscaped(std::string* out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out->append("\\x");
  out->push_back(kHex[c >> 4]);
  out->push_back(kHex[c & 0x0F]);
}

// Owns one iconv descriptor for the duration of a GbkToDisplay call.
class GbkConverter {
 public:
  GbkConverter() = default;
  ~GbkConverter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  GbkConverter(const GbkConverter&) = delete;
  GbkConverter& operator=(const GbkConverter&) = delete;

  // Converts one two-byte GBK character; false if the pair is not a valid character.
  bool Convert(const char pair[2], std::string* out) {
    if (!opened_) {
      opened_ = true;
      cd_ = iconv_open("UTF-8", "GBK");
    }
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    char in_buf[2] = {pair[0], pair[1]};
    char out_buf[8];
    char* in_ptr = in_buf;
    char* out_ptr = out_buf;
    size_t in_left = 2;
    size_t out_left = sizeof(out_buf);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1) || in_left != 0) {
      return false;
    }
    out->append(out_buf, out_ptr - out_buf);
    return true;
  }

 private:
  bool opened_ = false;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

}  // namespace

std::string GbkToDisplay(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  GbkConverter converter;
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out.append("\\\\");
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (c >= 0x81 && c <= 0xFE && i + 1 < bytes.size()) {
      unsigned char t = static_cast<unsigned char>(bytes[i + 1]);
      bool trail_ok = t >= 0x40 && t <= 0xFE && t != 0x7F;
      if (trail_ok && converter.Convert(bytes.data() + i, &out)) {
        ++i;
      } else {
        AppendEscaped(&out, c);
      }
    } else {
      AppendEscaped(&out, c);
    }
  }
  return out;
}

std::string FormatWallClock(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm_local{};
  localtime_r(&secs, &tm_local);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm_local.tm_year + 1900,
                tm_local.tm_mon + 1, tm_local.tm_mday, tm_local.tm_hour, tm_local.tm_min, tm_local.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::string TrimSpaces(std::string_view text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return std::string();
  size_t end = text.find_last_not_of(' ');
  return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace exchange
