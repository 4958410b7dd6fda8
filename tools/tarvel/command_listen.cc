// tarvel listen: register, open, run the listener and show every result.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
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
void RegisterIncomingPort(const CommonOptions& options) {
  Tell(options, "registering the incoming serial port: its settings go to " + RegistryLocation());
  TarvelPortCreate();
  if (std::optional<std::string> reason = CallFailure()) Complain("warning: " + *reason);
  if (TarvelIncomingPort() != 0) {
    Tell(options, "registered the incoming serial port with the system's Bluetooth service");
  }
}

// Port 0 is the registered incoming port unless a device is named for it.
bool OnIncomingPort(const CommonOptions& options) {
  const char* named = std::getenv("TARVEL_COM0");
  bool deviceNamed = !options.device.empty() || (named != nullptr && *named != '\0');
  return options.port == 0 && !deviceNamed && TarvelIncomingPort() != 0;
}

void Show(const LinkEvent& event) {
  std::printf("%s %s\n", TimeStamp().c_str(), Describe(event).c_str());
  std::fflush(stdout);
}

// Shows every result until a stop signal, or with `once` until the first file
// received or the first failure. Returns the exit status.
int ShowResults(const CommonOptions& options, bool once) {
  TerminalProgress progress("receiving");
  NullProgress silent;
  EventWatcher watcher(options.quiet ? static_cast<ProgressSink&>(silent) : progress,
                       !options.quiet);
  for (;;) {
    LinkEvent event;
    // Stopped before the file it waits for, --once has not done its job.
    if (watcher.Next(std::chrono::milliseconds(0), &event) != WaitEnd::Event) {
      return once ? StoppedExitStatus() : 0;
    }
    Show(event);
    // A failure goes to standard error too; the listener itself carries on.
    if (event.kind == TARVEL_EVENT_FAILURE) {
      Complain(event.text);
      if (once) return 1;
    }
    if (once && event.kind == TARVEL_EVENT_RECEIVED) return 0;
  }
}

int Listen(const CommonOptions& options, bool once) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  std::optional<std::string> root = UseDeviceRoot(&error);
  if (!root) return Complain(error);
  RegisterIncomingPort(options);
  bool incoming = OnIncomingPort(options);
  if (!OpenLink(options)) return 1;
  TarvelServer();
  Tell(options, "device root: " + *root);
  if (incoming) {
    Tell(options, "waiting for a Bluetooth peer on the incoming serial port; Ctrl-C stops");
  } else {
    Tell(options, "listening on " + DescribePort(options) + "; Ctrl-C stops");
  }
  int exitStatus = ShowResults(options, once);
  TarvelPortClose();
  return exitStatus;
}

}  // namespace

void AddListenCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("listen", "receive files, answer requests and show texts until Ctrl-C");
  command->footer(
      "Registers the incoming port, opens it and runs the listener: saves incoming files\n"
      "beneath the device root (~/Tarvel unless --root or TARVEL_ROOT names one), answers\n"
      "the peer's get and list requests, and prints each result with a time stamp; a text\n"
      "the peer sent shows as TEXT: <text>. Without --device, and with the incoming port\n"
      "registered with BlueZ, port 0 is that incoming Bluetooth serial port.\n"
      "With --once it exits 0 after the first received file, 1 after a failure, and\n"
      "128 + the signal's number when stopped before.");
  auto once = std::make_shared<bool>(false);
  command->add_flag("--once", *once, "exit after the first received file");
  commands.push_back({command, [&options, once] { return Listen(options, *once); }});
}

}  // namespace tarvel_cli
