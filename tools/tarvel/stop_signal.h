// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM as a request to stop: long-running commands check it in
// their waits, unwind, and clean up what they made.
#pragma once

#include <chrono>
#include <functional>
#include <list>

namespace tarvel_cli {

// Installs the handlers. Blocking calls are interrupted (no SA_RESTART).
void InstallStopSignals();
bool StopRequested();
// The exit status for a job cut short by a signal: 128 + its number.
int StoppedExitStatus();

// Waits up to `limit` for a stop signal; true when one came.
bool WaitForStop(std::chrono::milliseconds limit);

// While it lives, `action` runs once, on the thread that notes stop signals,
// when one comes (at once when one came already). The destructor waits for an
// action that is running.
class OnStopSignal {
 public:
  explicit OnStopSignal(std::function<void()> action);
  ~OnStopSignal();
  OnStopSignal(const OnStopSignal&) = delete;
  OnStopSignal& operator=(const OnStopSignal&) = delete;

 private:
  std::list<std::function<void()>>::iterator registered_;
};

// Called by the system's backend, on an ordinary thread, once a stop signal
// has come: wakes the waits and runs the actions.
void NoteStopSignal();

}  // namespace tarvel_cli
