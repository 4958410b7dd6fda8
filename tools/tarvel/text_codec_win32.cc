// SPDX-License-Identifier: MIT
// The link's code page to UTF-8 through Windows' own converter, by way of
// UTF-16. Code pages are named as the library names them: "WINDOWS-1252",
// "CP1251", "IBM437", "1250", "UTF-8" or "ACP".
#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "text_codec.h"

namespace tarvel_cli {
namespace {

// 0 when the name is not one Windows knows.
UINT CodePageNumber(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "ACP" || upper == "CP_ACP") return GetACP();
  if (upper == "UTF-8" || upper == "UTF8") return CP_UTF8;
  for (const char* prefix : {"WINDOWS-", "CP", "IBM", "MS", ""}) {
    std::string p(prefix);
    if (upper.rfind(p, 0) != 0 || upper.size() == p.size() || upper.size() - p.size() > 5) continue;
    std::string digits = upper.substr(p.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    auto number = static_cast<UINT>(std::strtoul(digits.c_str(), nullptr, 10));
    return number != 0 && IsValidCodePage(number) ? number : 0;
  }
  return 0;
}

}  // namespace

bool KnownCodePage(const std::string& codepage) {
  return CodePageNumber(codepage) != 0;
}

std::string CodePageToUtf8(std::string_view bytes, const std::string& codepage) {
  UINT number = CodePageNumber(codepage);
  if (number == 0 || bytes.empty()) return std::string(bytes);
  int size = static_cast<int>(bytes.size());
  int length = MultiByteToWideChar(number, 0, bytes.data(), size, nullptr, 0);
  if (length <= 0) return std::string(bytes);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(number, 0, bytes.data(), size, wide.data(), length);
  // Bytes the code page leaves undefined arrive as U+FFFD, as with iconv.
  return WideToUtf8(WideStringView(wide.data(), wide.size()));
}

}  // namespace tarvel_cli
