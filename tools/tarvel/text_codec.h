// SPDX-License-Identifier: MIT
// Conversions between the terminal's UTF-8 and the library's wide text.
#pragma once

#include <string>
#include <string_view>

#include "tarvel.h"

namespace tarvel_cli {

// The library's wide text: UTF-16 units, char16_t or (on Windows) wchar_t.
using WideString = std::basic_string<tarvel_wchar>;
using WideStringView = std::basic_string_view<tarvel_wchar>;

// Invalid input becomes U+FFFD.
WideString Utf8ToWide(std::string_view text);
std::string WideToUtf8(WideStringView text);

// Bytes in the link's 8-bit code page (a received listing) as UTF-8; the bytes
// unchanged when the code page is unknown to the converter.
std::string CodePageToUtf8(std::string_view bytes, const std::string& codepage);

// Whether the system converts between `codepage` and Unicode both ways, as the
// link needs: a name it does not know is refused before a port opens.
bool KnownCodePage(const std::string& codepage);

}  // namespace tarvel_cli
