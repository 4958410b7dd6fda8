// SPDX-License-Identifier: MIT
// tarvel cable: a virtual null-modem cable for trying two devices without hardware.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cable.h"
#include "commands.h"
#include "link_session.h"
#include "stop_signal.h"

namespace tarvel_cli {
namespace {

int RunCable(const CommonOptions& options) {
  std::string error;
  std::unique_ptr<Cable> cable = Cable::Make(&error);
  if (!cable) return Complain(error);
  // The two ends alone on standard output, for scripts.
  std::printf("%s\n%s\n", cable->EndA().c_str(), cable->EndB().c_str());
  std::fflush(stdout);
  Tell(options, "cable between " + cable->EndA() + " and " + cable->EndB() +
                    "; for example, in two terminals:\n  tarvel --device " + cable->EndB() +
                    " listen\n  tarvel --device " + cable->EndA() +
                    " send FILE\nCtrl-C unplugs it.");
  cable->Relay(StopRequested);
  return 0;
}

}  // namespace

void AddCableCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("cable", "make a virtual null-modem cable and print its two ends");
  command->footer(
      "Makes two pseudo-terminals joined so that what is written to one end is read from\n"
      "the other, prints the two ends (one per line) and relays until Ctrl-C.");
  commands.push_back({command, [&options] { return RunCable(options); }});
}

}  // namespace tarvel_cli
