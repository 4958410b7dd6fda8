// SPDX-License-Identifier: MIT
// What a link tells its host: the status text that shows its last result, the
// queue of events that records every result, failure and notice, and the
// progress of the transfer under way.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "link/events.h"
#include "platform/mutex.h"
#include "wire/wire_format.h"

namespace tarvel {

class Reporting {
 public:
  // The address of the Bluetooth peer that a result concerns now (UTF-8), or
  // the empty text when it concerns no one peer.
  using PeerOf = std::function<std::string()>;
  explicit Reporting(PeerOf currentPeer);
  Reporting(const Reporting&) = delete;
  Reporting& operator=(const Reporting&) = delete;

  // The status text. Writers replace it whole, under the status lock. The
  // pointer is the text in place, for the C interface; it stays the same for
  // the object's whole life.
  const char16_t* StatusPointer() const { return status_; }
  std::u16string Status() const EXCLUDES(statusLock_);
  // Replaces the status with a text that is no result (a blank, a polled
  // reader's interim name); nothing is queued. A text that would not fit the
  // status is refused, and the status says so.
  void SetStatus(std::u16string_view text) EXCLUDES(statusLock_);
  // A result: the status shows it ("RECV: <path>", a peer's text, …) and the
  // event queue records it with its kind and the current peer.
  void Report(EventKind kind, std::u16string_view text) EXCLUDES(statusLock_);
  // Sets "FAIL: <reason>", queues the failure, and makes it the calling
  // thread's last failure.
  void Fail(std::string_view reason) EXCLUDES(statusLock_);
  // Queues a notice for the host: neither a result nor a failure, so the
  // status keeps showing the last result.
  void Notify(std::string_view text);
  EventQueue& Events() { return events_; }

  // Bytes done and announced of the transfer in progress; 0 and 0 when none.
  void SetProgress(long long done, long long total) EXCLUDES(progressLock_);
  void Progress(long long& done, long long& total) const EXCLUDES(progressLock_);

 private:
  const PeerOf currentPeer_;

  mutable Mutex statusLock_;
  // Read without the lock only through StatusPointer, by the C interface,
  // whose hosts read it between their own calls.
  char16_t status_[wire::kStatusCapacity] GUARDED_BY(statusLock_) = {};
  EventQueue events_;

  mutable Mutex progressLock_;
  long long progressDone_ GUARDED_BY(progressLock_) = 0;
  long long progressTotal_ GUARDED_BY(progressLock_) = 0;
};

}  // namespace tarvel
