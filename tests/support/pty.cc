#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tarvel::testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPeerWriteLimitMs = 10000;
constexpr int kWriteRetryMs = 50;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd`; false on time-out.
bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) ThrowErrno("tcgetattr on a pty");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) ThrowErrno("tcsetattr on a pty");
}

enum class Chunk { Got, Empty, End };

// One non-blocking read from the master, appended to `out`.
Chunk ReadChunk(int fd, std::string& out, size_t limit) {
  std::array<char, 65536> buffer;
  ssize_t result = read(fd, buffer.data(), std::min(limit, buffer.size()));
  if (result > 0) {
    out.append(buffer.data(), static_cast<size_t>(result));
    return Chunk::Got;
  }
  if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return Chunk::Empty;
  }
  return Chunk::End;  // EIO: no slave descriptor is open
}

}  // namespace

PtyPair::PtyPair() {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) ThrowErrno("openpty");
  try {
    std::array<char, 256> name{};
    if (ttyname_r(slave_, name.data(), name.size()) != 0) ThrowErrno("ttyname_r");
    slavePath_ = name.data();
    MakeRaw(slave_);
    MakeRaw(master_);
    for (int fd : {master_, slave_}) {
      if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) ThrowErrno("fcntl FD_CLOEXEC");
    }
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
      ThrowErrno("fcntl O_NONBLOCK");
    }
  } catch (...) {
    close(master_);
    close(slave_);
    throw;
  }
}

PtyPair::~PtyPair() {
  CloseSlave();
  HangUp();
}

void PtyPair::CloseSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Write(const std::string& bytes) {
  size_t written = 0;
  auto stallDeadline = Clock::now() + std::chrono::milliseconds(kPeerWriteLimitMs);
  while (written < bytes.size()) {
    ssize_t result = write(master_, bytes.data() + written, bytes.size() - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
      stallDeadline = Clock::now() + std::chrono::milliseconds(kPeerWriteLimitMs);
    } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (Clock::now() >= stallDeadline) throw std::runtime_error("pty peer write stalled");
      // A pty can make room without waking its pollers, so wait in slices.
      WaitFor(master_, POLLOUT, kWriteRetryMs);
    } else if (!(result < 0 && errno == EINTR)) {
      ThrowErrno("pty peer write");
    }
  }
}

std::string PtyPair::ReadExactly(size_t count, int timeoutMs) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    Chunk chunk = ReadChunk(master_, out, count - out.size());
    if (chunk == Chunk::End) break;
    if (chunk == Chunk::Empty && !WaitFor(master_, POLLIN, MillisecondsUntil(deadline))) break;
  }
  return out;
}

std::string PtyPair::ReadUntilQuiet(int quietMs, int timeoutMs) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Chunk chunk = ReadChunk(master_, out, SIZE_MAX);
    if (chunk == Chunk::End) break;
    if (chunk == Chunk::Empty &&
        !WaitFor(master_, POLLIN, std::min(quietMs, MillisecondsUntil(deadline)))) {
      break;
    }
  }
  return out;
}

std::string PtyPair::ReadAvailable() {
  std::string out;
  while (ReadChunk(master_, out, SIZE_MAX) == Chunk::Got) {
  }
  return out;
}

namespace {

// One direction of the cable: bytes read from one master wait here until the
// other master takes them, so a slow reader never costs a byte.
class Lane {
 public:
  Lane(int from, int to, std::atomic<size_t>& relayed) : from_(from), to_(to), relayed_(relayed) {}

  bool HasRoom() const { return waiting_.size() - sent_ < kCapacity; }
  bool HasWaiting() const { return sent_ < waiting_.size(); }

  // Takes what the source master has; false when it has no slave open.
  bool Fill() {
    if (sent_ == waiting_.size()) {
      waiting_.clear();
      sent_ = 0;
    }
    std::string chunk;
    Chunk result = ReadChunk(from_, chunk, kCapacity - (waiting_.size() - sent_));
    waiting_.insert(waiting_.end(), chunk.begin(), chunk.end());
    return result != Chunk::End;
  }

  // Hands waiting bytes to the destination master until it is full.
  void Drain() {
    while (HasWaiting()) {
      ssize_t result = write(to_, waiting_.data() + sent_, waiting_.size() - sent_);
      if (result <= 0) return;
      sent_ += static_cast<size_t>(result);
      relayed_.fetch_add(static_cast<size_t>(result));
    }
    if (sent_ > kCapacity) {
      waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(sent_));
      sent_ = 0;
    }
  }

 private:
  static constexpr size_t kCapacity = 1 << 20;
  int from_, to_;
  std::atomic<size_t>& relayed_;
  std::vector<char> waiting_;
  size_t sent_ = 0;
};

constexpr int kHangUpRetryMs = 10;

}  // namespace

PtyCable::PtyCable() {
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) ThrowErrno("pipe2");
  relay_ = std::thread(&PtyCable::Relay, this);
}

PtyCable::~PtyCable() {
  const char stop = 0;
  if (write(stopPipe_[1], &stop, 1) != 1) {
    // The relay would never stop; nothing better to do than wait for it.
  }
  relay_.join();
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

void PtyCable::Relay() {
  const int masters[2] = {a_.masterFd(), b_.masterFd()};
  Lane out[2] = {Lane(masters[0], masters[1], aToB_), Lane(masters[1], masters[0], bToA_)};
  bool resting[2] = {false, false};  // a master without a slave is left out for a moment
  for (;;) {
    pollfd fds[3];
    for (int side = 0; side < 2; ++side) {
      short events =
          (out[side].HasRoom() ? POLLIN : 0) | (out[1 - side].HasWaiting() ? POLLOUT : 0);
      fds[side] = {resting[side] ? -1 : masters[side], events, 0};
    }
    fds[2] = {stopPipe_[0], POLLIN, 0};
    // Waiting bytes are retried now and then: a pty can make room without
    // waking its pollers.
    int timeoutMs = -1;
    if (out[0].HasWaiting() || out[1].HasWaiting()) timeoutMs = kWriteRetryMs;
    if (resting[0] || resting[1]) timeoutMs = kHangUpRetryMs;
    if (poll(fds, 3, timeoutMs) < 0 && errno != EINTR) return;
    if (fds[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      resting[side] = false;
      short seen = fds[side].revents;
      if (!(seen & (POLLIN | POLLHUP | POLLERR))) continue;
      bool open = out[side].HasRoom() ? out[side].Fill() : !(seen & (POLLHUP | POLLERR));
      resting[side] = !open;
    }
    out[0].Drain();
    out[1].Drain();
  }
}

}  // namespace tarvel::testing
