// SPDX-License-Identifier: MIT
// Opening beneath the device root: openat2 with RESOLVE_BENEATH, or a walk
// that refuses symbolic links on kernels without it.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/open_beneath.h"

namespace tarvel {
namespace {

// The kernel answers EAGAIN when a concurrent rename may have let ".." resolve
// unsafely; a few retries settle it.
constexpr int kOpenat2Attempts = 8;

int Openat2Beneath(int rootFd, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char* relative = path.empty() ? "." : path.c_str();
  int fd = -1;
  for (int attempt = 0; attempt < kOpenat2Attempts; ++attempt) {
    fd = static_cast<int>(syscall(SYS_openat2, rootFd, relative, &how, sizeof how));
    if (fd >= 0 || errno != EAGAIN) break;
  }
  return fd;
}

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (!component.empty() && component != ".") components.push_back(component);
    start = end + 1;
  }
  return components;
}

bool IsSymlinkAt(int dirFd, const std::string& name) {
  struct stat info;
  return fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

UniqueFd OpenBeneathByWalking(int rootFd, const std::string& path, int flags) {
  std::vector<std::string> components = SplitComponents(path);
  if (components.empty()) return UniqueFd(openat(rootFd, ".", flags | O_CLOEXEC));
  if (!path.empty() && path.back() == '/') flags |= O_DIRECTORY;
  UniqueFd current;
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& name = components[i];
    if (name == "..") {
      errno = EXDEV;
      return UniqueFd();
    }
    int base = current.valid() ? current.get() : rootFd;
    bool last = i + 1 == components.size();
    int stepFlags = last ? flags : O_PATH | O_DIRECTORY;
    UniqueFd next(openat(base, name.c_str(), stepFlags | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      // O_NOFOLLOW reports a link as ELOOP or, for a folder, ENOTDIR; name it.
      if (IsSymlinkAt(base, name)) errno = ELOOP;
      return UniqueFd();
    }
    current = std::move(next);
  }
  return current;
}

UniqueFd OpenLocation(const std::string& root, const std::string& path, int flags,
                      std::string* error) {
  UniqueFd fd;
  if (root.empty()) {
    fd = UniqueFd(open(path.c_str(), flags | O_CLOEXEC));
  } else {
    UniqueFd rootFd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) {
      int saved = errno;
      if (error != nullptr) *error = "device root unavailable: " + DescribeOpenError(saved);
      errno = saved;
      return fd;
    }
    fd = UniqueFd(Openat2Beneath(rootFd.get(), path, flags));
    if (!fd.valid() && errno == ENOSYS) fd = OpenBeneathByWalking(rootFd.get(), path, flags);
  }
  if (!fd.valid()) {
    int saved = errno;
    if (error != nullptr) *error = DescribeOpenError(saved);
    errno = saved;
  }
  return fd;
}

LocationParts SplitLastComponent(const FileLocation& location) {
  const std::string& path = location.path;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {location.root.empty() ? "." : "", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string DescribeOpenError(int error) {
  switch (error) {
    case EXDEV:
      return "path leaves the device root";
    case ELOOP:
      return "path goes through a refused symbolic link";
    default:
      return std::generic_category().message(error);
  }
}

}  // namespace tarvel
