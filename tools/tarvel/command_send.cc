// tarvel send: push local files to the peer, one after another.
#include <CLI/CLI.hpp>
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

std::string SizeOf(const std::string& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(std::filesystem::u8path(path), failure);
  return failure ? "?" : FormatBytes(static_cast<long long>(size));
}

// Why `file` cannot be sent, before anything goes out; nothing when it can.
// The library refuses names that its link cannot carry only once it sends,
// when the files before may have gone already.
std::optional<std::string> Unsendable(const Outgoing& file) {
  std::filesystem::path local = std::filesystem::u8path(file.local);
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

// A local path as the user typed it is relative to the working directory; the
// library would take it beneath the device root.
std::string FromWorkingDirectory(const std::string& path) {
  std::error_code failure;
  std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::u8path(path), failure);
  return failure ? path : absolute.u8string();
}

bool SendOne(const CommonOptions& options, const Outgoing& file) {
  TerminalProgress progress("sending " + file.local);
  std::optional<std::string> failure;
  {
    StopClosesPort interruptible;
    // Quiet, nothing is shown, and nothing needs to look at the progress.
    std::optional<BackgroundProgress> shown;
    if (!options.quiet) shown.emplace(progress);
    TarvelSendFile(Utf8ToWide(FromWorkingDirectory(file.local)).c_str(),
                   Utf8ToWide(file.remote).c_str());
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
                SizeOf(file.local).c_str());
    std::fflush(stdout);
  }
  return true;
}

int Send(const CommonOptions& options, const std::vector<std::string>& arguments) {
  std::vector<Outgoing> files = PairArguments(arguments);
  bool sendable = true;
  for (const Outgoing& file : files) {
    if (std::optional<std::string> why = Unsendable(file)) {
      Complain(*why);
      sendable = false;
    }
  }
  if (!sendable) return Complain("nothing sent");
  if (!OpenLink(options)) return 1;
  for (const Outgoing& file : files) {
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
