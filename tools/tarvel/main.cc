// tarvel: send, fetch, list and listen over a serial link with libtarvel.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "common_options.h"
#include "stop_signal.h"

int main(int argc, char** argv) {
  using namespace tarvel_cli;
  CLI::App app{
      "Moves files and short texts between two devices over a serial link\n"
      "(Bluetooth RFCOMM, USB serial, or a pty pair from `tarvel cable`).",
      "tarvel"};
  app.require_subcommand(1);
  CommonOptions options;
  AddCommonOptions(app, options);

  CommandList commands;
  AddDemoCommand(app, options, commands);
  AddListenCommand(app, options, commands);
  AddSendCommand(app, options, commands);
  AddGetCommand(app, options, commands);
  AddListCommand(app, options, commands);
  AddTextCommand(app, options, commands);
  AddPollCommand(app, options, commands);
  AddRegisterCommand(app, options, commands);
  AddCableCommand(app, options, commands);
  AddAgentCommand(app, options, commands);
  // The common options may follow the subcommand too.
  for (Command& command : commands) {
    command.app->fallthrough();
    command.app->footer(command.app->get_footer() +
                        "\n\nCommon options --port, --device, --root, --codepage and --quiet "
                        "may come\nbefore or after the subcommand: see tarvel --help.");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version exit 0; every usage error exits 2.
    return app.exit(error) == 0 ? 0 : 2;
  }
  InstallStopSignals();
  for (Command& command : commands) {
    if (command.app->parsed()) return command.run();
  }
  return 1;
}
