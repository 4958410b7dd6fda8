// Conversions between the terminal's UTF-8 and the library's wide text.
#pragma once

#include <string>
#include <string_view>

namespace tarvel_cli {

// Invalid input becomes U+FFFD.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// Bytes in the link's 8-bit code page (a received listing) as UTF-8; the bytes
// unchanged when the code page is unknown to the converter.
std::string CodePageToUtf8(std::string_view bytes, const std::string& codepage);

}  // namespace tarvel_cli
