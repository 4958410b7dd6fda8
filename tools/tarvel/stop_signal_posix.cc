#include "stop_signal.h"

#include <csignal>

namespace tarvel_cli {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int number) {
  stopSignal = number;
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
  return stopSignal != 0;
}

int StoppedExitStatus() {
  return 128 + (stopSignal != 0 ? stopSignal : SIGINT);
}

}  // namespace tarvel_cli
