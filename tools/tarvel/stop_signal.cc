// SPDX-License-Identifier: MIT
// What the stop signal wakes, alike on every system: waits on a condition
// variable, and the actions registered for it. The backends call
// NoteStopSignal from an ordinary thread, never from a signal handler.
#include <condition_variable>
#include <mutex>

#include "stop_signal.h"

namespace tarvel_cli {
namespace {

// Never destroyed: the thread that notes stop signals is detached, and may
// still be using them while the process exits and runs the destructors of
// statics.
std::mutex& StopLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::condition_variable& StopNoted() {
  static auto* noted = new std::condition_variable;
  return *noted;
}

// Guarded by StopLock.
bool stopNoted = false;
std::list<std::function<void()>>& Actions() {
  static auto* actions = new std::list<std::function<void()>>;
  return *actions;
}

}  // namespace

void NoteStopSignal() {
  std::lock_guard<std::mutex> hold(StopLock());
  if (stopNoted) return;
  stopNoted = true;
  for (auto& action : Actions()) action();
  StopNoted().notify_all();
}

bool WaitForStop(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(StopLock());
  return StopNoted().wait_for(hold, limit, [] { return stopNoted; });
}

OnStopSignal::OnStopSignal(std::function<void()> action) {
  std::lock_guard<std::mutex> hold(StopLock());
  if (stopNoted) action();
  registered_ = Actions().insert(Actions().end(), std::move(action));
}

OnStopSignal::~OnStopSignal() {
  std::lock_guard<std::mutex> hold(StopLock());
  Actions().erase(registered_);
}

}  // namespace tarvel_cli
