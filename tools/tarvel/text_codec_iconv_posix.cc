// SPDX-License-Identifier: MIT
// The link's code page to UTF-8 through iconv.
#include <iconv.h>

#include <cerrno>

#include "text_codec.h"

namespace tarvel_cli {

bool KnownCodePage(const std::string& codepage) {
  // An empty name would have iconv take the locale's code page.
  if (codepage.empty()) return false;
  for (bool toUnicode : {true, false}) {
    iconv_t converter =
        toUnicode ? iconv_open("UTF-8", codepage.c_str()) : iconv_open(codepage.c_str(), "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(converter);
  }
  return true;
}

std::string CodePageToUtf8(std::string_view bytes, const std::string& codepage) {
  iconv_t converter = iconv_open("UTF-8", codepage.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* outAt = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(converter, &in, &inLeft, &outAt, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break;
    // A byte the code page leaves undefined: show it as U+FFFD and go on.
    static constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";
    if (outLeft < 3) break;
    for (char c : std::string_view(kReplacementUtf8)) *outAt++ = c;
    outLeft -= 3;
    ++in;
    --inLeft;
  }
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace tarvel_cli
