// SPDX-License-Identifier: MIT
// Directory search beneath the device root with FindFirstFileW, last-write
// times in local time.
#include <windows.h>

#include <algorithm>

#include "platform/directory_search.h"
#include "platform/win32_folders.h"

namespace tarvel {
namespace {

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (valid()) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The local time zone's rules for that date, daylight saving included, so that
// a winter file listed in summer shows the hour Linux shows; milliseconds cut.
CalendarTime LocalCalendarTime(const FILETIME& stamp) {
  CalendarTime calendar;
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&stamp, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return calendar;
  }
  calendar.year = local.wYear;
  calendar.month = local.wMonth;
  calendar.day = local.wDay;
  calendar.hour = local.wHour;
  calendar.minute = local.wMinute;
  calendar.second = local.wSecond;
  return calendar;
}

bool NothingThere(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_NO_MORE_FILES || error == ERROR_DIRECTORY;
}

}  // namespace

// Every entry is asked for ("*") and matched here rather than by Windows, which
// would also match the short 8.3 names: both builds then list alike.
std::optional<std::vector<DirectoryEntry>> SearchDirectory(const FileLocation& pattern,
                                                           std::string* error) {
  FolderAndName parts = SplitFolderAndName(pattern);
  if (parts.name.empty()) return std::vector<DirectoryEntry>();  // names a folder, not entries
  HeldFolder::Failure failure;
  std::string why;
  std::optional<HeldFolder> folder = HeldFolder::Open(pattern.root, parts.folder, &failure, &why);
  if (!folder) {
    // A folder that is not there holds no entries; anything else is an error.
    if (failure == HeldFolder::Failure::NotFound || failure == HeldFolder::Failure::NotAFolder) {
      return std::vector<DirectoryEntry>();
    }
    if (error != nullptr) *error = why;
    return std::nullopt;
  }
  WIN32_FIND_DATAW found;
  FindHandle search(FindFirstFileW(folder->PathOf("*").c_str(), &found));
  std::vector<DirectoryEntry> entries;
  if (!search.valid()) {
    DWORD failed = GetLastError();
    if (NothingThere(failed)) return entries;
    if (error != nullptr) *error = DescribeWin32Error(failed);
    return std::nullopt;
  }
  do {
    std::string name = FromWide(found.cFileName);
    if (name == "." || name == ".." || !MatchesWildcard(parts.name, name)) continue;
    entries.push_back({name, LocalCalendarTime(found.ftLastWriteTime)});
  } while (FindNextFileW(search.get(), &found));
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace tarvel
