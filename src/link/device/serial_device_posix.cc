// SPDX-License-Identifier: MIT
// The serial device on POSIX systems: a tty opened non-blocking, in raw mode,
// for exclusive use. Every wait is a poll that also watches an eventfd, so that
// Close can wake a thread blocked in Read or Write, and then release the tty
// at once while other threads still hold the object.
#include "link/device/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <utility>

#include "link/device/termios2_speed_posix.h"
#include "link/device/tty_holder_posix.h"

namespace tarvel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kWriteRetrySlice(50);

// A slow line hands bytes over a handful at a time, and taking each handful
// costs a wake-up, a poll and a read. When a read still short of its count has
// been getting bytes slower than this for a while, it lets them gather for a
// moment after each arrival: at 256000 baud about 500 bytes per wake-up
// instead of a few dozen, and at most 2.6 KiB, within the tty's own buffer.
// Judged over the whole read, so a fast line that stalls for a moment is
// never taken for a slow one.
constexpr double kSlowLineBytesPerSecond = 128 * 1024;
constexpr std::chrono::milliseconds kSlowLineJudgedAfter(20);
constexpr std::chrono::milliseconds kGatherPause(20);

// The end of a wait of `timeoutMs`; none for a negative one.
Clock::time_point DeadlineAfter(int timeoutMs) {
  if (timeoutMs < 0) return Clock::time_point::max();
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

int MillisecondsUntil(Clock::time_point deadline) {
  // Rounded up, so that a poll never wakes before the deadline.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

bool IsEmptyRead(ssize_t result) {
  // With VMIN and VTIME at zero the tty answers a read with nothing waiting by
  // 0 rather than EAGAIN; a hang-up shows up in poll instead.
  return result == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

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
  PosixSerialDevice(int fd, int wakeFd, const LinkTiming& timing)
      : fd_(fd),
        wakeFd_(wakeFd),
        readQuietGap_(timing.readQuietGapMs),
        writeStallLimit_(timing.writeStallLimitMs) {}
  ~PosixSerialDevice() override {
    Close();
    close(wakeFd_);
  }
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
  enum class Wait { Ready, TimedOut, HungUp, Failed };
  Wait WaitFor(short events, Clock::time_point deadline);
  void PauseUnlessClosed(std::chrono::milliseconds pause);
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Every operation holds fdLock_ shared while it uses fd_; Close wakes them
  // through the eventfd and takes it exclusively to release the tty, so no
  // thread ever touches the number once it may have been reused. The eventfds
  // themselves live as long as the object.
  std::shared_mutex fdLock_;
  int fd_;            // -1 once released
  const int wakeFd_;  // eventfd that Close signals
  const std::chrono::milliseconds readQuietGap_;
  const std::chrono::milliseconds writeStallLimit_;
  std::atomic<bool> closed_{false};
  std::mutex settingsMutex_;  // settings are read, changed and written back as one step
  std::mutex writeMutex_;     // the bytes of one Write go out together
};

PosixSerialDevice::Wait PosixSerialDevice::WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    if (closed()) return Wait::Failed;
    pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
    int ready = poll(fds, 2, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0 || closed()) return Wait::Failed;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::HungUp;
    if (fds[0].revents & events) return Wait::Ready;
    if (Clock::now() >= deadline) return Wait::TimedOut;
  }
}

void PosixSerialDevice::PauseUnlessClosed(std::chrono::milliseconds pause) {
  pollfd wake = {wakeFd_, POLLIN, 0};
  while (poll(&wake, 1, static_cast<int>(pause.count())) < 0 && errno == EINTR) {
  }
}

// Whether the `got` bytes of a read, the first of which came at `firstByte`,
// have come at a slow line's rate.
bool CameSlowly(size_t got, Clock::time_point firstByte) {
  Clock::duration taken = Clock::now() - firstByte;
  return taken >= kSlowLineJudgedAfter &&
         static_cast<double>(got) <
             kSlowLineBytesPerSecond * std::chrono::duration<double>(taken).count();
}

ReadResult PosixSerialDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  size_t got = 0;
  bool hungUp = false;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(firstByteWaitMs, 0));
  // Bytes already taken from the device are reported even when it fails
  // afterwards; the next call then reports the failure.
  auto failed = [&got] { return ReadResult{got ? ReadOutcome::Bytes : ReadOutcome::Failed, got}; };
  std::shared_lock<std::shared_mutex> use(fdLock_);
  if (closed()) return failed();
  Clock::time_point firstByte;
  while (got < count) {
    if (closed()) return failed();
    // Read first and poll only when nothing is waiting: one syscall per read
    // while data streams in.
    ssize_t result = read(fd_, buffer + got, count - got);
    if (result > 0) {
      if (got == 0) firstByte = Clock::now();
      got += static_cast<size_t>(result);
      deadline = Clock::now() + readQuietGap_;
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (!IsEmptyRead(result) || hungUp) return failed();
    Wait wait = WaitFor(POLLIN, deadline);
    if (wait == Wait::TimedOut) return {got ? ReadOutcome::Bytes : ReadOutcome::Quiet, got};
    if (wait == Wait::Failed) return failed();
    // After a hang-up, one more read takes whatever is still buffered.
    hungUp = wait == Wait::HungUp;
    if (got > 0 && !hungUp && CameSlowly(got, firstByte)) PauseUnlessClosed(kGatherPause);
  }
  return {ReadOutcome::Bytes, got};
}

