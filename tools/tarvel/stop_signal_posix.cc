// SPDX-License-Identifier: MIT
// Stop signals on POSIX systems: the handler records the signal and writes a
// byte to a pipe, and a thread of its own reads it and notes the stop.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include "stop_signal.h"

namespace tarvel_cli {
namespace {

// Written by the handler and read by every thread that waits: a volatile
// sig_atomic_t is safe only within one thread, a lock-free atomic across them.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler must not take a lock");

// The handler's byte reaches the thread that notes the stop through this
// pipe: a handler may write to a pipe, but must not take a lock.
int stopPipe[2] = {-1, -1};

void HandleStopSignal(int number) {
  int saved = errno;
  stopSignal.store(number);
  char byte = 1;
  if (write(stopPipe[1], &byte, 1) < 0) {
    // The pipe is full: a byte is waiting already.
  }
  errno = saved;
}

void NoteStopsFromThePipe() {
  char byte = 0;
  for (;;) {
    ssize_t got = read(stopPipe[0], &byte, 1);
    if (got == 1) {
      NoteStopSignal();
      return;
    }
    if (got < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

void InstallStopSignals() {
  if (pipe2(stopPipe, O_CLOEXEC) == 0) {
    fcntl(stopPipe[1], F_SETFL, O_NONBLOCK);
    std::thread(NoteStopsFromThePipe).detach();
  }
  struct sigaction action = {};
  action.sa_handler = HandleStopSignal;
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
