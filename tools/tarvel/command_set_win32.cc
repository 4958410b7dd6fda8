// SPDX-License-Identifier: MIT
// No cable, demo or agent here: they make ptys and child processes.
#include "commands.h"

namespace tarvel_cli {

void AddCommands(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  AddListenCommand(app, options, commands);
  AddSendCommand(app, options, commands);
  AddGetCommand(app, options, commands);
  AddListCommand(app, options, commands);
  AddPullCommand(app, options, commands);
  AddTextCommand(app, options, commands);
  AddPollCommand(app, options, commands);
  AddRegisterCommand(app, options, commands);
}

}  // namespace tarvel_cli
