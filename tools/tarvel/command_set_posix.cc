#include "commands.h"

namespace tarvel_cli {

void AddCommands(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  AddDemoCommand(app, options, commands);
  AddListenCommand(app, options, commands);
  AddSendCommand(app, options, commands);
  AddGetCommand(app, options, commands);
  AddListCommand(app, options, commands);
  AddPullCommand(app, options, commands);
  AddTextCommand(app, options, commands);
  AddPollCommand(app, options, commands);
  AddRegisterCommand(app, options, commands);
  AddCableCommand(app, options, commands);
  AddAgentCommand(app, options, commands);
}

}  // namespace tarvel_cli
