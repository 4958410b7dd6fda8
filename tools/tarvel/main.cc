// SPDX-License-Identifier: MIT
// tarvel: send, fetch, list and listen over a serial link with libtarvel.
#include <CLI/CLI.hpp>
#include <string>

#include "commands.h"
#include "common_options.h"
#include "json_lines.h"
#include "stop_signal.h"
#include "system.h"

int main(int argc, char** argv) {
  using namespace tarvel_cli;
  CLI::App app{
      "Moves files and short texts between two devices over a serial link\n"
      "(Bluetooth RFCOMM, USB serial, or a pty pair from `tarvel cable`).",
      "tarvel"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tarvel ") + TARVEL_VERSION);
  CommonOptions options;
  AddCommonOptions(app, options);

  CommandList commands;
  AddCommands(app, options, commands);
  AddJsonFlags(commands, options);
  // The common options may follow the subcommand too.
  for (Command& command : commands) {
    command.app->fallthrough();
    command.app->footer(
        command.app->get_footer() +
        "\n\nCommon options --port, --device, --root, --codepage, --quiet and --verbose "
        "may come\nbefore or after the subcommand: see tarvel --help.");
  }

  try {
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    // CLI11 takes the arguments last first, without the program name.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend() - 1);
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    // Help and version exit 0; every usage error exits 2.
    return app.exit(error) == 0 ? 0 : 2;
  }
  SetJsonLines(options.json);
  InstallStopSignals();
  for (Command& command : commands) {
    if (command.app->parsed()) return command.run();
  }
  return 1;
}
