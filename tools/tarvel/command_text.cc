// SPDX-License-Identifier: MIT
// tarvel text: write one short text to the peer.
#include <CLI/CLI.hpp>
#include <memory>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

int Text(const CommonOptions& options, const std::string& message) {
  {
    // The text may wait for the line to be quiet: that is told as it begins,
    // and a stop signal ends it.
    NoticePrinter notices(!options.quiet);
    StopClosesPort interruptible;
    if (!OpenLink(options)) return 1;
    TarvelLinkPortSend(CommandLink(), Utf8ToWide(message).c_str());
  }
  if (StopRequested()) return StoppedExitStatus();
  if (CallFailed()) return 1;
  DiscardEvents(!options.quiet);
  TarvelLinkPortClose(CommandLink());
  Tell(options, "sent the text");
  return 0;
}

}  // namespace

void AddTextCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("text", "send a short text, which the peer shows");
  command->footer(
      "MESSAGE is at most 199 bytes in the link's code page. A message starting with FILE:,\n"
      "LIST: or GILE: reaches the peer as that request.");
  auto message = std::make_shared<std::string>();
  command->add_option("MESSAGE", *message, "the text")->required();
  commands.push_back({command, [&options, message] { return Text(options, *message); }});
}

}  // namespace tarvel_cli
