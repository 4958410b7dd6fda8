// tarvel send: push local files to the peer, one after another.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "link_session.h"
#include "progress_watch.h"
#include "status_watch.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

struct Outgoing {
  std::string local;
  std::string remote;
};

bool IsDevicePath(const std::string& argument) {
  return !argument.empty() && argument[0] == '\\';
}

// "\name.ext": the peer stores the file in its device root under its own name.
std::string DefaultRemoteName(const std::string& local) {
  size_t slash = local.find_last_of("/\\");
  return "\\" + (slash == std::string::npos ? local : local.substr(slash + 1));
}

// LOCAL [REMOTE] LOCAL [REMOTE]...: a device path (leading '\') right after a
// local file names that file on the peer; every other argument is a local file.
std::vector<Outgoing> PairArguments(const std::vector<std::string>& arguments) {
  std::vector<Outgoing> files;
  bool remoteOpen = false;
  for (const std::string& argument : arguments) {
    if (remoteOpen && IsDevicePath(argument)) {
      files.back().remote = argument;
      remoteOpen = false;
    } else {
      files.push_back({argument, DefaultRemoteName(argument)});
      remoteOpen = true;
    }
  }
  return files;
}

std::string SizeOf(const std::string& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(std::filesystem::u8path(path), failure);
  return failure ? "?" : FormatBytes(static_cast<long long>(size));
}

bool SendOne(const CommonOptions& options, const Outgoing& file) {
  TerminalProgress progress("sending " + file.local);
  NullProgress silent;
  BlankStatus();
  {
    StopClosesPort interruptible;
    BackgroundProgress shown(options.quiet ? static_cast<ProgressSink&>(silent) : progress);
    TarvelSendFile(Utf8ToWide(file.local).c_str(), Utf8ToWide(file.remote).c_str());
  }
  if (StopRequested()) {
    Complain("interrupted while sending " + file.local);
    return false;
  }
  std::string status = CurrentStatus();
  if (ReportedFailure(status)) return false;
  if (!StartsWith(status, "SENT: ")) {
    Complain("no confirmation that " + file.local + " was sent (status: " + status + ")");
    return false;
  }
  if (!options.quiet) {
    std::printf("sent %s as %s (%s)\n", file.local.c_str(), file.remote.c_str(),
                SizeOf(file.local).c_str());
    std::fflush(stdout);
  }
  return true;
}

int Send(const CommonOptions& options, const std::vector<std::string>& arguments) {
  if (!OpenLink(options)) return 1;
  for (const Outgoing& file : PairArguments(arguments)) {
    if (!SendOne(options, file)) return StopRequested() ? StoppedExitStatus() : 1;
  }
  TarvelPortClose();
  return 0;
}

}  // namespace

void AddSendCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("send", "send local files to the peer, one after another");
  command->footer(
      "A device path (starting with \\) after a file names it on the peer; by default it is\n"
      "\\<file name>. Example: tarvel send photo.jpg '\\today.jpg' notes.txt");
  auto arguments = std::make_shared<std::vector<std::string>>();
  command
      ->add_option("LOCAL", *arguments, "local files, each optionally followed by its remote name")
      ->required();
  commands.push_back({command, [&options, arguments] { return Send(options, *arguments); }});
}

}  // namespace tarvel_cli
