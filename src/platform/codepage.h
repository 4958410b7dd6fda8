// Conversions between the host's wide text (UTF-16) and the link's 8-bit text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace tarvel {

// The 8-bit code page of the link: TARVEL_CODEPAGE, or Windows-1252 by default.
std::string LinkCodePage(const Environment& env);

// Wide to 8-bit. A character the code page cannot hold becomes '?'.
// Nothing when the code page is unknown.
std::optional<std::string> WideToCodePage(std::u16string_view text, const std::string& codepage);

// 8-bit to wide; every byte maps to a character. Nothing when the code page is unknown.
std::optional<std::u16string> CodePageToWide(std::string_view text, const std::string& codepage);

// Native file names are UTF-8. Unpaired surrogates and invalid bytes become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace tarvel
