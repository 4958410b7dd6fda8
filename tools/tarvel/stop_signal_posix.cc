#include "stop_signal.h"

#include <atomic>
#include <csignal>

namespace tarvel_cli {
namespace {

// Written by the handler and read by every thread that waits: a volatile
// sig_atomic_t is safe only within one thread, a lock-free atomic across them.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler must not take a lock");

void OnStopSignal(int number) {
  stopSignal.store(number);
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A closed pipe to an ended child shows as a failed write, not a dead tool.
  std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
  return stopSignal.load() != 0;
}

int StoppedExitStatus() {
  int number = stopSignal.load();
  return 128 + (number != 0 ? number : SIGINT);
}

}  // namespace tarvel_cli
