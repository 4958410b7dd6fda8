// SPDX-License-Identifier: MIT
// The platform's converter for the code pages that are not built in.
// One implementation per platform, chosen by the build (codepage_iconv_posix.cc on POSIX).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// Same contracts as WideToCodePage and CodePageToWide in codepage.h.
std::optional<std::string> PlatformWideToCodePage(std::u16string_view text,
                                                  const std::string& codepage);
std::optional<std::u16string> PlatformCodePageToWide(std::string_view text,
                                                     const std::string& codepage);

}  // namespace tarvel
