#include "listing.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common_options.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// The lines of `text`, each without its "\r\n" (or lone "\n").
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    if (length > 0 && text[end - 1] == '\r') --length;
    lines.push_back(text.substr(start, length));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::vector<ListingEntry> ReadListing(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines = Lines(CodePageToUtf8(bytes, LinkCodePage()));
  std::vector<ListingEntry> entries;
  // Name, date, empty line; an empty line where a name belongs is skipped.
  for (size_t at = 0; at < lines.size();) {
    if (lines[at].empty()) {
      ++at;
      continue;
    }
    ListingEntry entry{lines[at], at + 1 < lines.size() ? lines[at + 1] : std::string()};
    entries.push_back(std::move(entry));
    at += 2;
  }
  return entries;
}

std::optional<std::time_t> ListedTime(const std::string& time) {
  std::tm fields{};
  char end = 0;
  int matched =
      std::sscanf(time.c_str(), "%4d %2d %2d-%2d:%2d:%2d%c", &fields.tm_year, &fields.tm_mon,
                  &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &end);
  if (matched != 6) return std::nullopt;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;
  std::time_t when = std::mktime(&fields);
  if (when == static_cast<std::time_t>(-1)) return std::nullopt;
  return when;
}

}  // namespace tarvel_cli
