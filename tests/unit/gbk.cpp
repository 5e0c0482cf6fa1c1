#include "gbk.h"

#include <iconv.h>

namespace pelvarine::testing {

std::string Utf8(std::string_view gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(gbk);
  std::string out(gbk.size() * 3 + 4, '\0');
  char* in = const_cast<char*>(gbk.data());
  size_t in_left = gbk.size();
  char* dst = out.data();
  size_t out_left = out.size();
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<size_t>(-1)) {
      // Not GBK: show the byte and go on.
      *dst++ = '?';
      --out_left;
      ++in;
      --in_left;
    }
  }
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

std::vector<std::string> Utf8Lines(std::string_view gbk) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < gbk.size()) {
    size_t end = gbk.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(Utf8(gbk.substr(start)));
      break;
    }
    lines.push_back(Utf8(gbk.substr(start, end - start)));
    start = end + 2;
  }
  return lines;
}

}  // namespace pelvarine::testing
