// SPDX-License-Identifier: MIT
// tarvel poll: take what has arrived on the port, without a listener.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "terminal_text.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// Polled reading is the host's own choice of moments: without a listener
// nothing arrives on its own, so the command reads again at this pace.
constexpr auto kPollEvery = std::chrono::milliseconds(100);

// One TarvelPortRead and what it took: a text, a file received in the polled
// header form, a failure, or no event when nothing was waiting. Notices that
// came meanwhile are shown.
LinkEvent ReadOnce(const CommonOptions& options) {
  TarvelLinkPortRead(CommandLink());
  std::optional<std::string> failure = CallFailure();
  if (failure) return {TARVEL_EVENT_FAILURE, *failure};
  std::vector<tarvel_wchar> text(2000);
  for (;;) {
    int kind = TarvelLinkNextEvent(CommandLink(), 0, text.data(), static_cast<int>(text.size()));
    if (kind != TARVEL_EVENT_NOTICE) return {kind, WideToUtf8(text.data())};
    if (!options.quiet) ShowNotice(WideToUtf8(text.data()));
  }
}

int Poll(const CommonOptions& options, const std::string& onClash, double waitSeconds) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  if (!UseDeviceRoot(&error)) return Complain(error);
  if (!UseClashPolicy(onClash, &error)) return Complain(error);
  if (!OpenLink(options)) return 1;
  DiscardEvents(!options.quiet);
  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
  LinkEvent taken = ReadOnce(options);
  while (taken.kind == TARVEL_EVENT_NONE && std::chrono::steady_clock::now() < until &&
         !WaitForStop(kPollEvery)) {
    taken = ReadOnce(options);
  }
  TarvelLinkPortClose(CommandLink());
  if (taken.kind == TARVEL_EVENT_FAILURE) return Complain(taken.text);
  if (taken.kind == TARVEL_EVENT_NONE) {
    if (waitSeconds > 0) return Complain("nothing arrived");
    Tell(options, "nothing waiting");
    return 0;
  }
  // What the peer sent, or the name it gave its file, as one line.
  std::printf("%s\n", Shown(taken.text).c_str());
  return 0;
}

}  // namespace

void AddPollCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("poll", "take what is waiting on the port, without a listener");
  command->footer(
      "Reads once what is waiting on the port and prints it: a text, or the name of a file\n"
      "sent with the polled header form (FILE: name size), saved beneath the device root\n"
      "(~/Tarvel unless --root or TARVEL_ROOT names one). Control characters in what\n"
      "it prints show as '?'.");
  auto waitSeconds = std::make_shared<double>(0);
  command
      ->add_option("--wait", *waitSeconds,
                   "keep polling up to this many seconds until something arrives")
      ->check(CLI::NonNegativeNumber);
  auto onClash = std::make_shared<std::string>();
  AddClashOption(*command, *onClash);
  commands.push_back({command, [&options, onClash, waitSeconds] {
                        return Poll(options, *onClash, *waitSeconds);
                      }});
}

}  // namespace tarvel_cli
