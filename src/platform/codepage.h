// SPDX-License-Identifier: MIT
// Conversions between the host's wide text (UTF-16) and the link's 8-bit text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace tarvel {

// The 8-bit code page of the link: TARVEL_CODEPAGE, or Windows-1252 by default.
std::string LinkCodePage(const Environment& env);

// What becomes of a character that the code page cannot hold.
enum class Unheld {
  Replace,  // it becomes '?', as in a text shown to a person
  Refuse    // the whole conversion fails, as for a name that must arrive as given
};

// Wide to 8-bit. Nothing when the code page is unknown, and, when `unheld` is
// Refuse, when the result would not read back as `text` exactly (a character
// the code page cannot hold, an unpaired surrogate).
std::optional<std::string> WideToCodePage(std::u16string_view text, const std::string& codepage,
                                          Unheld unheld = Unheld::Replace);

// 8-bit to wide; every byte maps to a character. Nothing when the code page is unknown.
std::optional<std::u16string> CodePageToWide(std::string_view text, const std::string& codepage);

// Native file names are UTF-8. Unpaired surrogates and invalid bytes become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace tarvel
