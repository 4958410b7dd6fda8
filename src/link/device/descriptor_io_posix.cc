// SPDX-License-Identifier: MIT
#include "link/device/descriptor_io_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace tarvel {
namespace {

using std::chrono::milliseconds;

// A tty can make room without waking its pollers (a pty does when its reader
// is idle), so a stalled write waits in slices with a write between them.
constexpr milliseconds kWriteRetrySlice(50);

// A slow line hands bytes over a handful at a time, and taking each handful
// costs a wake-up, a poll and a read. When a read still short of its count has
// been getting bytes slower than this for a while, it lets them gather for a
// moment after each arrival: at 256000 baud about 500 bytes per wake-up
// instead of a few dozen, and at most 2.6 KiB, within the tty's own buffer.
// Judged over the whole read, so a fast line that stalls for a moment is
// never taken for a slow one.
constexpr double kSlowLineBytesPerSecond = 128 * 1024;
constexpr milliseconds kSlowLineJudgedAfter(20);
constexpr milliseconds kGatherPause(20);

// How one non-blocking read or write call came out.
enum class Step {
  Moved,   // `count` bytes went
  Empty,   // nothing to take, or no room to put
  Ended,   // the peer hung up
  Failed,  // the device failed
};

struct StepResult {
  Step step;
  size_t count = 0;
};

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

StepResult TakeOnce(const WakeableDescriptor& device, uint8_t* buffer, size_t count) {
  bool socket = device.kind == DescriptorKind::Socket;
  for (;;) {
    ssize_t result =
        socket ? recv(device.fd, buffer, count, MSG_DONTWAIT) : read(device.fd, buffer, count);
    if (result > 0) return {Step::Moved, static_cast<size_t>(result)};
    if (result == 0) return {socket ? Step::Ended : Step::Empty};
    if (errno == EINTR) continue;
    return {WouldBlock() ? Step::Empty : Step::Failed};
  }
}

StepResult PutOnce(const WakeableDescriptor& device, const uint8_t* data, size_t count) {
  bool socket = device.kind == DescriptorKind::Socket;
  for (;;) {
    ssize_t result = socket ? send(device.fd, data, count, MSG_DONTWAIT | MSG_NOSIGNAL)
                            : write(device.fd, data, count);
    if (result > 0) return {Step::Moved, static_cast<size_t>(result)};
    if (result == 0) return {Step::Empty};
    if (errno == EINTR) continue;
    if (WouldBlock()) return {Step::Empty};
    bool peerGone = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
    return {socket && peerGone ? Step::Ended : Step::Failed};
  }
}

// Whether the `got` bytes of a read, the first of which came at `firstByte`,
// have come at a slow line's rate.
bool CameSlowly(size_t got, DeviceClock::time_point firstByte) {
  DeviceClock::duration taken = DeviceClock::now() - firstByte;
  return taken >= kSlowLineJudgedAfter &&
         static_cast<double>(got) <
             kSlowLineBytesPerSecond * std::chrono::duration<double>(taken).count();
}

}  // namespace

std::unique_ptr<WakeEvent> WakeEvent::Create() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WakeEvent>(new WakeEvent(fd));
}

WakeEvent::~WakeEvent() {
  close(fd_);
}

bool WakeEvent::Signal() {
  if (signalled_.exchange(true, std::memory_order_acq_rel)) return false;
  const uint64_t one = 1;
  if (write(fd_, &one, sizeof one) < 0) {
    // Nothing to do: the flag is set, and every wait checks it before polling.
  }
  return true;
}

void WakeEvent::Pause(milliseconds pause) const {
  pollfd wake = {fd_, POLLIN, 0};
  while (poll(&wake, 1, static_cast<int>(pause.count())) < 0 && errno == EINTR) {
  }
}

Readiness WaitOn(const WakeableDescriptor& device, short events, DeviceClock::time_point deadline) {
  for (;;) {
    if (device.wake.Signalled()) return Readiness::Woken;
    pollfd fds[2] = {{device.fd, events, 0}, {device.wake.fd(), POLLIN, 0}};
    int ready = poll(fds, 2, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    // A wait that cannot be made ends as a close does.
    if (ready < 0 || fds[1].revents != 0 || device.wake.Signalled()) return Readiness::Woken;
    bool hungUp = fds[0].revents & (POLLHUP | POLLERR | POLLNVAL);
    bool asked = fds[0].revents & events;
    if (hungUp && (device.kind == DescriptorKind::Tty || !asked)) return Readiness::HungUp;
    if (asked) return Readiness::Ready;
    if (DeviceClock::now() >= deadline) return Readiness::TimedOut;
  }
}

ReadResult ReadUntilQuiet(const WakeableDescriptor& device, uint8_t* buffer, size_t count,
                          const ReadLimits& limits) {
  size_t got = 0;
  bool hungUp = false;
  DeviceClock::time_point deadline = limits.firstByteDeadline;
  DeviceClock::time_point firstByte;
  auto failed = [&got] { return ReadResult{got ? ReadOutcome::Bytes : ReadOutcome::Failed, got}; };
  while (got < count) {
    if (device.wake.Signalled()) return failed();
    // Read first and wait only when nothing is there: one call per read while
    // data streams in.
    StepResult step = TakeOnce(device, buffer + got, count - got);
    if (step.step == Step::Moved) {
      if (got == 0) firstByte = DeviceClock::now();
      got += step.count;
      deadline = DeviceClock::now() + limits.quietGap;
      continue;
    }
    if (step.step != Step::Empty || hungUp) return failed();
    Readiness wait = WaitOn(device, POLLIN, deadline);
    if (wait == Readiness::TimedOut) return {got ? ReadOutcome::Bytes : ReadOutcome::Quiet, got};
    if (wait == Readiness::Woken) return failed();
    // After a hang-up, one more read takes whatever is still buffered.
    hungUp = wait == Readiness::HungUp;
    if (limits.gatherSlowBytes && got > 0 && !hungUp && CameSlowly(got, firstByte)) {
      device.wake.Pause(kGatherPause);
    }
  }
  return {ReadOutcome::Bytes, got};
}

WriteEnd WriteUntilStalled(const WakeableDescriptor& device, const uint8_t* data, size_t count,
                           milliseconds stallLimit, size_t& written) {
  written = 0;
  std::optional<DeviceClock::time_point> stallDeadline;
  while (written < count) {
    if (device.wake.Signalled()) return WriteEnd::Closed;
    // Write first and wait only when the device is full.
    StepResult step = PutOnce(device, data + written, count - written);
    if (step.step == Step::Moved) {
      written += step.count;
      stallDeadline.reset();
      continue;
    }
    if (step.step == Step::Ended) return WriteEnd::HungUp;
    if (step.step == Step::Failed) return WriteEnd::Failed;
    DeviceClock::time_point now = DeviceClock::now();
    if (!stallDeadline) stallDeadline = now + stallLimit;
    if (now >= *stallDeadline) return WriteEnd::Stalled;
    Readiness wait = WaitOn(device, POLLOUT, std::min(*stallDeadline, now + kWriteRetrySlice));
    if (wait == Readiness::HungUp) return WriteEnd::HungUp;
    if (wait == Readiness::Woken) return WriteEnd::Closed;
  }
  return WriteEnd::Done;
}

std::optional<size_t> BytesWaiting(int fd) {
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) return std::nullopt;
  return static_cast<size_t>(waiting);
}

}  // namespace tarvel
