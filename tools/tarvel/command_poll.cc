// tarvel poll: take what has arrived on the port, without a listener.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <thread>

#include "commands.h"
#include "link_session.h"
#include "status_watch.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// One TarvelPortRead: the text that arrived, the name of a file received in
// the polled header form, or the empty text when nothing was waiting.
std::string ReadOnce() {
  TarvelPortRead();
  return CurrentStatus();
}

int Poll(const CommonOptions& options, double waitSeconds) {
  if (!OpenLink(options)) return 1;
  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
  std::string status = ReadOnce();
  while (status.empty() && std::chrono::steady_clock::now() < until && !StopRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    status = ReadOnce();
  }
  TarvelPortClose();
  if (ReportedFailure(status)) return 1;
  if (status.empty()) {
    if (waitSeconds > 0) return Complain("nothing arrived");
    Tell(options, "nothing waiting");
    return 0;
  }
  std::printf("%s\n", status.c_str());
  return 0;
}

}  // namespace

void AddPollCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("poll", "take what is waiting on the port, without a listener");
  command->footer(
      "Reads once what is waiting on the port and prints it: a text, or the name of a file\n"
      "sent with the polled header form (FILE: name size).");
  auto waitSeconds = std::make_shared<double>(0);
  command
      ->add_option("--wait", *waitSeconds,
                   "keep polling up to this many seconds until something arrives")
      ->check(CLI::NonNegativeNumber);
  commands.push_back({command, [&options, waitSeconds] { return Poll(options, *waitSeconds); }});
}

}  // namespace tarvel_cli
