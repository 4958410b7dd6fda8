// SPDX-License-Identifier: MIT
// Opening files of a FileLocation without leaving the device root, shared by
// the file and directory-search backends.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/device_files.h"

namespace tarvel {

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  void Reset();

 private:
  int fd_ = -1;
};

// Opens `path` of a location: beneath `root` for a device path (also through
// symbolic links, which may not lead out of it), or as given for a native one
// (empty root). `flags` must not hold O_CREAT. On failure the descriptor is
// invalid, errno tells why and `error` says it in words.
UniqueFd OpenLocation(const std::string& root, const std::string& path, int flags,
                      std::string* error);

// The fallback OpenLocation uses for a device path when the kernel lacks
// openat2: walks the components one by one and refuses any symbolic link.
UniqueFd OpenBeneathByWalking(int rootFd, const std::string& path, int flags);

// The folder part and the last component of a location's path, the folder in
// the form OpenLocation takes. A path ending in '/' has an empty last component.
struct LocationParts {
  std::string folder;
  std::string last;
};
LocationParts SplitLastComponent(const FileLocation& location);

// A short reason for an errno value met while opening a location.
std::string DescribeOpenError(int error);

}  // namespace tarvel