WriteResult PosixSerialDevice::Write(const uint8_t* data, size_t count) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  std::shared_lock<std::shared_mutex> use(fdLock_);
  if (closed()) return {0, false};
  size_t written = 0;
  std::optional<Clock::time_point> stallDeadline;
  while (written < count && !closed()) {
    // Write first and poll only when the device is full.
    ssize_t result = write(fd_, data + written, count - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
      stallDeadline.reset();
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    Clock::time_point now = Clock::now();
    if (!stallDeadline) stallDeadline = now + writeStallLimit_;
    if (now >= *stallDeadline) break;
    // A tty can make room without waking its pollers (a pty does when its
    // reader is idle), so the wait comes in slices with a write between them.
    Wait wait = WaitFor(POLLOUT, std::min(*stallDeadline, now + kWriteRetrySlice));
    if (wait == Wait::HungUp || wait == Wait::Failed) break;
  }
  return {written, written == count};
}

WaitResult PosixSerialDevice::WaitForInput(int timeoutMs) {
  Clock::time_point deadline = DeadlineAfter(timeoutMs);
  std::shared_lock<std::shared_mutex> use(fdLock_);
  for (;;) {
    if (closed()) return WaitResult::Closed;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = poll(fds, 2, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0 || closed()) return WaitResult::Closed;
    // Bytes left by a peer that hung up are still to be read.
    int waiting = 0;
    bool bytes = ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0;
    if (bytes) return WaitResult::Ready;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::Closed;
    if (fds[0].revents & POLLIN) return WaitResult::Ready;
    if (Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

std::optional<size_t> PosixSerialDevice::QueueStatus() {
  std::shared_lock<std::shared_mutex> use(fdLock_);
  if (closed()) return std::nullopt;
  int waiting = 0;
  if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return std::nullopt;
  return static_cast<size_t>(waiting);
}

bool PosixSerialDevice::ReadSettings(LineSettings& settings) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  std::shared_lock<std::shared_mutex> use(fdLock_);
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
  std::lock_guard<std::mutex> lock(settingsMutex_);
  std::shared_lock<std::shared_mutex> use(fdLock_);
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
  if (!closed_.exchange(true, std::memory_order_acq_rel)) {
    const uint64_t one = 1;
    // The eventfd is never drained, so every later poll wakes at once as well.
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // Nothing to do: closed_ is set, and every wait checks it before polling.
    }
  }
  // Woken, the threads inside an operation leave it within one poll; then the
  // tty and its exclusive use go, whoever still holds the object.
  std::unique_lock<std::shared_mutex> release(fdLock_);
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

std::nullptr_t Fail(std::string* error, const std::string& what, const std::string& path) {
  int code = errno;
  if (error) *error = what + " " + path + ": " + std::generic_category().message(code);
  return nullptr;
}

// A tty in use by another open: named with its holder where the system tells.
std::nullptr_t FailInUse(std::string* error, const std::string& path) {
  std::string holder = TtyHolder(path);
  if (holder.empty()) return Fail(error, "cannot take exclusive use of", path);
  if (error) *error = path + " is in use by " + holder;
  return nullptr;
}

bool SetRawMode(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  MakeRaw(settings);
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, std::string* error,
                                               const LinkTiming& timing) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  // The tty's exclusive-use flag refuses the open to all but root...
  if (fd < 0 && errno == EBUSY) return FailInUse(error, path);
  if (fd < 0) return Fail(error, "cannot open", path);
  TtyGuard guard(fd);
  if (!isatty(fd)) return Fail(error, "not a terminal:", path);
  // ...and the lock to root as well.
  if (!LockTty(fd)) return FailInUse(error, path);
  if (ioctl(fd, TIOCEXCL) != 0) return Fail(error, "cannot take exclusive use of", path);
  guard.TookExclusiveUse();
  // Raw at once, so that bytes arriving from now on are not line-edited.
  if (!SetRawMode(fd)) return Fail(error, "cannot set raw mode on", path);
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return Fail(error, "cannot create a wake-up event for", path);
  return std::make_unique<PosixSerialDevice>(guard.Release(), wakeFd, timing);
}

}  // namespace tarvel
