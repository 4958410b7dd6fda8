// SPDX-License-Identifier: MIT
// Reading device files and receiving files atomically, on POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <system_error>
#include <thread>

#include "platform/device_files.h"
#include "platform/open_beneath.h"

namespace tarvel {
namespace {

// The temporary's name ".<name>.tarvel-XXXXXX" must itself fit in 255 bytes.
constexpr size_t kTemporaryNameRoom = 255 - 1 - 8 - 6;
constexpr int kTemporaryAttempts = 100;
// Under ClashPolicy::Rename, the numbered names tried before giving up.
constexpr int kNumberedNameAttempts = 10000;

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// The system's words for an errno value ("No space left on device").
std::string SystemReason(int error) {
  return std::generic_category().message(error);
}

// Files past 2 GiB are read, written and sized on 32-bit systems too.
static_assert(sizeof(off_t) == 8,
              "files past 2 GiB need 64-bit offsets: build with "
              "_FILE_OFFSET_BITS=64");

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(UniqueFd fd) : fd_(std::move(fd)) {}

  int64_t Size() const override {
    struct stat info;
    if (fstat(fd_.get(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
  }

  std::ptrdiff_t Read(void* buffer, size_t count) override {
    ssize_t got;
    do {
      got = read(fd_.get(), buffer, count);
    } while (got < 0 && errno == EINTR);
    return got;
  }

 private:
  UniqueFd fd_;
};

// Gives `from` the name `to` in the folder `parent` unless `to` exists: then
// fails with EEXIST and leaves both as they were.
int RenameNoReplace(int parent, const char* from, const char* to) {
  if (renameat2(parent, from, parent, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without a no-replace rename: a hard link is never made over
  // an existing name either.
  if (linkat(parent, from, parent, to, 0) != 0) return -1;
  unlinkat(parent, from, 0);
  return 0;
}

class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(UniqueFd parent, std::string temporary, std::string name, UniqueFd fd,
                  ClashPolicy clash)
      : parent_(std::move(parent)),
        temporary_(std::move(temporary)),
        name_(std::move(name)),
        fd_(std::move(fd)),
        clash_(clash) {}

  ~PosixOutputFile() override {
    if (!finished_) Abandon();
  }

  bool Write(const void* data, size_t count, std::string* why) override {
    if (finished_ || failed_) return false;
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
      ssize_t written = write(fd_.get(), next, count);
      if (written < 0 && errno == EINTR) continue;
      // A refusal (ENOSPC, EFBIG) shows up on the write after a short one.
      if (written <= 0) {
        failed_ = true;
        SetError(why, SystemReason(written < 0 ? errno : EIO));
        return false;
      }
      next += written;
      count -= static_cast<size_t>(written);
    }
    return true;
  }

  // No fsync: a received file is put in place atomically, not made durable.
  bool Commit(std::string* why) override {
    if (finished_) return false;
    if (failed_) {
      SetError(why, "a write failed earlier");
    } else if (close(fd_.Release()) != 0) {
      SetError(why, SystemReason(errno));
    } else if (Place(why)) {
      finished_ = true;
      return true;
    }
    Abandon();
    return false;
  }

  const std::string& PlacedName() const override { return name_; }

 private:
  bool Place(std::string* why) {
    const char* temporary = temporary_.c_str();
    if (clash_ == ClashPolicy::Overwrite) {
      if (renameat(parent_.get(), temporary, parent_.get(), name_.c_str()) == 0) return true;
    } else if (RenameNoReplace(parent_.get(), temporary, name_.c_str()) == 0) {
      return true;
    } else if (errno == EEXIST && clash_ == ClashPolicy::Skip) {
      SetError(why, kSkippedClash);
      return false;
    } else if (errno == EEXIST) {
      return PlaceNumbered(why);
    }
    SetError(why,
             std::string("the received file could not be put in place: ") + SystemReason(errno));
    return false;
  }

  bool PlaceNumbered(std::string* why) {
    for (int number = 1; number <= kNumberedNameAttempts; ++number) {
      std::string numbered = NumberedName(name_, number);
      if (RenameNoReplace(parent_.get(), temporary_.c_str(), numbered.c_str()) == 0) {
        name_ = numbered;
        return true;
      }
      if (errno != EEXIST) {
        SetError(why, "cannot save as " + numbered + ": " + SystemReason(errno));
        return false;
      }
    }
    SetError(why, "no free numbered name for " + name_);
    return false;
  }

  void Abandon() {
    fd_.Reset();
    unlinkat(parent_.get(), temporary_.c_str(), 0);
    finished_ = true;
  }

  UniqueFd parent_;
  std::string temporary_;
  std::string name_;
  UniqueFd fd_;
  ClashPolicy clash_;
  bool failed_ = false;
  bool finished_ = false;
};

char RandomLetter() {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid() ^
                            std::hash<std::thread::id>()(std::this_thread::get_id())));
  return kLetters[generator() % (sizeof kLetters - 1)];
}

// Creates ".<name>.tarvel-XXXXXX" beside the target, new and empty.
UniqueFd CreateTemporary(int parentFd, const std::string& name, std::string* temporary) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    *temporary = "." + name.substr(0, kTemporaryNameRoom) + ".tarvel-";
    for (int i = 0; i < 6; ++i) *temporary += RandomLetter();
    UniqueFd fd(
        openat(parentFd, temporary->c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const FileLocation& location, std::string* error) {
  // O_NONBLOCK keeps a FIFO from hanging the open; only regular files are read.
  UniqueFd fd = OpenLocation(location.root, location.path, O_RDONLY | O_NONBLOCK, error);
  if (!fd.valid()) return nullptr;
  struct stat info;
  if (fstat(fd.get(), &info) != 0) {
    SetError(error, DescribeOpenError(errno));
    return nullptr;
  }
  if (S_ISDIR(info.st_mode)) {
    SetError(error, "is a folder");
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    SetError(error, "not a regular file");
    return nullptr;
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    SetError(error, DescribeOpenError(errno));
    return nullptr;
  }
  return std::make_unique<PosixInputFile>(std::move(fd));
}

std::unique_ptr<OutputFile> CreateOutputFile(const FileLocation& location, ClashPolicy clash,
                                             std::string* error) {
  auto [parentPath, name] = SplitLastComponent(location);
  if (name.empty() || name == "." || name == "..") {
    SetError(error, "path names a folder");
    return nullptr;
  }
  UniqueFd parent = OpenLocation(location.root, parentPath, O_PATH | O_DIRECTORY, error);
  if (!parent.valid()) return nullptr;
  struct stat info;
  bool exists = fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    SetError(error, "is a folder");
    return nullptr;
  }
  if (exists && clash == ClashPolicy::Skip) {
    SetError(error, kSkippedClash);
    return nullptr;
  }
  std::string temporary;
  UniqueFd fd = CreateTemporary(parent.get(), name, &temporary);
  if (!fd.valid()) {
    SetError(error, DescribeOpenError(errno));
    return nullptr;
  }
  return std::make_unique<PosixOutputFile>(std::move(parent), std::move(temporary), std::move(name),
                                           std::move(fd), clash);
}

bool CreateFolders(const FileLocation& location, std::string* error) {
  if (location.root.empty()) return true;
  const std::string folder = SplitLastComponent(location).folder;
  // Each folder on the way, from the root down: opened beneath the root, and
  // made inside its parent, itself opened beneath the root, when missing.
  for (size_t end = 0; end != std::string::npos && !folder.empty();) {
    end = folder.find('/', end + 1);
    std::string prefix = folder.substr(0, end);
    UniqueFd step = OpenLocation(location.root, prefix, O_PATH | O_DIRECTORY, error);
    if (step.valid()) continue;
    if (errno != ENOENT) return false;
    size_t cut = prefix.rfind('/');
    std::string parentPath = cut == std::string::npos ? std::string() : prefix.substr(0, cut);
    std::string name = cut == std::string::npos ? prefix : prefix.substr(cut + 1);
    UniqueFd parent = OpenLocation(location.root, parentPath, O_PATH | O_DIRECTORY, error);
    if (!parent.valid()) return false;
    if (mkdirat(parent.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
      SetError(error, "cannot make the folder " + prefix + ": " + SystemReason(errno));
      return false;
    }
    if (!OpenLocation(location.root, prefix, O_PATH | O_DIRECTORY, error).valid()) return false;
  }
  return true;
}

std::optional<DiskSpace> SpaceFor(const FileLocation& location, std::string* error) {
  UniqueFd parent =
      OpenLocation(location.root, SplitLastComponent(location).folder, O_PATH | O_DIRECTORY, error);
  if (!parent.valid()) return std::nullopt;
  struct statvfs info;
  if (fstatvfs(parent.get(), &info) != 0) {
    SetError(error, SystemReason(errno));
    return std::nullopt;
  }
  DiskSpace space;
  space.available = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  space.total = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
  return space;
}

}  // namespace tarvel
