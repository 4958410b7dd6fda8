// SPDX-License-Identifier: MIT
// Code pages other than the built-in Windows-1252, through Windows' own
// converter. "ACP" names the system's ANSI code page (CP_ACP); other names are
// a code page number ("CP1251", "IBM437", "WINDOWS-1250", "65001") or one of
// the usual names of the table below.
#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "platform/codepage_backend.h"

namespace tarvel {
namespace {

struct NamedCodePage {
  const char* name;
  UINT id;
};

constexpr NamedCodePage kNamedCodePages[] = {
    {"ACP", CP_ACP},       {"CP_ACP", CP_ACP},    {"UTF-8", CP_UTF8},    {"UTF8", CP_UTF8},
    {"US-ASCII", 20127},   {"ASCII", 20127},      {"ISO-8859-1", 28591}, {"ISO-8859-2", 28592},
    {"ISO-8859-5", 28595}, {"ISO-8859-7", 28597}, {"ISO-8859-9", 28599}, {"ISO-8859-15", 28605},
    {"KOI8-R", 20866},     {"KOI8-U", 21866},     {"SHIFT_JIS", 932},    {"GBK", 936},
    {"BIG5", 950},         {"EUC-KR", 51949},     {"GB18030", 54936},
};

std::string UpperAscii(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// "1251" after an optional "CP", "IBM", "WINDOWS-" or "MS".
std::optional<UINT> NumberedCodePage(const std::string& upper) {
  for (const char* prefix : {"WINDOWS-", "CP", "IBM", "MS", ""}) {
    std::string p(prefix);
    if (upper.rfind(p, 0) != 0 || upper.size() == p.size() || upper.size() - p.size() > 5) continue;
    std::string digits = upper.substr(p.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    return static_cast<UINT>(std::strtoul(digits.c_str(), nullptr, 10));
  }
  return std::nullopt;
}

std::optional<UINT> CodePageId(const std::string& name) {
  std::string upper = UpperAscii(name);
  for (const NamedCodePage& named : kNamedCodePages) {
    if (upper == named.name) return named.id;
  }
  std::optional<UINT> id = NumberedCodePage(upper);
  if (!id || *id == CP_ACP || !IsValidCodePage(*id)) return std::nullopt;
  return id;
}

// Code pages that hold characters beyond U+FFFF.
bool HoldsEveryCharacter(UINT id) {
  return id == CP_UTF8 || id == 54936;
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Puts a '?' for each unpaired surrogate and, where the code page cannot hold
// them, for each pair: Windows would give a pair two replacements.
std::wstring Prepared(std::u16string_view text, bool keepPairs) {
  std::wstring prepared;
  prepared.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    char16_t unit = text[at];
    bool paired = IsHighSurrogate(unit) && at + 1 < text.size() && IsLowSurrogate(text[at + 1]);
    if (paired && keepPairs) {
      prepared += static_cast<wchar_t>(unit);
      prepared += static_cast<wchar_t>(text[++at]);
    } else if (paired || IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      prepared += L'?';
      at += paired ? 1 : 0;
    } else {
      prepared += static_cast<wchar_t>(unit);
    }
  }
  return prepared;
}

// No best fit: it would turn characters that look alike into plain ones, such
// as a fullwidth solidus into '/', which then separates folders in a file
// name. Code pages that refuse the flag get none.
int ToMultiByte(UINT id, const std::wstring& text, char* out, int size) {
  int length = static_cast<int>(text.size());
  int result = WideCharToMultiByte(id, WC_NO_BEST_FIT_CHARS, text.data(), length, out, size,
                                   nullptr, nullptr);
  if (result == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    result = WideCharToMultiByte(id, 0, text.data(), length, out, size, nullptr, nullptr);
  }
  return result;
}

}  // namespace

std::optional<std::string> PlatformWideToCodePage(std::u16string_view text,
                                                  const std::string& codepage) {
  std::optional<UINT> id = CodePageId(codepage);
  if (!id) return std::nullopt;
  if (text.empty()) return std::string();
  std::wstring prepared = Prepared(text, HoldsEveryCharacter(*id));
  int size = ToMultiByte(*id, prepared, nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::string result(static_cast<size_t>(size), '\0');
  result.resize(static_cast<size_t>(ToMultiByte(*id, prepared, result.data(), size)));
  return result;
}

std::optional<std::u16string> PlatformCodePageToWide(std::string_view text,
                                                     const std::string& codepage) {
  std::optional<UINT> id = CodePageId(codepage);
  if (!id) return std::nullopt;
  if (text.empty()) return std::u16string();
  int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(*id, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(size), L'\0');
  wide.resize(
      static_cast<size_t>(MultiByteToWideChar(*id, 0, text.data(), length, wide.data(), size)));
  return std::u16string(wide.begin(), wide.end());
}

}  // namespace tarvel
