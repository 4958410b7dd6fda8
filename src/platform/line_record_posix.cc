// SPDX-License-Identifier: MIT
// The line records on Linux: one file per device under /run/lock/tarvel, a
// folder every user may create files in (sticky, like /run/lock itself, so
// no user can remove another's record), or else under the user's own runtime
// folder, which only that user's processes share. Both are in memory and
// start empty at boot. The update lock and the writer's mark are open file
// description locks on bytes 0 and 1: they exclude other opens in this
// process as well as other processes, and go with the process that held them.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/line_record.h"

namespace tarvel {
namespace {

constexpr const char* kSharedFolder = "/run/lock/tarvel";
constexpr off_t kUpdateByte = 0;
constexpr off_t kWriterByte = 1;
// A record is one short line; anything longer is not one of ours.
constexpr size_t kRecordCapacity = 128;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The folder at `path`, made when missing with `mode` exactly (umask aside).
bool EnsureFolder(const std::string& path, mode_t mode, std::string* why) {
  if (mkdir(path.c_str(), mode) == 0) {
    if (chmod(path.c_str(), mode) == 0) return true;
    *why = Reason("cannot set the mode of", path);
    return false;
  }
  struct stat info {};
  if (errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  if (errno == EEXIST) errno = ENOTDIR;
  *why = Reason("cannot make the folder", path);
  return false;
}

bool LockByte(int fd, off_t byte, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

class PosixLineRecord final : public LineRecord {
 public:
  PosixLineRecord(int fd, std::string location) : fd_(fd), location_(std::move(location)) {}
  ~PosixLineRecord() override { close(fd_); }
  PosixLineRecord(const PosixLineRecord&) = delete;
  PosixLineRecord& operator=(const PosixLineRecord&) = delete;

  bool Update(const std::function<bool(std::string&)>& change, std::string* why) override {
    if (!LockByte(fd_, kUpdateByte, F_WRLCK, true)) {
      *why = Reason("cannot lock", location_);
      return false;
    }
    bool ok = ReadAndChange(change, why);
    LockByte(fd_, kUpdateByte, F_UNLCK, false);
    return ok;
  }

  bool BeginWriting() override { return LockByte(fd_, kWriterByte, F_WRLCK, false); }
  void EndWriting() override { LockByte(fd_, kWriterByte, F_UNLCK, false); }

  bool OtherWriting() override {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kWriterByte;
    probe.l_len = 1;
    if (fcntl(fd_, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
  }

  const std::string& Location() const override { return location_; }

 private:
  bool ReadAndChange(const std::function<bool(std::string&)>& change, std::string* why) {
    char buffer[kRecordCapacity];
    ssize_t got = pread(fd_, buffer, sizeof buffer, 0);
    if (got < 0) {
      *why = Reason("cannot read", location_);
      return false;
    }
    std::string text(buffer, static_cast<size_t>(got));
    if (!change(text)) return true;
    if (text.size() > kRecordCapacity || ftruncate(fd_, 0) != 0 ||
        pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
      *why = Reason("cannot write", location_);
      return false;
    }
    return true;
  }

  const int fd_;
  const std::string location_;
};

// The record file in `folder`, readable and writable by every user. A link
// planted in its place is refused, and so is anything but a plain file.
std::unique_ptr<LineRecord> OpenIn(const std::string& folder, const std::string& key,
                                   std::string* why) {
  std::string path = folder + "/" + LineRecordName(key);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    *why = Reason("cannot open", path);
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    *why = Reason("not a plain file:", path);
    return nullptr;
  }
  // The umask must not keep other users out; only the owner may change the
  // mode, and a record another user made is theirs to have made right.
  if (info.st_uid == geteuid() && (info.st_mode & 0666) != 0666) fchmod(fd, 0666);
  return std::make_unique<PosixLineRecord>(fd, path);
}

std::unique_ptr<LineRecord> OpenInFolder(const std::string& folder, mode_t mode,
                                         const std::string& key, std::string* why) {
  if (!EnsureFolder(folder, mode, why)) return nullptr;
  return OpenIn(folder, key, why);
}

}  // namespace

int64_t SharedClockMs() {
  // Time since boot, suspend included: the same in every process, never set
  // back like the wall clock, and still running while the machine sleeps,
  // as the peer's own clock does.
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string CanonicalDeviceName(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

std::unique_ptr<LineRecord> OpenLineRecord(const std::string& key, const Environment& env,
                                           std::string* why) {
  std::optional<std::string> chosen = env("TARVEL_LINE_RECORDS");
  if (chosen && !chosen->empty()) return OpenInFolder(*chosen, 0700, key, why);
  std::string sharedWhy;
  auto record = OpenInFolder(kSharedFolder, 01777, key, &sharedWhy);
  if (record) return record;
  std::optional<std::string> runtime = env("XDG_RUNTIME_DIR");
  if (!runtime || runtime->empty()) {
    *why = sharedWhy + "; and XDG_RUNTIME_DIR is not set";
    return nullptr;
  }
  std::string runtimeWhy;
  record = OpenInFolder(*runtime + "/tarvel", 0700, key, &runtimeWhy);
  if (!record) *why = sharedWhy + "; " + runtimeWhy;
  return record;
}

}  // namespace tarvel
