#include "link/device/termios2_speed_posix.h"

// The kernel's own termios definitions: struct termios2, BOTHER, TCGETS2.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace tarvel {

namespace {

bool GetTermios2(int fd, termios2& settings) {
  return ioctl(fd, TCGETS2, &settings) == 0;
}

}  // namespace

bool SetCustomBaudRate(int fd, uint32_t baud) {
  termios2 settings{};
  if (!GetTermios2(fd, settings)) return false;
  // BOTHER in both the output and the input field makes the kernel take the
  // rates from c_ospeed and c_ispeed instead of a rate constant.
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = baud;
  settings.c_ispeed = baud;
  if (ioctl(fd, TCSETS2, &settings) != 0) return false;
  // A driver may round the rate to what its clock can make.
  std::optional<uint32_t> applied = ReadBaudRate(fd);
  return applied && *applied == baud;
}

std::optional<uint32_t> ReadBaudRate(int fd) {
  termios2 settings{};
  if (!GetTermios2(fd, settings)) return std::nullopt;
  return settings.c_ospeed;
}

}  // namespace tarvel
