// SPDX-License-Identifier: MIT
// What the POSIX devices (a tty, a stream socket) share: a wake-up that Close
// signals, a wait on a descriptor that the wake-up ends, and the read and
// write loops that bound a transfer by the link's read quiet gap and write
// stall limit. The descriptor is non-blocking; every wait is a poll.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "link/device/deadline.h"
#include "link/device/serial_device.h"

namespace tarvel {

// An eventfd that a device signals once, when it closes. Every wait watches
// it, so a thread blocked in a read, a write or a wait for input leaves at
// once; it is never drained, so every later wait ends at once as well.
class WakeEvent {
 public:
  // Nothing, with errno set, when the system has no eventfd to spare.
  static std::unique_ptr<WakeEvent> Create();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // True for the call that signalled it, false for every later one.
  bool Signal();
  bool Signalled() const { return signalled_.load(std::memory_order_acquire); }
  int fd() const { return fd_; }
  // Waits `pause`, or less once signalled.
  void Pause(std::chrono::milliseconds pause) const;

 private:
  explicit WakeEvent(int fd) : fd_(fd) {}
  const int fd_;
  std::atomic<bool> signalled_{false};
};

// How the descriptor of a device behaves where a tty and a socket differ.
enum class DescriptorKind {
  // read/write; a read of 0 is "nothing yet" (no VMIN), and once the line has
  // hung up it stays 0 for good, so a hang-up outranks readiness.
  Tty,
  // recv/send without SIGPIPE; a read of 0 is the peer's hang-up, which the
  // read itself tells, so readiness outranks a hang-up.
  Socket,
};

// A device's descriptor with the wake-up that ends its waits.
struct WakeableDescriptor {
  int fd;
  DescriptorKind kind;
  const WakeEvent& wake;
};

enum class Readiness {
  Ready,     // one of the events asked for
  HungUp,    // a hang-up or an error
  TimedOut,  // neither before the deadline
  Woken,     // the wake-up was signalled (or the wait itself failed)
};

// Waits until the descriptor reports one of `events`, a hang-up or an error,
// or the deadline passes, or the wake-up is signalled.
Readiness WaitOn(const WakeableDescriptor& device, short events, DeviceClock::time_point deadline);

struct ReadLimits {
  DeviceClock::time_point firstByteDeadline;
  std::chrono::milliseconds quietGap;
  // Lets bytes that come at a slow line's rate gather between reads (a tty's).
  bool gatherSlowBytes = false;
};

// Reads up to `count` bytes: waits for a first byte until firstByteDeadline,
// then returns as soon as `count` have come, or with fewer once the line has
// been quiet for quietGap. Bytes already taken are reported even when the
// device fails afterwards; the next read then reports the failure.
ReadResult ReadUntilQuiet(const WakeableDescriptor& device, uint8_t* buffer, size_t count,
                          const ReadLimits& limits);

enum class WriteEnd {
  Done,     // every byte went out
  Stalled,  // no byte went out for the whole stall limit
  HungUp,   // the line or the peer hung up
  Failed,   // the device failed
  Closed,   // the wake-up was signalled
};

// Writes all of `data`, or until no byte has gone out for `stallLimit`;
// `written` counts what went out.
WriteEnd WriteUntilStalled(const WakeableDescriptor& device, const uint8_t* data, size_t count,
                           std::chrono::milliseconds stallLimit, size_t& written);

// The bytes waiting to be read; nothing when the query fails.
std::optional<size_t> BytesWaiting(int fd);

}  // namespace tarvel
