// SPDX-License-Identifier: MIT
// Windows-1252 is built in because it is the link's default and must behave the
// same on every host; other code pages go to the platform's converter.
#include "platform/codepage.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/codepage_backend.h"

namespace tarvel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char kUnmappable = '?';

// Characters of bytes 0x80-0x9F. The five bytes Windows leaves undefined stand
// for the C1 control of the same number, so that every byte survives a round trip.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  std::string_view other(b);
  return a.size() == other.size() &&
         std::equal(a.begin(), a.end(), other.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool IsWindows1252(const std::string& codepage) {
  return EqualsIgnoringCase(codepage, "WINDOWS-1252") || EqualsIgnoringCase(codepage, "CP1252");
}

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
bool IsSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

// The character starting at text[*at], advancing *at past it. A surrogate pair
// is one character; an unpaired surrogate yields kReplacement.
char32_t NextCodePoint(std::u16string_view text, size_t* at) {
  char32_t unit = text[(*at)++];
  if (IsHighSurrogate(unit) && *at < text.size() && IsLowSurrogate(text[*at])) {
    char32_t low = text[(*at)++];
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  return IsSurrogate(unit) ? kReplacement : unit;
}

char Windows1252Byte(char32_t character) {
  if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) {
    return static_cast<char>(character);
  }
  auto found = std::find(kWindows1252High.begin(), kWindows1252High.end(), character);
  if (found == kWindows1252High.end()) return kUnmappable;
  return static_cast<char>(0x80 + (found - kWindows1252High.begin()));
}

std::string WideToWindows1252(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t at = 0; at < text.size();) result += Windows1252Byte(NextCodePoint(text, &at));
  return result;
}

std::u16string Windows1252ToWide(std::string_view text) {
  std::u16string result;
  result.reserve(text.size());
  for (char byte : text) {
    auto value = static_cast<unsigned char>(byte);
    result += (value >= 0x80 && value < 0xA0) ? kWindows1252High[value - 0x80]
                                              : static_cast<char16_t>(value);
  }
  return result;
}

void AppendUtf8(char32_t character, std::string* out) {
  if (character < 0x80) {
    *out += static_cast<char>(character);
  } else if (character < 0x800) {
    *out += static_cast<char>(0xC0 | (character >> 6));
    *out += static_cast<char>(0x80 | (character & 0x3F));
  } else if (character < 0x10000) {
    *out += static_cast<char>(0xE0 | (character >> 12));
    *out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (character & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (character >> 18));
    *out += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (character & 0x3F));
  }
}

void AppendUtf16(char32_t character, std::u16string* out) {
  if (character < 0x10000) {
    *out += static_cast<char16_t>(character);
  } else {
    character -= 0x10000;
    *out += static_cast<char16_t>(0xD800 + (character >> 10));
    *out += static_cast<char16_t>(0xDC00 + (character & 0x3FF));
  }
}

// What a UTF-8 lead byte promises: the number of continuation bytes and the
// range allowed for the first of them, which rules out overlong forms,
// surrogates and values past U+10FFFF.
struct Utf8Lead {
  int continuations;
  unsigned char low, high;
  char32_t bits;
};

std::optional<Utf8Lead> ReadUtf8Lead(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return Utf8Lead{1, 0x80, 0xBF, byte & 0x1Fu};
  if (byte == 0xE0) return Utf8Lead{2, 0xA0, 0xBF, 0};
  if (byte == 0xED) return Utf8Lead{2, 0x80, 0x9F, 0xD};
  if (byte >= 0xE1 && byte <= 0xEF) return Utf8Lead{2, 0x80, 0xBF, byte & 0x0Fu};
  if (byte == 0xF0) return Utf8Lead{3, 0x90, 0xBF, 0};
  if (byte >= 0xF1 && byte <= 0xF3) return Utf8Lead{3, 0x80, 0xBF, byte & 0x07u};
  if (byte == 0xF4) return Utf8Lead{3, 0x80, 0x8F, 4};
  return std::nullopt;
}

// Decodes the sequence at text[*at] and advances past it. An ill-formed
// sequence yields one kReplacement for its longest valid beginning.
char32_t NextUtf8(std::string_view text, size_t* at) {
  auto lead_byte = static_cast<unsigned char>(text[(*at)++]);
  if (lead_byte < 0x80) return lead_byte;
  std::optional<Utf8Lead> lead = ReadUtf8Lead(lead_byte);
  if (!lead) return kReplacement;
  char32_t character = lead->bits;
  for (int i = 0; i < lead->continuations; ++i) {
    unsigned char low = i == 0 ? lead->low : 0x80;
    unsigned char high = i == 0 ? lead->high : 0xBF;
    if (*at >= text.size()) return kReplacement;
    auto byte = static_cast<unsigned char>(text[*at]);
    if (byte < low || byte > high) return kReplacement;
    character = (character << 6) | (byte & 0x3F);
    ++*at;
  }
  return character;
}

}  // namespace

std::string LinkCodePage(const Environment& env) {
  std::optional<std::string> chosen = env("TARVEL_CODEPAGE");
  if (chosen && !chosen->empty()) return *chosen;
  return "WINDOWS-1252";
}

std::optional<std::string> WideToCodePage(std::u16string_view text, const std::string& codepage,
                                          Unheld unheld) {
  std::optional<std::string> converted =
      IsWindows1252(codepage) ? WideToWindows1252(text) : PlatformWideToCodePage(text, codepage);
  // Whatever the converter replaced, or mapped onto a character that looks
  // alike, no longer reads back as it was: the peer would see another name.
  if (converted && unheld == Unheld::Refuse &&
      CodePageToWide(*converted, codepage) != std::u16string(text)) {
    return std::nullopt;
  }
  return converted;
}

std::optional<std::u16string> CodePageToWide(std::string_view text, const std::string& codepage) {
  if (IsWindows1252(codepage)) return Windows1252ToWide(text);
  return PlatformCodePageToWide(text, codepage);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t at = 0; at < text.size();) AppendUtf8(NextCodePoint(text, &at), &result);
  return result;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string result;
  result.reserve(text.size());
  for (size_t at = 0; at < text.size();) AppendUtf16(NextUtf8(text, &at), &result);
  return result;
}

}  // namespace tarvel
