// SPDX-License-Identifier: MIT
// Conversions between wide text and the link's 8-bit text, and UTF-8 for
// native names, over arbitrary bytes and arbitrary (also ill-formed) UTF-16.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/codepage.h"

namespace {

bool IsSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

// Every surrogate is part of a high-low pair.
bool IsWellFormed(std::u16string_view text) {
  for (size_t at = 0; at < text.size(); ++at) {
    if (!IsSurrogate(text[at])) continue;
    if (text[at] > 0xDBFF || at + 1 == text.size()) return false;
    if (text[at + 1] < 0xDC00 || text[at + 1] > 0xDFFF) return false;
    ++at;
  }
  return true;
}

void CheckBytes(std::string_view bytes) {
  // Every byte of Windows-1252 maps to one character and back.
  std::optional<std::u16string> wide = tarvel::CodePageToWide(bytes, "WINDOWS-1252");
  FUZZ_CHECK(wide && wide->size() == bytes.size());
  std::optional<std::string> back = tarvel::WideToCodePage(*wide, "WINDOWS-1252");
  FUZZ_CHECK(back && *back == bytes);

  // Arbitrary bytes read as UTF-8 give well-formed UTF-16, stable from then on.
  std::u16string fromUtf8 = tarvel::Utf8ToUtf16(bytes);
  FUZZ_CHECK(IsWellFormed(fromUtf8));
  std::string utf8 = tarvel::Utf16ToUtf8(fromUtf8);
  FUZZ_CHECK(tarvel::Utf8ToUtf16(utf8) == fromUtf8);

  // The platform converter takes the same bytes without harm.
  std::optional<std::u16string> latin = tarvel::CodePageToWide(bytes, "ISO-8859-15");
  if (latin) FUZZ_CHECK(latin->size() == bytes.size());
}

void CheckWide(std::u16string_view wide) {
  // Lone surrogates and characters outside the code page become '?'; one
  // byte per character, a pair counting as one.
  std::optional<std::string> narrow = tarvel::WideToCodePage(wide, "WINDOWS-1252");
  FUZZ_CHECK(narrow && narrow->size() <= wide.size());
  std::optional<std::string> platform = tarvel::WideToCodePage(wide, "ISO-8859-15");
  if (platform) FUZZ_CHECK(platform->size() <= wide.size());

  // UTF-16 to UTF-8 and back keeps well-formed text exactly.
  std::u16string again = tarvel::Utf8ToUtf16(tarvel::Utf16ToUtf8(wide));
  FUZZ_CHECK(IsWellFormed(again));
  if (IsWellFormed(wide)) FUZZ_CHECK(again == wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  std::u16string wide(size / 2, u'\0');
  std::memcpy(wide.data(), data, wide.size() * 2);
  CheckWide(wide);
  return 0;
}
