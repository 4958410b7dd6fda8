// SPDX-License-Identifier: MIT
// What the stop signal wakes, alike on every system: waits on a condition
// variable, and the actions registered for it. The backends call
// NoteStopSignal from an ordinary thread, never from a signal handler.
#include "stop_signal.h"

#include "platform/mutex.h"

namespace tarvel_cli {
namespace {

// Never destroyed: the thread that notes stop signals is detached, and may
// still be using them while the process exits and runs the destructors of
// statics.
tarvel::Mutex& StopLock() {
  static auto* lock = new tarvel::Mutex;
  return *lock;
}

// Announces, under StopLock, that the stop signal came.
tarvel::CondVar& StopNoted() {
  static auto* noted = new tarvel::CondVar;
  return *noted;
}

bool stopNoted GUARDED_BY(StopLock()) = false;
std::list<std::function<void()>>& Actions() REQUIRES(StopLock()) {
  static auto* actions = new std::list<std::function<void()>>;
  return *actions;
}

}  // namespace

void NoteStopSignal() {
  tarvel::MutexLock hold(StopLock());
  if (stopNoted) return;
  stopNoted = true;
  for (auto& action : Actions()) action();
  StopNoted().NotifyAll();
}

bool WaitForStop(std::chrono::milliseconds limit) {
  const auto deadline = tarvel::CondVar::Clock::now() + limit;
  tarvel::MutexLock hold(StopLock());
  while (!stopNoted) {
    if (!StopNoted().WaitUntil(StopLock(), deadline)) return stopNoted;
  }
  return true;
}

OnStopSignal::OnStopSignal(std::function<void()> action) {
  tarvel::MutexLock hold(StopLock());
  if (stopNoted) action();
  registered_ = Actions().insert(Actions().end(), std::move(action));
}

OnStopSignal::~OnStopSignal() {
  tarvel::MutexLock hold(StopLock());
  Actions().erase(registered_);
}

}  // namespace tarvel_cli
