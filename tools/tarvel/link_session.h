// SPDX-License-Identifier: MIT
// Steps every command shares: opening the port the options chose, reporting a
// failed library call, and the tool's own messages.
#pragma once

#include <string>

#include "common_options.h"
#include "stop_signal.h"

namespace tarvel_cli {

// Applies the options to the environment and opens the port; prints why and
// returns false when either fails.
bool OpenLink(const CommonOptions& options);

// Prints "tarvel: <message>" on standard error; returns the failure exit
// status 1. The message may hold what a peer sent: it passes through Shown.
int Complain(const std::string& message);

// Prints a line on standard error unless the options ask for quiet; through
// Shown, as Complain.
void Tell(const CommonOptions& options, const std::string& message);

// With --verbose, prints "tarvel: +<seconds> <message>" on standard error,
// the seconds counted from the command's start; through Shown, as Complain.
void Verbose(const CommonOptions& options, const std::string& message);

// While it lives, Ctrl-C closes the port, so that a library call blocked on
// the port (a long send) fails at once instead of running to its end.
class StopClosesPort {
 public:
  StopClosesPort();

 private:
  OnStopSignal onStop_;
};

}  // namespace tarvel_cli
