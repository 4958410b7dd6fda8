// SPDX-License-Identifier: MIT
// The ordered record of results: every result the status text shows is also
// queued here, so that a host learns each one even when two happen between its
// looks, and can tell a result from a peer's text that merely reads like one.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mutex.h"

namespace tarvel {

// The kinds, numbered as the C interface exposes them.
enum class EventKind : int {
  Received = 1,     // a file was saved; the text is its local path
  Sent = 2,         // a host's file went out; the text is its local path
  GetAnswered = 3,  // the peer's get request was answered; the requested name
  Listed = 4,       // the peer's list request was handled; the pattern
  PeerText = 5,     // the listener took a text; the text
  PolledText = 6,   // the polled reader took a text; the text
  PolledFile = 7,   // the polled reader saved a file; its name
  Failure = 8,      // something failed; the reason
  Dropped = 9,      // events were lost to a full queue; their count
  Answer = 10,      // the answer to the host's own get request was saved; its save path
  Notice = 11,      // neither a result nor a failure, for the host to show; the text
};

struct Event {
  EventKind kind = EventKind::Failure;
  std::u16string text;
  // The Bluetooth address of the peer the event concerns (UTF-8), or empty
  // when it concerns no one peer.
  std::string peer = {};
};

// A bounded queue shared by every thread of a device state. When it is full
// the oldest event goes, and the next one taken says how many went.
class EventQueue {
 public:
  static constexpr size_t kCapacity = 256;

  // Queues an event; one queue that forwards passes it on instead.
  void Push(EventKind kind, std::u16string_view text, std::string_view peer = {});
  // Every event pushed from now on goes to `target` instead, as concerning
  // `peer`: a gateway's peer link reports to the gateway's queue. Set before
  // anything pushes; `target` outlives this queue.
  void ForwardTo(EventQueue* target, std::string peer);
  // Takes the next event, waiting up to `timeout` for one (a negative timeout
  // waits without limit); nothing when none came.
  std::optional<Event> Next(std::chrono::milliseconds timeout);
  // Ends a Next that is waiting, with nothing; when none is waiting, the next
  // one to wait ends at once. A host's thread that stops waits on the queue
  // from another thread, with no time-out to look at a flag of its own.
  void Wake();

 private:
  std::optional<Event> TakeLocked() REQUIRES(lock_);

  Mutex lock_;
  CondVar arrived_;
  std::deque<Event> events_ GUARDED_BY(lock_);
  size_t dropped_ GUARDED_BY(lock_) = 0;
  bool woken_ GUARDED_BY(lock_) = false;  // a Wake that no Next has ended on yet
  EventQueue* forward_ GUARDED_BY(lock_) = nullptr;
  std::string forwardPeer_ GUARDED_BY(lock_);
};

// The reason the calling thread's last call of the library failed, kept per
// thread as an error code is, so that a host learns its own call's outcome
// whatever the listener has reported since.
void ClearLastFailure();
void SetLastFailure(std::u16string_view reason);
std::optional<std::u16string> LastFailure();

}  // namespace tarvel
