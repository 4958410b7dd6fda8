// SPDX-License-Identifier: MIT
// A connected stream socket as a device: an RFCOMM socket that the Bluetooth
// service hands over, or any other stream socket. Non-blocking; its reads,
// writes and waits are the shared descriptor loops, whose every wait Close
// ends at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/device/descriptor_io_posix.h"
#include "link/device/stream_device.h"
#include "platform/mutex.h"

namespace tarvel {
namespace {

class StreamDevice final : public SerialDevice {
 public:
  StreamDevice(int socket, std::unique_ptr<WakeEvent> wake, const LinkTiming& timing)
      : socket_(socket),
        wake_(std::move(wake)),
        readQuietGap_(timing.readQuietGapMs),
        writeStallLimit_(timing.writeStallLimitMs) {}
  ~StreamDevice() override { close(socket_); }
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
  bool closed() const { return wake_->Signalled(); }
  WakeableDescriptor Socket() const { return {socket_, DescriptorKind::Socket, *wake_}; }

  // The socket stays valid for the object's whole life; only the destructor
  // closes it, so no thread can touch a reused number.
  const int socket_;
  const std::unique_ptr<WakeEvent> wake_;
  const std::chrono::milliseconds readQuietGap_;
  const std::chrono::milliseconds writeStallLimit_;
  Mutex settingsMutex_;
  LineSettings settings_ GUARDED_BY(settingsMutex_);  // kept only to be reported back
  Mutex writeMutex_;                                  // the bytes of one Write go out together
};

ReadResult StreamDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  ReadLimits limits{DeadlineAfter(std::max(firstByteWaitMs, 0)), readQuietGap_};
  return ReadUntilQuiet(Socket(), buffer, count, limits);
}

WriteResult StreamDevice::Write(const uint8_t* data, size_t count) {
  MutexLock lock(writeMutex_);
  size_t written = 0;
  WriteEnd end = WriteUntilStalled(Socket(), data, count, writeStallLimit_, written);
  return {written, end == WriteEnd::Done, end == WriteEnd::HungUp ? "the peer hung up" : nullptr};
}

WaitResult StreamDevice::WaitForInput(int timeoutMs) {
  DeviceClock::time_point deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    Readiness wait = WaitOn(Socket(), POLLIN | POLLRDHUP, deadline);
    if (wait == Readiness::Woken) return WaitResult::Closed;
    if (wait == Readiness::TimedOut) return WaitResult::TimedOut;
    // The queue tells bytes from a hang-up that left nothing to read.
    std::optional<size_t> waiting = QueueStatus();
    if (!waiting) return WaitResult::Closed;
    if (*waiting > 0) return WaitResult::Ready;
    if (DeviceClock::now() >= deadline) return WaitResult::TimedOut;
  }
}

std::optional<size_t> StreamDevice::QueueStatus() {
  if (closed()) return std::nullopt;
  std::optional<size_t> waiting = BytesWaiting(socket_);
  if (!waiting || *waiting > 0) return waiting;
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
  MutexLock lock(settingsMutex_);
  settings = settings_;
  return true;
}

bool StreamDevice::WriteSettings(const LineSettings& settings) {
  if (closed()) return false;
  MutexLock lock(settingsMutex_);
  settings_ = settings;
  return true;
}

void StreamDevice::Close() {
  if (!wake_->Signal()) return;
  // The peer learns of the end now, not when the last holder lets go; the
  // descriptor itself stays until the destructor.
  shutdown(socket_, SHUT_RDWR);
}

}  // namespace

std::unique_ptr<SerialDevice> AdoptStreamSocket(int socket, std::string* why,
                                                const LinkTiming& timing) {
  int flags = fcntl(socket, F_GETFL);
  std::unique_ptr<WakeEvent> wake = flags < 0 ? nullptr : WakeEvent::Create();
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0 || !wake ||
      fcntl(socket, F_SETFD, FD_CLOEXEC) != 0) {
    *why = std::string("cannot take over the connection: ") + std::strerror(errno);
    close(socket);
    return nullptr;
  }
  return std::make_unique<StreamDevice>(socket, std::move(wake), timing);
}

}  // namespace tarvel
