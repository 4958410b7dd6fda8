// SPDX-License-Identifier: MIT
// Ctrl-C, Ctrl-Break and a closing console as a request to stop. The handler
// runs on a thread of its own; returning TRUE keeps the process alive so the
// command can unwind and close its port.
#include <windows.h>

#include <atomic>
#include <csignal>

#include "stop_signal.h"

namespace tarvel_cli {
namespace {

std::atomic<int> stopSignal{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  stopSignal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  NoteStopSignal();  // the handler's own thread is an ordinary one
  return TRUE;
}

}  // namespace

void InstallStopSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() {
  return stopSignal != 0;
}

int StoppedExitStatus() {
  int number = stopSignal;
  return 128 + (number != 0 ? number : SIGINT);
}

}  // namespace tarvel_cli
