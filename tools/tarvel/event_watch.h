// SPDX-License-Identifier: MIT
// Learning results the library's way: its ordered queue of events, and each
// call's own failure kept for the calling thread. The status text is never
// read: it holds one result at a time, and a peer's text can read like one.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "progress_display.h"
#include "progress_watch.h"
#include "stop_signal.h"

namespace tarvel_cli {

struct LinkEvent {
  LinkEvent() = default;
  LinkEvent(int kindOf, std::string textOf, std::string peerOf = "")
      : kind(kindOf), text(std::move(textOf)), peer(std::move(peerOf)) {}

  int kind = 0;  // TARVEL_EVENT_*
  std::string text;
  std::string peer;  // the Bluetooth peer's address it concerns, or empty
};

// The reason the calling thread's last library call failed, or nothing.
std::optional<std::string> CallFailure();
// When the calling thread's last library call failed, complains with its
// reason and returns true.
bool CallFailed();

// How the command shows an event: "RECV: <path>" (a file pushed, or the
// answer to a get request), "SENT: <path>", "FILE: <name>", "LIST: <pattern>",
// "FAIL: <reason>", "NOTE: <text>", and "TEXT: <text>" for what a peer wrote.
// The event's text passes through Shown, so that no text can drive the
// terminal, pass for a result or start a line of its own.
std::string Describe(const LinkEvent& event);

// Shows a notice of the library ("tarvel: note: <text>") on standard error,
// or with --json as a "notice" object on standard output.
void ShowNotice(const std::string& text);
// Takes every event queued so far, showing the notices among them when
// `showNotices`; the others belong to no call the command waits for.
void DiscardEvents(bool showNotices);

// While it lives, takes the events as they come and shows the notices among
// them when `showNotices`: for a library call that blocks the command (a send
// or request that waits for the line to be quiet), so that the wait is told
// when it begins. The other events are kept for Stop. It must not live beside
// an EventWatcher.
class NoticePrinter {
 public:
  explicit NoticePrinter(bool showNotices);
  ~NoticePrinter() { Stop(); }
  NoticePrinter(const NoticePrinter&) = delete;
  NoticePrinter& operator=(const NoticePrinter&) = delete;

  // Stops taking events, and returns those it took that were not notices.
  std::vector<LinkEvent> Stop();

 private:
  const bool showNotices_;
  std::atomic<bool> stop_{false};
  std::vector<LinkEvent> kept_;  // the thread's own until it is joined
  std::thread thread_;
};

enum class WaitEnd { Event, TimedOut, Stopped };

class EventWatcher {
 public:
  // `progress` shows the transfers that run while waiting; notices are shown
  // as they come when `showNotices`, and never returned.
  EventWatcher(ProgressSink& progress, bool showNotices);

  // Drops the events queued so far: they belong to no call this command waits
  // for the outcome of.
  void Discard();
  // Events taken from the queue meanwhile (by a NoticePrinter), which Next
  // returns first, in their order.
  void Replay(std::vector<LinkEvent> events);
  // Waits for the next event. Gives up after `idleLimit` with neither an event
  // nor transfer bytes moving; a zero limit waits until a stop signal. The
  // event that ends a transfer ends its display: a file saved or sent as
  // complete, a failure as stopped short.
  WaitEnd Next(std::chrono::milliseconds idleLimit, LinkEvent* event);

 private:
  void EndTransfer(int kind);

  std::deque<LinkEvent> replayed_;

  ProgressWatch progress_;
  const bool showNotices_;
  // Whether a transfer's start is to be noticed: with nothing to show, an idle
  // wait has no reason to wake until an event or a stop signal ends it.
  const bool showsProgress_;
  OnStopSignal endWaitOnStop_;
};

}  // namespace tarvel_cli
