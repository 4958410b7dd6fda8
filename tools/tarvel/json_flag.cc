// SPDX-License-Identifier: MIT
// --json, on the commands whose results a program may want to read.
#include <CLI/CLI.hpp>
#include <set>
#include <string>

#include "commands.h"

namespace tarvel_cli {

void AddJsonFlags(CommandList& commands, CommonOptions& options) {
  static const std::set<std::string> kReporting = {"listen", "send", "get", "list", "pull"};
  for (Command& command : commands) {
    if (kReporting.count(command.app->get_name()) == 0) continue;
    command.app->add_flag("--json", options.json,
                          "one JSON object per line for each result on standard output, and\n"
                          "nothing else there (see JSON OUTPUT in tarvel(1))");
  }
}

}  // namespace tarvel_cli
