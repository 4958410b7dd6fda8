// SPDX-License-Identifier: MIT
// The listing a peer asks for, written into the device's listing file.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "link/pending_requests.h"
#include "platform/device_files.h"
#include "platform/environment.h"

namespace tarvel {

// The listing file's device path.
inline constexpr std::string_view kListingFilePath = "\\Tarvel.txt";

// Lists the entries matching `pattern` (wide, a device path with wildcards)
// into the listing file, replacing it whole. An empty pattern matches nothing.
// False, saying why, when the pattern is refused or the file cannot be written;
// the listing file is then left as it was. A link that keeps its listing apart
// keeps it in `requests` instead, and the file in the root stays as it was.
bool WriteListing(const Environment& env, PendingRequests& requests, std::u16string_view pattern,
                  std::string* why);

// The listing the link keeps apart, to be read as the file at `location` when
// that is the listing file: nothing when it is another file or the link keeps
// none (its peer's get then reads the file as any other).
std::unique_ptr<InputFile> OpenKeptListing(const Environment& env, const PendingRequests& requests,
                                           const FileLocation& location);

}  // namespace tarvel
