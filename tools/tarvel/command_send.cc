// tarvel send: push local files to the peer, one after another.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>

#include "commands.h"
#include "event_watch.h"
#include "link_session.h"
#include "progress_watch.h"
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

// Where the local file `local` is: a device path (leading '\\') beneath the
// device root `root`, else the path itself.
std::filesystem::path LocalFile(const std::string& local, const std::string& root) {
  if (!IsDevicePath(local)) return std::filesystem::u8path(local);
  std::string relative = local.substr(1);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::u8path(root) / std::filesystem::u8path(relative);
}

std::string SizeOf(const std::filesystem::path& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(path, failure);
  return failure ? "?" : FormatBytes(static_cast<long long>(size));
}

// Why `file` cannot be sent, before anything goes out; nothing when it can.
// The library refuses names that its link cannot carry only once it sends,
// when the files before may have gone already.
std::optional<std::string> Unsendable(const Outgoing& file, const std::string& root) {
  std::filesystem::path local = LocalFile(file.local, root);
  std::error_code failure;
  if (!std::filesystem::is_regular_file(local, failure)) {
    return "cannot send " + file.local + ": not a readable file";
  }
  if (!std::ifstream(local, std::ios::binary)) return "cannot send " + file.local + ": unreadable";
  std::string_view name(file.remote);
  if (!name.empty() && name[0] == '\\') name.remove_prefix(1);
  if (name.empty()) return "cannot send " + file.local + ": the remote name is empty";
  for (char c : file.remote) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      return "cannot send " + file.local + ": the remote name holds control characters";
    }
  }
  return std::nullopt;
}

bool SendOne(const CommonOptions& options, const Outgoing& file, const std::string& root) {
  TerminalProgress progress("sending " + file.local);
  std::optional<std::string> failure;
  {
    StopClosesPort interruptible;
    // Quiet, nothing is shown, and nothing needs to look at the progress.
    std::optional<BackgroundProgress> shown;
    if (!options.quiet) shown.emplace(progress);
    TarvelSendFile(Utf8ToWide(file.local).c_str(), Utf8ToWide(file.remote).c_str());
    failure = CallFailure();
  }
  if (StopRequested()) {
    Complain("interrupted while sending " + file.local);
    return false;
  }
  if (failure) {
    Complain(*failure);
    return false;
  }
  if (!options.quiet) {
    std::printf("sent %s as %s (%s)\n", file.local.c_str(), file.remote.c_str(),
                SizeOf(LocalFile(file.local, root)).c_str());
    std::fflush(stdout);
  }
  return true;
}

// The device root, when a local file is named by a device path; else empty.
std::optional<std::string> RootForLocalFiles(const CommonOptions& options,
                                             const std::vector<Outgoing>& files,
                                             std::string* error) {
  bool needed = std::any_of(files.begin(), files.end(),
                            [](const Outgoing& file) { return IsDevicePath(file.local); });
  if (!needed) return std::string();
  if (!ApplyCommonOptions(options, error)) return std::nullopt;
  return UseDeviceRoot(error);
}

int Send(const CommonOptions& options, const std::vector<std::string>& arguments) {
  std::vector<Outgoing> files = PairArguments(arguments);
  std::string error;
  std::optional<std::string> root = RootForLocalFiles(options, files, &error);
  if (!root) return Complain(error);
  bool sendable = true;
  for (const Outgoing& file : files) {
    if (std::optional<std::string> why = Unsendable(file, *root)) {
      Complain(*why);
      sendable = false;
    }
  }
  if (!sendable) return Complain("nothing sent");
  NoticePrinter notices;
  if (!OpenLink(options)) return 1;
  for (const Outgoing& file : files) {
    if (!SendOne(options, file, *root)) return StopRequested() ? StoppedExitStatus() : 1;
  }
  TarvelPortClose();
  return 0;
}

}  // namespace

void AddSendCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("send", "send local files to the peer, one after another");
  command->footer(
      "A device path (starting with \\) after a file names it on the peer; by default it is\n"
      "\\<file name>. Example: tarvel send photo.jpg '\\today.jpg' notes.txt\n"
      "Every file and name is checked before the first is sent: one that cannot go stops\n"
      "the command with nothing sent.");
  auto arguments = std::make_shared<std::vector<std::string>>();
  command
      ->add_option("LOCAL", *arguments, "local files, each optionally followed by its remote name")
      ->required();
  commands.push_back({command, [&options, arguments] { return Send(options, *arguments); }});
}

}  // namespace tarvel_cli
