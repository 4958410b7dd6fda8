// SPDX-License-Identifier: MIT
// The listing a peer writes into its \Tarvel.txt for a list request: per
// entry a name line, a date line and an empty line, each ended by "\r\n", in
// the link's code page.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tarvel_cli {

// Where the peer writes the listing it was asked for.
inline constexpr char kListingFile[] = "\\Tarvel.txt";

struct ListingEntry {
  std::string name;  // UTF-8, as the peer listed it
  std::string time;  // "2026 12 10-11:02:25": the last write, in the peer's local time
};

// The entries of the listing file at `path` (UTF-8 path), read as the link's
// code page. An entry's lines are taken as they come: a missing date line
// leaves the time empty.
std::vector<ListingEntry> ReadListing(const std::string& path);

// The listed time as a calendar time taken as this host's local time, or
// nothing when it is not of the listing's form.
std::optional<std::time_t> ListedTime(const std::string& time);

}  // namespace tarvel_cli
