// SPDX-License-Identifier: MIT
// Asking the peer for a file and waiting until the local listener has saved it.
#pragma once

#include <chrono>
#include <string>

#include "common_options.h"

namespace tarvel_cli {

struct Fetched {
  int status = 0;         // the exit status: 0 once the answer is saved
  std::string failure;    // why not, when the status is 1; empty when stopped
  bool timedOut = false;  // nothing came within the idle limit
};

// The listener must run (TarvelServer). Sends the get request for `remote`,
// to be saved at `local` (empty: under the requested name), and waits for the
// answer to that request: only the library's answer event with that save
// path counts, never a file the peer pushes unasked, whatever its name, nor a
// text that reads like a result. `idleLimit` is how long to wait with nothing
// arriving. `label` names the transfer in its progress.
Fetched AwaitFile(const CommonOptions& options, const std::string& remote, const std::string& local,
                  std::chrono::milliseconds idleLimit, const std::string& label);

// AwaitFile, saying what went wrong; returns the exit status.
int FetchFile(const CommonOptions& options, const std::string& remote, const std::string& local,
              std::chrono::milliseconds idleLimit);

}  // namespace tarvel_cli
