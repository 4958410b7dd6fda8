// SPDX-License-Identifier: MIT
// Directory search beneath the device root, with last-write times in local time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <system_error>

#include "platform/directory_search.h"
#include "platform/open_beneath.h"

namespace tarvel {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Sub-second parts are cut, as the listing shows whole seconds.
CalendarTime LocalCalendarTime(time_t seconds) {
  CalendarTime calendar;
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return calendar;
  calendar.year = local.tm_year + 1900;
  calendar.month = local.tm_mon + 1;
  calendar.day = local.tm_mday;
  calendar.hour = local.tm_hour;
  calendar.minute = local.tm_min;
  calendar.second = local.tm_sec;
  return calendar;
}

static_assert(sizeof(ino_t) == 8 && sizeof(off_t) == 8,
              "a folder's entries carry 64-bit inode numbers and offsets: "
              "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "last-write times past 2038: build with _TIME_BITS=64");

// Nothing (with `error` set) when the folder cannot be read to its end: a
// listing cut short must not pass for a folder that holds fewer entries.
std::optional<std::vector<DirectoryEntry>> ReadMatches(DIR* dir, std::string_view wildcard,
                                                       std::string* error) {
  std::vector<DirectoryEntry> entries;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::string_view name = entry->d_name;
    if (name == "." || name == ".." || !MatchesWildcard(wildcard, name)) continue;
    // The entry's own time: a symbolic link is not followed, so nothing about
    // what lies outside the root leaks into the listing.
    struct stat info;
    if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back({std::string(name), LocalCalendarTime(info.st_mtim.tv_sec)});
  }
  if (errno != 0) {
    if (error != nullptr) {
      *error = "cannot read the folder: " + std::generic_category().message(errno);
    }
    return std::nullopt;
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

std::optional<std::vector<DirectoryEntry>> SearchDirectory(const FileLocation& pattern,
                                                           std::string* error) {
  tzset();  // follow a change of time zone since the last search
  auto [folder, wildcard] = SplitLastComponent(pattern);
  if (wildcard.empty()) return std::vector<DirectoryEntry>();  // names a folder, not entries
  std::string why;
  UniqueFd fd = OpenLocation(pattern.root, folder, O_RDONLY | O_DIRECTORY, &why);
  if (!fd.valid()) {
    // A folder that is not there holds no entries; anything else is an error.
    if (errno == ENOENT || errno == ENOTDIR) return std::vector<DirectoryEntry>();
    if (error != nullptr) *error = why;
    return std::nullopt;
  }
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd.get()));
  if (!dir) {
    if (error != nullptr) *error = DescribeOpenError(errno);
    return std::nullopt;
  }
  fd.Release();  // now owned by the DIR stream
  return ReadMatches(dir.get(), wildcard, error);
}

}  // namespace tarvel
