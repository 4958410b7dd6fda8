// SPDX-License-Identifier: MIT
// tarvel register: write the incoming Bluetooth serial port settings.
#include <CLI/CLI.hpp>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
#include "system.h"
#include "tarvel.h"

namespace tarvel_cli {
namespace {

int Register(const CommonOptions& options) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  TarvelLinkPortCreate(CommandLink());
  if (CallFailed()) return 1;
  Tell(options, "registered the incoming serial port settings in " + RegistryLocation());
  if (TarvelLinkIncomingPort(CommandLink()) != 0) {
    Tell(options, "registered the incoming serial port with the system's Bluetooth service");
  }
  return 0;
}

}  // namespace

void AddRegisterCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("register", "write the incoming Bluetooth serial port settings");
  command->footer(
      "Writes Server, Authentication, Encryption, RemoteDCB, KeepDCD and Port to the registry\n"
      "file: TARVEL_REGISTRY, or $XDG_CONFIG_HOME/tarvel/registry.reg. Opens no port.");
  commands.push_back({command, [&options] { return Register(options); }});
}

}  // namespace tarvel_cli
