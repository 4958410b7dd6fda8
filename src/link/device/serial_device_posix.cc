// SPDX-License-Identifier: MIT
// The serial device on POSIX systems: a tty opened non-blocking, in raw mode,
// for exclusive use. Its reads, writes and waits are the shared descriptor
// loops, whose every wait Close can end, so that it can then release the tty
// at once while other threads still hold the object.
#include "link/device/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "link/device/descriptor_io_posix.h"
#include "link/device/termios2_speed_posix.h"
#include "link/device/tty_holder_posix.h"
#include "platform/mutex.h"

namespace tarvel {

namespace {

// Raw bytes both ways at 8N1; a read never waits in the kernel.
void MakeRaw(termios& settings) {
  cfmakeraw(&settings);
  // cfmakeraw leaves these. XON/XOFF stays off for good: the tty would take
  // every 0x11 and 0x13 out of file content as flow control.
  settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  settings.c_cflag &= ~(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

constexpr tcflag_t kFramingFlags = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;

// The c_cflag framing bits for `line`; nothing when a field is out of range.
std::optional<tcflag_t> FramingFlags(const LineSettings& line) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  // none, odd, even, mark, space
  static constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                           PARENB | CMSPAR};
  if (line.byteSize < 5 || line.byteSize > 8 || line.parity > 4 || line.stopBits > 2) {
    return std::nullopt;
  }
  // One and a half stop bits (1) is what a UART makes of CSTOPB with five data bits.
  tcflag_t stop = line.stopBits == 0 ? 0 : CSTOPB;
  return kSizes[line.byteSize - 5] | kParities[line.parity] | stop;
}

LineSettings FromTermios(const termios& settings, uint32_t baudRate) {
  LineSettings line;
  line.baudRate = baudRate;
  switch (settings.c_cflag & CSIZE) {
    case CS5:
      line.byteSize = 5;
      break;
    case CS6:
      line.byteSize = 6;
      break;
    case CS7:
      line.byteSize = 7;
      break;
    default:
      line.byteSize = 8;
      break;
  }
  if (settings.c_cflag & PARENB) {
    bool odd = settings.c_cflag & PARODD;
    line.parity = (settings.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
  }
  line.stopBits = (settings.c_cflag & CSTOPB) ? 2 : 0;
  line.softwareFlowControl = settings.c_iflag & (IXON | IXOFF);
  return line;
}

void ReleaseTty(int fd, bool exclusive) {
  // The tty outlives our descriptor while anyone else holds it open (the peer
  // of a pty pair may), and would go on refusing opens with the flag still set.
  if (exclusive) ioctl(fd, TIOCNXCL);
  close(fd);
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, std::unique_ptr<WakeEvent> wake, const LinkTiming& timing)
      : fd_(fd),
        wake_(std::move(wake)),
        readQuietGap_(timing.readQuietGapMs),
        writeStallLimit_(timing.writeStallLimitMs) {}
  ~PosixSerialDevice() override { Close(); }
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool ReadSettings(LineSettings& settings) override;
  bool WriteSettings(const LineSettings& settings) override;
  std::optional<size_t> QueueStatus() override;
  ReadResult Read(uint8_t* buffer, size_t count, int firstByteWaitMs) override;
  WriteResult Write(const uint8_t* data, size_t count) override;
  WaitResult WaitForInput(int timeoutMs) override;
  void Close() override;

 private:
  bool closed() const { return wake_->Signalled(); }
  // The tty as the shared loops use it; only while fdLock_ is held.
  WakeableDescriptor Tty() const REQUIRES_SHARED(fdLock_) {
    return {fd_, DescriptorKind::Tty, *wake_};
  }

  // Every operation holds fdLock_ shared while it uses fd_; Close wakes them
  // and takes it exclusively to release the tty, so no thread ever touches the
  // number once it may have been reused. The wake-up lives as long as the
  // object.
  SharedMutex fdLock_;
  int fd_ GUARDED_BY(fdLock_);  // -1 once released
  const std::unique_ptr<WakeEvent> wake_;
  const std::chrono::milliseconds readQuietGap_;
  const std::chrono::milliseconds writeStallLimit_;
  Mutex settingsMutex_;  // settings are read, changed and written back as one step
  Mutex writeMutex_;     // the bytes of one Write go out together
};

ReadResult PosixSerialDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  SharedLock use(fdLock_);
  if (closed()) return {ReadOutcome::Failed, 0};
  ReadLimits limits{DeadlineAfter(std::max(firstByteWaitMs, 0)), readQuietGap_, true};
  return ReadUntilQuiet(Tty(), buffer, count, limits);
}

WriteResult PosixSerialDevice::Write(const uint8_t* data, size_t count) {
  MutexLock lock(writeMutex_);
  SharedLock use(fdLock_);
  if (closed()) return {0, false};
  size_t written = 0;
  WriteEnd end = WriteUntilStalled(Tty(), data, count, writeStallLimit_, written);
  return {written, end == WriteEnd::Done};
}

WaitResult PosixSerialDevice::WaitForInput(int timeoutMs) {
  DeviceClock::time_point deadline = DeadlineAfter(timeoutMs);
  SharedLock use(fdLock_);
  Readiness wait = WaitOn(Tty(), POLLIN, deadline);
  if (wait == Readiness::Woken) return WaitResult::Closed;
  // Bytes left by a peer that hung up are still to be read.
  std::optional<size_t> waiting = BytesWaiting(fd_);
  if (waiting && *waiting > 0) return WaitResult::Ready;
  if (wait == Readiness::HungUp) return WaitResult::Closed;
  return wait == Readiness::Ready ? WaitResult::Ready : WaitResult::TimedOut;
}

std::optional<size_t> PosixSerialDevice::QueueStatus() {
  SharedLock use(fdLock_);
  if (closed()) return std::nullopt;
  return BytesWaiting(fd_);
}

bool PosixSerialDevice::ReadSettings(LineSettings& settings) {
  MutexLock lock(settingsMutex_);
  SharedLock use(fdLock_);
  if (closed()) return false;
  termios current{};
  if (tcgetattr(fd_, &current) != 0) return false;
  std::optional<uint32_t> baudRate = ReadBaudRate(fd_);
  if (!baudRate) return false;
  settings = FromTermios(current, *baudRate);
  return true;
}

bool PosixSerialDevice::WriteSettings(const LineSettings& settings) {
  std::optional<tcflag_t> framing = FramingFlags(settings);
  if (!framing || settings.baudRate == 0) return false;
  MutexLock lock(settingsMutex_);
  SharedLock use(fdLock_);
  if (closed()) return false;
  termios next{};
  if (tcgetattr(fd_, &next) != 0) return false;
  // softwareFlowControl is deliberately not honoured: with IXON/IXOFF the tty
  // would swallow every 0x11 and 0x13 inside binary file content. MakeRaw keeps
  // both off.
  MakeRaw(next);
  next.c_cflag = (next.c_cflag & ~kFramingFlags) | *framing;
  bool applied = tcsetattr(fd_, TCSANOW, &next) == 0;
  // The rate goes last and separately, so that a rate the device refuses
  // leaves the framing applied.
  return SetCustomBaudRate(fd_, settings.baudRate) && applied;
}

void PosixSerialDevice::Close() {
  wake_->Signal();
  // Woken, the threads inside an operation leave it within one poll; then the
  // tty and its exclusive use go, whoever still holds the object.
  ExclusiveLock release(fdLock_);
  if (fd_ >= 0) ReleaseTty(std::exchange(fd_, -1), true);
}

// Closes a half-opened device on every failure path of the open.
class TtyGuard {
 public:
  explicit TtyGuard(int fd) : fd_(fd) {}
  ~TtyGuard() {
    if (fd_ >= 0) ReleaseTty(fd_, exclusive_);
  }
  TtyGuard(const TtyGuard&) = delete;
  TtyGuard& operator=(const TtyGuard&) = delete;
  void TookExclusiveUse() { exclusive_ = true; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
  bool exclusive_ = false;
};

std::nullptr_t Fail(std::string* why, const std::string& what, const std::string& path) {
  int code = errno;
  *why = what + " " + path + ": " + std::generic_category().message(code);
  return nullptr;
}

// A tty in use by another open: named with its holder where the system tells.
std::nullptr_t FailInUse(std::string* why, const std::string& path) {
  std::string holder = TtyHolder(path);
  if (holder.empty()) return Fail(why, "cannot take exclusive use of", path);
  *why = path + " is in use by " + holder;
  return nullptr;
}

bool SetRawMode(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  MakeRaw(settings);
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, std::string* why,
                                               const LinkTiming& timing) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  // The tty's exclusive-use flag refuses the open to all but root...
  if (fd < 0 && errno == EBUSY) return FailInUse(why, path);
  if (fd < 0) return Fail(why, "cannot open", path);
  TtyGuard guard(fd);
  if (!isatty(fd)) return Fail(why, "not a terminal:", path);
  // ...and the lock to root as well.
  if (!LockTty(fd)) return FailInUse(why, path);
  if (ioctl(fd, TIOCEXCL) != 0) return Fail(why, "cannot take exclusive use of", path);
  guard.TookExclusiveUse();
  // Raw at once, so that bytes arriving from now on are not line-edited.
  if (!SetRawMode(fd)) return Fail(why, "cannot set raw mode on", path);
  std::unique_ptr<WakeEvent> wake = WakeEvent::Create();
  if (!wake) return Fail(why, "cannot create a wake-up event for", path);
  return std::make_unique<PosixSerialDevice>(guard.Release(), std::move(wake), timing);
}

}  // namespace tarvel
