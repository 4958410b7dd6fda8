// SPDX-License-Identifier: MIT
// tarvel: send, fetch, list and listen over a serial link with libtarvel.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "common_options.h"
#include "json_lines.h"
#include "plain_usage.h"
#include "settings.h"
#include "stop_signal.h"
#include "system.h"

int main(int argc, char** argv) {
  using namespace tarvel_cli;
  CLI::App app{
      "Moves files and short texts between two devices over a serial link\n"
      "(Bluetooth RFCOMM, USB serial, or a pty pair from `tarvel cable`).",
      "tarvel"};
  // No command is a usage error, said below: --print-config needs none.
  app.require_subcommand(0, 1);
  app.footer(
      "--device bluetooth:ADDRESS[@CHANNEL] connects to a paired Bluetooth peer; without\n"
      "--device, listen serves peers on the incoming Bluetooth serial port (bluetoothd).\n"
      "Settings: /etc/tarvel.conf, then ~/.config/tarvel/config, as lines `key = value`\n"
      "naming any long option (device = /dev/ttyUSB0); the command line wins.\n"
      "Files: ~/Tarvel (device root), ~/.config/tarvel/registry.reg, /run/lock/tarvel.\n"
      "Services: tarvel-listen.service, tarvel-listen@TTY.service. See tarvel(1).");
  app.set_version_flag("--version", std::string("tarvel ") + TARVEL_VERSION);
  CommonOptions options;
  AddCommonOptions(app, options);
  Settings settings;
  settings.AddOptions(app);

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
  settings.NoteDefaults(app);
  MakeUsagePlain(app);

  std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  arguments.erase(arguments.begin());
  if (std::optional<int> refused = CheckCommandWord(app, arguments)) return *refused;
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
  } catch (const CLI::ParseError& error) {
    return ReportUsageError(app, error);
  }
  std::string error;
  if (!settings.Load(app, CommonSettingHooks(options), &error)) {
    std::fprintf(stderr, "tarvel: %s\n", error.c_str());
    return 2;
  }
  if (settings.PrintRequested()) {
    settings.Print(app, CommonSettingHooks(options));
    return 0;
  }
  SetJsonLines(options.json);
  InstallStopSignals();
  for (Command& command : commands) {
    if (command.app->parsed()) return command.run();
  }
  return UsageError("name a command, such as listen or send (tarvel --help lists them)");
}
