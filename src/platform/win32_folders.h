// SPDX-License-Identifier: MIT
// Folders of a FileLocation on Windows, held open from the device root down,
// shared by the Win32 file and directory-search backends.
//
// Windows has no openat: names are resolved from whole paths. So every folder
// on the way is opened in turn, its final path (links followed) is checked to
// lie beneath the device root's, and its handle is kept without delete
// sharing: none of them can then be renamed or replaced by a link while the
// caller works with the paths inside. Links that stay beneath the root are
// allowed, as on Linux.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_files.h"
#include "platform/win32_support.h"

namespace tarvel {

// A location's path split before its last component ("" for a path that ends
// in a separator): the folder, then the name inside it.
struct FolderAndName {
  std::string folder;
  std::string name;
};
FolderAndName SplitFolderAndName(const FileLocation& location);

// Refuses, saying why, a name that Windows would take for something else: a
// device (CON, NUL, COM1, ...), a stream ("a:b"), a wildcard, or one whose
// trailing dots or spaces Windows drops.
bool IsPlainWindowsName(std::string_view name, std::string* why);

class HeldFolder {
 public:
  // Why an Open failed.
  enum class Failure { None, NotFound, NotAFolder, LeavesRoot, RootUnavailable, Refused, Other };

  // Opens `folder` ('/'-separated) beneath `root`, or, for an empty root, the
  // native folder as given ("" for the working directory).
  static std::optional<HeldFolder> Open(const std::string& root, const std::string& folder,
                                        Failure* failure, std::string* why);

  // The path of `name` inside this folder, for the W functions.
  std::wstring PathOf(std::string_view name) const;
  const std::wstring& path() const { return path_; }
  // True when an object opened inside this folder still lies beneath the device
  // root once links are followed; always true for a native folder.
  bool Holds(HANDLE handle) const;

 private:
  std::wstring root_;  // final path of the device root; empty for a native folder
  std::wstring path_;
  std::vector<UniqueHandle> held_;
};

}  // namespace tarvel
