// Learning results the library's way: its ordered queue of events, and each
// call's own failure kept for the calling thread. The status text is never
// read: it holds one result at a time, and a peer's text can read like one.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "progress_display.h"
#include "progress_watch.h"
#include "stop_signal.h"

namespace tarvel_cli {

struct LinkEvent {
  int kind = 0;  // TARVEL_EVENT_*
  std::string text;
};

// The reason the calling thread's last library call failed, or nothing.
std::optional<std::string> CallFailure();
// When the calling thread's last library call failed, complains with its
// reason and returns true.
bool CallFailed();

// How the command shows an event: "RECV: <path>", "SENT: <path>", "FILE:
// <name>", "LIST: <pattern>", "FAIL: <reason>", and "TEXT: <text>" for what a
// peer wrote, with control characters shown as '?', so that no text can pass
// for a result or start a line of its own.
std::string Describe(const LinkEvent& event);
// A peer's text with its control characters shown as '?'.
std::string Printable(const std::string& text);

// Prints a notice of the library (a wait and its reason) on standard error.
void ShowNotice(const std::string& text);

// While it lives, shows the library's notices as they come, for a command
// that blocks in a library call (a send that waits for the line to be quiet)
// and reads its results from the call's own failure. It takes every event
// from the queue, so it must not live beside an EventWatcher.
class NoticePrinter {
 public:
  NoticePrinter();
  ~NoticePrinter();
  NoticePrinter(const NoticePrinter&) = delete;
  NoticePrinter& operator=(const NoticePrinter&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

enum class WaitEnd { Event, TimedOut, Stopped };

class EventWatcher {
 public:
  // `progress` shows the transfers that run while waiting.
  explicit EventWatcher(ProgressSink& progress);

  // Drops the events queued so far: they belong to no call this command waits
  // for the outcome of. Notices among them are shown.
  void Discard();
  // Waits for the next event, showing the notices that come meanwhile. Gives up after `idleLimit`
  // with neither an event nor transfer bytes moving; a zero limit waits until a stop signal.
  WaitEnd Next(std::chrono::milliseconds idleLimit, LinkEvent* event);

 private:
  ProgressWatch progress_;
  // Whether a transfer's start is to be noticed: with nothing to show, an idle
  // wait has no reason to wake until an event or a stop signal ends it.
  const bool showsProgress_;
  OnStopSignal endWaitOnStop_;
};

}  // namespace tarvel_cli
