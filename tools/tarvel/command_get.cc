// SPDX-License-Identifier: MIT
// tarvel get: ask the peer for one of its files and wait until it is saved.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "command_link.h"
#include "commands.h"
#include "fetch.h"
#include "json_lines.h"
#include "link_session.h"
#include "tarvel.h"
#include "terminal_text.h"

namespace tarvel_cli {
namespace {

struct GetArguments {
  std::string remote;
  std::string local;
  double timeoutSeconds = 30;
};

int Get(const CommonOptions& options, const GetArguments& arguments) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  if (!UseDeviceRoot(&error)) return Complain(error);
  if (!OpenLink(options)) return 1;
  // The listener saves the answer, and reports it as the answer to this
  // request: a file the peer pushes meanwhile is no answer, whatever its name.
  TarvelLinkServer(CommandLink());
  auto limit = std::chrono::milliseconds(static_cast<long long>(arguments.timeoutSeconds * 1000));
  int status = FetchFile(options, arguments.remote, arguments.local, limit);
  if (status == 0 && !options.quiet && !JsonLines()) {
    std::string saved = arguments.local.empty() ? arguments.remote : arguments.local;
    std::printf("received %s as %s\n", Shown(arguments.remote).c_str(), Shown(saved).c_str());
  }
  TarvelLinkPortClose(CommandLink());
  return status;
}

}  // namespace

void AddGetCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("get", "fetch one of the peer's files");
  command->footer(
      "Asks the peer for its file REMOTE (a device path like '\\notes.txt') and saves it at\n"
      "LOCAL; without LOCAL it is saved under the requested name beneath the device root\n"
      "(~/Tarvel unless --root or TARVEL_ROOT names one).\n"
      "The peer must be listening. Exit status 0 only when the file saved at LOCAL is the\n"
      "answer to this request; a file the peer pushes meanwhile is saved under its own name\n"
      "beneath the device root and shown, and does not end the wait.");
  auto arguments = std::make_shared<GetArguments>();
  command->add_option("REMOTE", arguments->remote, "the file on the peer")->required();
  command->add_option("LOCAL", arguments->local, "where to save it");
  command
      ->add_option("--timeout", arguments->timeoutSeconds,
                   "seconds to wait with nothing arriving before giving up")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  commands.push_back({command, [&options, arguments] { return Get(options, *arguments); }});
}

}  // namespace tarvel_cli
