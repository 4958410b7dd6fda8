// Asking the peer for a file and waiting until the local listener has saved it.
#pragma once

#include <chrono>
#include <string>

#include "common_options.h"

namespace tarvel_cli {

// The listener must run (TarvelServer). Sends the get request for `remote`,
// to be saved at `local` (empty: under the requested name), and waits for the
// file. `idleLimit` is how long to wait with nothing arriving. Returns the exit
// status, having said what went wrong.
int FetchFile(const CommonOptions& options, const std::string& remote, const std::string& local,
              std::chrono::milliseconds idleLimit);

}  // namespace tarvel_cli
