#include "text_codec.h"

namespace tarvel_cli {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[*at], advancing *at past it.
char32_t NextUtf8(std::string_view text, size_t* at) {
  auto lead = static_cast<unsigned char>(text[(*at)++]);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || lead > 0xF4) return kReplacement;
  char32_t value = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) {
    if (*at >= text.size()) return kReplacement;
    auto next = static_cast<unsigned char>(text[*at]);
    if ((next & 0xC0) != 0x80) return kReplacement;
    value = (value << 6) | (next & 0x3F);
    ++*at;
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  if (value < kSmallest[extra] || value > 0x10FFFF || surrogate) return kReplacement;
  return value;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

WideString Utf8ToWide(std::string_view text) {
  WideString wide;
  for (size_t at = 0; at < text.size();) {
    char32_t c = NextUtf8(text, &at);
    if (c < 0x10000) {
      wide += static_cast<tarvel_wchar>(c);
    } else {
      wide += static_cast<tarvel_wchar>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<tarvel_wchar>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return wide;
}

std::string WideToUtf8(WideStringView text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    char32_t unit = static_cast<char16_t>(text[at]);
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++at] - 0xDC00);
    } else if (high || low) {
      unit = kReplacement;
    }
    AppendUtf8(out, unit);
  }
  return out;
}

}  // namespace tarvel_cli
