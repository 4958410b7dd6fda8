// Ctrl-C and SIGTERM as a request to stop: long-running commands check it in
// their waits, unwind, and clean up what they made.
#pragma once

namespace tarvel_cli {

// Installs the handlers. Blocking calls are interrupted (no SA_RESTART).
void InstallStopSignals();
bool StopRequested();
// The exit status for a job cut short by a signal: 128 + its number.
int StoppedExitStatus();

}  // namespace tarvel_cli
