// SPDX-License-Identifier: MIT
// The listing a peer asks for, written into the device's listing file.
#pragma once

#include <string>
#include <string_view>

#include "link/link_state.h"

namespace tarvel {

// The listing file's device path.
inline constexpr std::string_view kListingFilePath = "\\Tarvel.txt";

// Lists the entries matching `pattern` (wide, a device path with wildcards)
// into the listing file, replacing it whole. An empty pattern matches nothing.
// False, saying why, when the pattern is refused or the file cannot be written;
// the listing file is then left as it was.
bool WriteListing(LinkState& state, std::u16string_view pattern, std::string* why);

}  // namespace tarvel
