// SPDX-License-Identifier: MIT
// A connected stream socket as a device: an RFCOMM socket that the Bluetooth
// service hands over, or any other stream socket. Non-blocking, and every wait
// is a poll that also watches an eventfd, so that Close wakes a thread blocked
// in Read or Write at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "link/device/stream_device.h"

namespace tarvel {
namespace {

using Clock = std::chrono::steady_clock;

// A Bluetooth connection keeps the wire's own read gap and write stall limit.
const LinkTiming kTiming;

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

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

class StreamDevice final : public SerialDevice {
 public:
  StreamDevice(int socket, int wakeFd) : socket_(socket), wakeFd_(wakeFd) {}
  ~StreamDevice() override {
    close(socket_);
    close(wakeFd_);
  }
  StreamDevice(const StreamDevice&) = delete;
  StreamDevice& operator=(const StreamDevice&) = delete;

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
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Both descriptors stay valid for the object's whole life; only the
  // destructor closes them, so no thread can touch a reused number.
  const int socket_;
  const int wakeFd_;  // eventfd that Close signals
  std::atomic<bool> closed_{false};
  std::mutex settingsMutex_;
  LineSettings settings_;  // kept only to be reported back
  std::mutex writeMutex_;  // the bytes of one Write go out together
};

StreamDevice::Wait StreamDevice::WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    if (closed()) return Wait::Failed;
    pollfd fds[2] = {{socket_, events, 0}, {wakeFd_, POLLIN, 0}};
    int ready = poll(fds, 2, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0 || closed()) return Wait::Failed;
    if (fds[0].revents & events) return Wait::Ready;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::HungUp;
    if (Clock::now() >= deadline) return Wait::TimedOut;
  }
}

ReadResult StreamDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  size_t got = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(firstByteWaitMs, 0));
  // Bytes already taken are reported even when the connection ends
  // afterwards; the next call then reports the end.
  auto ended = [&got] { return ReadResult{got ? ReadOutcome::Bytes : ReadOutcome::Failed, got}; };
  while (got < count) {
    if (closed()) return ended();
    ssize_t result = recv(socket_, buffer + got, count - got, MSG_DONTWAIT);
    if (result > 0) {
      got += static_cast<size_t>(result);
      deadline = Clock::now() + std::chrono::milliseconds(kTiming.readQuietGapMs);
      continue;
    }
    if (result == 0) return ended();  // the peer hung up
    if (errno == EINTR) continue;
    if (!WouldBlock()) return ended();
    Wait wait = WaitFor(POLLIN, deadline);
    if (wait == Wait::TimedOut) return {got ? ReadOutcome::Bytes : ReadOutcome::Quiet, got};
    if (wait == Wait::Failed) return ended();
    // Ready or hung up: the next recv takes what is there, or sees the end.
  }
  return {ReadOutcome::Bytes, got};
}

WriteResult StreamDevice::Write(const uint8_t* data, size_t count) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  size_t written = 0;
  const char* why = nullptr;
  Clock::time_point stallDeadline =
      Clock::now() + std::chrono::milliseconds(kTiming.writeStallLimitMs);
  while (written < count && !closed()) {
    // No SIGPIPE when the peer has gone: the write fails instead.
    ssize_t result = send(socket_, data + written, count - written, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result > 0) {
      written += static_cast<size_t>(result);
      stallDeadline = Clock::now() + std::chrono::milliseconds(kTiming.writeStallLimitMs);
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
      why = "the peer hung up";
      break;
    }
    if (result < 0 && !WouldBlock()) break;
    Wait wait = WaitFor(POLLOUT, stallDeadline);
    if (wait == Wait::HungUp) why = "the peer hung up";
    if (wait != Wait::Ready) break;
  }
  return {written, written == count, written == count ? nullptr : why};
}

WaitResult StreamDevice::WaitForInput(int timeoutMs) {
  Clock::time_point deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    if (closed()) return WaitResult::Closed;
    pollfd fds[2] = {{socket_, POLLIN | POLLRDHUP, 0}, {wakeFd_, POLLIN, 0}};
    int ready = poll(fds, 2, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0 || closed()) return WaitResult::Closed;
    if (fds[0].revents != 0) {
      // The queue tells bytes from a hang-up that left nothing to read.
      std::optional<size_t> waiting = QueueStatus();
      if (!waiting) return WaitResult::Closed;
      if (*waiting > 0) return WaitResult::Ready;
    }
    if (Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

std::optional<size_t> StreamDevice::QueueStatus() {
  if (closed()) return std::nullopt;
  int waiting = 0;
  if (ioctl(socket_, FIONREAD, &waiting) != 0 || waiting < 0) return std::nullopt;
  if (waiting > 0) return static_cast<size_t>(waiting);
  // A peer that hung up leaves nothing to read: the connection is over, which
  // a holder of several connections in turn needs to know.
  pollfd ended = {socket_, POLLRDHUP, 0};
  if (poll(&ended, 1, 0) > 0 && (ended.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) {
    return std::nullopt;
  }
  return 0;
}

bool StreamDevice::ReadSettings(LineSettings& settings) {
  if (closed()) return false;
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings = settings_;
  return true;
}

bool StreamDevice::WriteSettings(const LineSettings& settings) {
  if (closed()) return false;
  std::lock_guard<std::mutex> lock(settingsMutex_);
  settings_ = settings;
  return true;
}

void StreamDevice::Close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  // The peer learns of the end now, not when the last holder lets go; the
  // descriptor itself stays until the destructor.
  shutdown(socket_, SHUT_RDWR);
  const uint64_t one = 1;
  // The eventfd is never drained, so every later poll wakes at once as well.
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // Nothing to do: closed_ is set, and every wait checks it before polling.
  }
}

}  // namespace

std::unique_ptr<SerialDevice> AdoptStreamSocket(int socket, std::string* error) {
  int flags = fcntl(socket, F_GETFL);
  int wakeFd = flags < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0 || wakeFd < 0 ||
      fcntl(socket, F_SETFD, FD_CLOEXEC) != 0) {
    *error = std::string("cannot take over the connection: ") + std::strerror(errno);
    if (wakeFd >= 0) close(wakeFd);
    close(socket);
    return nullptr;
  }
  return std::make_unique<StreamDevice>(socket, wakeFd);
}

}  // namespace tarvel
