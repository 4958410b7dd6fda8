// SPDX-License-Identifier: MIT
// tarvel listen: register, open, run the listener and show every result.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "json_lines.h"
#include "link_session.h"
#include "stop_signal.h"
#include "system.h"
#include "tarvel.h"
#include "terminal_text.h"

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
// tty works without, so a failure here is a warning. Whether the system's
// Bluetooth service is missing: it took no port and said no other reason.
bool RegisterIncomingPort(const CommonOptions& options) {
  Tell(options, "registering the incoming serial port: its settings go to " + RegistryLocation());
  TarvelLinkPortCreate(CommandLink());
  std::optional<std::string> reason = CallFailure();
  if (reason) Complain("warning: " + *reason);
  if (TarvelLinkIncomingPort(CommandLink()) != 0) {
    Tell(options, "registered the incoming serial port with the system's Bluetooth service");
  }
  return !reason && TarvelLinkIncomingPort(CommandLink()) == 0 &&
         !MissingBluetoothService().empty();
}

// Port 0 is the registered incoming port unless a device is named for it.
bool OnIncomingPort(const CommonOptions& options) {
  return options.port == 0 && !DeviceNamed(options) && TarvelLinkIncomingPort(CommandLink()) != 0;
}

// Opens the port; without Bluetooth service and with no tty bound for the
// port, says that rather than the missing tty.
bool OpenListenPort(const CommonOptions& options, bool serviceMissing) {
  if (serviceMissing && DeviceProblem(DescribePort(options))) {
    Complain(MissingBluetoothService() + ", and no " + DescribePort(options) +
             " is bound: start it (sudo systemctl start bluetooth) and pair the peer, or name "
             "a serial device with --device");
    return false;
  }
  return OpenLink(options);
}

// Each result with the peer it concerns, when it came from a Bluetooth peer:
// "12:00:00.000 00:1A:7D:DA:71:13 RECV: photo.jpg".
void Show(const LinkEvent& event) {
  if (JsonLines()) return EmitJsonEvent(event);
  std::string peer = event.peer.empty() ? "" : Shown(event.peer) + " ";
  std::printf("%s %s%s\n", TimeStamp().c_str(), peer.c_str(), Describe(event).c_str());
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

// Peers served at once on the incoming Bluetooth port unless told otherwise.
constexpr int kDefaultPeers = 8;

struct ListenArguments {
  bool once = false;
  int peers = kDefaultPeers;
  bool peersGiven = false;  // --peers was on the command line
  std::string onClash;
  bool createFolders = true;
  bool createFoldersGiven = false;  // --create-folders was on the command line
};

// Whether a pushed file's missing folders are made: --create-folders when
// given, else TARVEL_CREATE_FOLDERS when set, else yes. Goes to
// the link's create_folders.
bool UseCreateFolders(const ListenArguments& arguments) {
  std::string value = LinkSetting("create_folders");
  bool on = arguments.createFolders;
  if (!arguments.createFoldersGiven && !value.empty()) {
    on = value == "1" || value == "true" || value == "yes" || value == "on";
  }
  std::string ignored;
  SetLinkSetting("create_folders", on ? "1" : "0", &ignored);
  return on;
}

// How many Bluetooth peers the incoming port serves at once: --peers when
// given, else TARVEL_PEERS when set, else kDefaultPeers. Goes to the link's
// peers; nothing, saying why, when the library refuses the number.
std::optional<int> UsePeers(const ListenArguments& arguments, std::string* error) {
  std::string value = LinkSetting("peers");
  if (arguments.peersGiven || value.empty()) value = std::to_string(arguments.peers);
  if (!SetLinkSetting("peers", value, error)) return std::nullopt;
  return std::stoi(value);
}

int Listen(const CommonOptions& options, const ListenArguments& arguments) {
  const bool once = arguments.once;
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  std::optional<std::string> root = UseDeviceRoot(&error);
  if (!root) return Complain(error);
  const bool createFolders = UseCreateFolders(arguments);
  const std::string& onClash = arguments.onClash;
  std::optional<std::string> clash = UseClashPolicy(onClash, &error);
  if (!clash) return Complain(error);
  std::optional<int> peers = UsePeers(arguments, &error);
  if (!peers) return Complain(error);
  // A tty named for the port has nothing to do with Bluetooth registration.
  bool serviceMissing = !DeviceNamed(options) && RegisterIncomingPort(options);
  bool incoming = OnIncomingPort(options);
  if (!OpenListenPort(options, serviceMissing)) return 1;
  TarvelLinkServer(CommandLink());
  Tell(options, "device root: " + *root);
  Tell(options, "a pushed file whose name is taken: " + *clash);
  Tell(options, std::string("a pushed file's missing folders: ") +
                    (createFolders ? "made beneath the device root" : "not made, the file fails"));
  if (incoming && *peers > 1) {
    Tell(options, "waiting for a Bluetooth peer on the incoming serial port (up to " +
                      std::to_string(*peers) + " at once); Ctrl-C stops");
  } else if (incoming) {
    Tell(options, "waiting for a Bluetooth peer on the incoming serial port; Ctrl-C stops");
  } else {
    Tell(options, "listening on " + DescribePort(options) + "; Ctrl-C stops");
  }
  int exitStatus = ShowResults(options, once);
  TarvelLinkPortClose(CommandLink());
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
      "A file the peer pushes under a name that is taken replaces the old file, or with\n"
      "--on-clash rename goes in as \"name (1).ext\" (the result shows that name), or with\n"
      "--on-clash skip is dropped, the old file kept, and a failure says so. The answer\n"
      "to this host's own get request always replaces its save path.\n"
      "A pushed file named beneath a folder (\\sub\\a.txt) gets its missing folders made\n"
      "beneath the device root, unless --create-folders=false.\n"
      "On the incoming Bluetooth port up to --peers peers (8 unless TARVEL_PEERS says\n"
      "otherwise) are served at once, each on its own connection with its own listing;\n"
      "one more is refused until one leaves, and --peers 1 serves one at a time. Each\n"
      "result of a peer shows its address before it (with --json as \"peer\").\n"
      "With --once it exits 0 after the first received file, 1 after a failure, and\n"
      "128 + the signal's number when stopped before.");
  auto arguments = std::make_shared<ListenArguments>();
  command->add_flag("--once", arguments->once, "exit after the first received file");
  CLI::Option* peers =
      command
          ->add_option("--peers", arguments->peers,
                       "Bluetooth peers served at once on the incoming port (default 8)")
          ->check(CLI::Range(1, 64));
  AddClashOption(*command, arguments->onClash);
  CLI::Option* createFolders = command->add_flag(
      "--create-folders", arguments->createFolders,
      "make the missing folders of a pushed file beneath the device root (the default;\n"
      "--create-folders=false refuses such a file)");
  commands.push_back({command, [&options, arguments, createFolders, peers] {
                        arguments->createFoldersGiven = createFolders->count() > 0;
                        arguments->peersGiven = peers->count() > 0;
                        return Listen(options, *arguments);
                      }});
}

}  // namespace tarvel_cli
