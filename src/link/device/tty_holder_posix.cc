// SPDX-License-Identifier: MIT
// Exclusive use of a tty that binds root too: an flock on the device's inode,
// beside the tty's own exclusive-use flag, which root ignores. The lock goes
// with the last descriptor of the open, so a crashed holder leaves none.
#include "link/device/tty_holder_posix.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tarvel {

namespace {

// One line of /proc/locks names a lock's kind, its holder's pid and the
// inode as "major:minor:inode" in hexadecimal device numbers:
//   "3: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF"
// A line with "->" is a waiter, not a holder.
long HolderPidIn(const std::string& line, const struct stat& device) {
  if (line.find("->") != std::string::npos) return 0;
  std::istringstream fields(line);
  std::string ordinal, kind, mode, access, where;
  long pid = 0;
  if (!(fields >> ordinal >> kind >> mode >> access >> pid >> where)) return 0;
  unsigned majorNumber = 0, minorNumber = 0;
  uintmax_t inode = 0;
  if (std::sscanf(where.c_str(), "%x:%x:%" SCNuMAX, &majorNumber, &minorNumber, &inode) != 3) {
    return 0;
  }
  bool same = majorNumber == major(device.st_dev) && minorNumber == minor(device.st_dev) &&
              inode == device.st_ino;
  return same ? pid : 0;
}

std::string ProcessName(long pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace

std::string TtyHolder(const std::string& path) {
  struct stat device {};
  if (stat(path.c_str(), &device) != 0) return {};
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    long pid = HolderPidIn(line, device);
    if (pid <= 0) continue;
    std::string name = ProcessName(pid);
    return (name.empty() ? "a program" : name) + " (pid " + std::to_string(pid) + ")";
  }
  return {};
}

bool LockTty(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  // Only another holder refuses the open: a device that takes no locks is
  // left to the tty's own flag.
  if (errno != EWOULDBLOCK) return true;
  errno = EBUSY;
  return false;
}

}  // namespace tarvel
