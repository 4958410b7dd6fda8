// tarvel listen: register, open, run the listener and show every result.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "link_session.h"
#include "status_watch.h"
#include "stop_signal.h"
#include "system.h"
#include "tarvel.h"

namespace tarvel_cli {
namespace {

std::string TimeStamp() {
  using namespace std::chrono;
  system_clock::time_point now = system_clock::now();
  std::tm local = LocalTime(system_clock::to_time_t(now));
  auto milliseconds = duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<long>(milliseconds % 1000));
  return text;
}

// The incoming-port settings matter to a Bluetooth stack that reads them; a
// tty works without, so a failure here is a warning.
void RegisterIncomingPort() {
  TarvelPortCreate();
  std::string status = CurrentStatus();
  if (IsFailure(status)) Complain("warning: " + FailureReason(status));
}

int Listen(const CommonOptions& options, bool once) {
  RegisterIncomingPort();
  if (!OpenLink(options)) return 1;
  TarvelServer();
  TerminalProgress progress("receiving");
  NullProgress silent;
  StatusWatcher watcher(options.quiet ? static_cast<ProgressSink&>(silent) : progress);
  watcher.Blank();
  Tell(options, "listening on " + DescribePort(options) + "; Ctrl-C stops");
  std::string status;
  int exitStatus = 0;
  for (;;) {
    WaitEnd end = watcher.Next(std::chrono::milliseconds(0), &status);
    if (end != WaitEnd::NewStatus) break;
    std::printf("%s %s\n", TimeStamp().c_str(), status.c_str());
    std::fflush(stdout);
    // A failure goes to standard error too; the listener itself carries on.
    if (ReportedFailure(status) && once) {
      exitStatus = 1;
      break;
    }
    if (once && StartsWith(status, "RECV: ")) break;
    // A repeat of the same text must show as new too.
    watcher.Blank();
  }
  TarvelPortClose();
  return exitStatus;
}

}  // namespace

void AddListenCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("listen", "receive files, answer requests and show texts until Ctrl-C");
  command->footer(
      "Registers the incoming port, opens it and runs the listener: saves incoming files,\n"
      "answers the peer's get and list requests, and prints each result with a time stamp.");
  auto once = std::make_shared<bool>(false);
  command->add_flag("--once", *once, "exit after the first received file");
  commands.push_back({command, [&options, once] { return Listen(options, *once); }});
}

}  // namespace tarvel_cli
