// SPDX-License-Identifier: MIT
// Lists the entries of a directory that match a wildcard pattern.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_files.h"

namespace tarvel {

// Calendar fields of a time in local time; month 1-12, hour 0-23.
struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct DirectoryEntry {
  std::string name;  // UTF-8
  CalendarTime lastWrite;
};

// Entries (files and folders, without "." and "..") of the pattern's directory
// whose names match its last component, in name order. A pattern ending in a
// separator, or naming a folder that does not exist, matches nothing. Nothing
// (with `error` set) when the pattern's directory cannot be reached safely.
std::optional<std::vector<DirectoryEntry>> SearchDirectory(const FileLocation& pattern,
                                                           std::string* error);

// Windows-style wildcard match, case-insensitive: '*' any run, '?' one character
// (or none at the end of the name or just before its dot); "*" and "*.*" match
// every name, "*." only names without a dot.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

}  // namespace tarvel
