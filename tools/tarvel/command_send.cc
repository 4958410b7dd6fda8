// SPDX-License-Identifier: MIT
// tarvel send: push local files to the peer, one after another.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "fetch.h"
#include "file_compare.h"
#include "json_lines.h"
#include "link_session.h"
#include "progress_watch.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "temporary_folder.h"
#include "terminal_text.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

struct Outgoing {
  std::string local;
  std::string remote;
  bool named = false;  // the remote name was given, not made from the local one
};

struct SendArguments {
  std::vector<std::string> files;
  bool recursive = false;
  bool verify = false;
  double timeoutSeconds = 30;
};

// Before asking a file back: the peer takes the request only once it has
// finished with the file.
constexpr auto kVerifyPause = std::chrono::milliseconds(1500);

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
      files.back().named = true;
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

// The files beneath `folder`, by their path relative to it, in name order.
std::vector<std::filesystem::path> FilesBeneath(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code failure;
  for (std::filesystem::recursive_directory_iterator it(folder, failure), end;
       !failure && it != end; it.increment(failure)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored)) files.push_back(it->path().lexically_relative(folder));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// With -r, a folder stands for every file beneath it, each sent under its
// relative name with backslashes ("\sub\a.txt"), beneath the remote name
// given after the folder, if any.
std::vector<Outgoing> ExpandFolders(const std::vector<Outgoing>& given, const std::string& root) {
  std::vector<Outgoing> files;
  for (const Outgoing& file : given) {
    std::filesystem::path local = LocalFile(file.local, root);
    std::error_code failure;
    if (!std::filesystem::is_directory(local, failure)) {
      files.push_back(file);
      continue;
    }
    std::string prefix = file.named ? file.remote : std::string();
    while (!prefix.empty() && prefix.back() == '\\') prefix.pop_back();
    for (const std::filesystem::path& relative : FilesBeneath(local)) {
      std::string remote = relative.generic_u8string();
      std::replace(remote.begin(), remote.end(), '/', '\\');
      files.push_back({(local / relative).u8string(), prefix + "\\" + remote, true});
    }
  }
  return files;
}

std::string SizeOf(const std::filesystem::path& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(path, failure);
  return failure ? "?" : FormatBytes(static_cast<long long>(size));
}

// Why the local file at `local` cannot be read: the system's reason.
std::optional<std::string> NotReadable(const std::filesystem::path& local) {
  std::error_code failure;
  std::filesystem::file_status status = std::filesystem::status(local, failure);
  if (failure) return failure.message();
  if (std::filesystem::is_directory(status)) return "it is a folder";
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  errno = 0;
  if (!std::ifstream(local, std::ios::binary)) {
    return errno != 0 ? std::strerror(errno) : std::string("cannot be read");
  }
  return std::nullopt;
}

// Why `file` cannot be sent, before anything goes out; nothing when it can.
// The library refuses names that its link cannot carry only once it sends,
// when the files before may have gone already.
std::optional<std::string> Unsendable(const Outgoing& file, const std::string& root) {
  std::filesystem::path local = LocalFile(file.local, root);
  if (std::optional<std::string> why = NotReadable(local)) {
    return "cannot send " + file.local + ": " + *why;
  }
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

// Writes one file to the link; false, having said why, when it did not all go.
// Success means only that: the protocol acknowledges nothing.
bool WriteOne(const CommonOptions& options, const Outgoing& file) {
  TerminalProgress progress("sending " + file.local);
  std::optional<std::string> failure;
  {
    StopClosesPort interruptible;
    // A wait for the line to be quiet is told as it begins.
    NoticePrinter notices(!options.quiet);
    // Quiet, nothing is shown, and nothing needs to look at the progress.
    std::optional<BackgroundProgress> shown;
    if (!options.quiet) shown.emplace(progress);
    Verbose(options, "sending " + file.local + " as " + file.remote);
    auto start = std::chrono::steady_clock::now();
    TarvelLinkSendFile(CommandLink(), Utf8ToWide(file.local).c_str(),
                       Utf8ToWide(file.remote).c_str());
    failure = CallFailure();
    if (shown) shown->End(failure ? TransferEnd::Short : TransferEnd::Complete);
    auto took = std::chrono::steady_clock::now() - start;
    Verbose(options, "the call returned after " +
                         std::to_string(
                             std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                         " ms");
    // The call's own results: its file sent, or its failure.
    for (const LinkEvent& event : notices.Stop()) {
      if (JsonLines()) EmitJsonEvent(event);
    }
  }
  DiscardEvents(!options.quiet);
  if (StopRequested()) {
    Complain("interrupted while sending " + file.local);
    return false;
  }
  if (failure) {
    Complain(*failure);
    return false;
  }
  return true;
}

// Asks the peer for the file just sent, saved in `scratch`, and compares it
// with the local file; false, having said why, unless it came back identical.
bool VerifyOne(const CommonOptions& options, const SendArguments& arguments, const Outgoing& file,
               const std::filesystem::path& local, const std::string& scratch) {
  // The request must reach the peer once it is done with the file, not in
  // the middle of its last bytes.
  if (WaitForStop(kVerifyPause)) return false;
  std::string copy = scratch + "/copy";
  auto limit = std::chrono::milliseconds(static_cast<long long>(arguments.timeoutSeconds * 1000));
  Fetched fetched = AwaitFile(options, file.remote, copy, limit, "verifying " + file.remote);
  const std::string what = file.local + " as " + file.remote;
  if (fetched.status != 0) {
    if (!fetched.failure.empty()) Complain(what + " did not come back: " + fetched.failure);
    return false;
  }
  std::optional<std::string> difference = CompareFiles(local.u8string(), copy);
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::u8path(copy), ignored);
  if (difference) {
    Complain(what + " came back different: " + *difference);
    return false;
  }
  return true;
}

// Sends one file, and with --verify has it come back; false, having said why,
// when it did not go or did not come back identical.
bool SendOne(const CommonOptions& options, const SendArguments& arguments, const Outgoing& file,
             const std::string& root, const std::string& scratch) {
  if (!WriteOne(options, file)) return false;
  std::filesystem::path local = LocalFile(file.local, root);
  if (arguments.verify && !VerifyOne(options, arguments, file, local, scratch)) return false;
  if (!options.quiet && !JsonLines()) {
    std::string what = file.local + " as " + file.remote + " (" + SizeOf(local) + ")";
    std::string line = arguments.verify ? "verified: " + what + " came back identical"
                                        : "written to the link: " + what;
    std::printf("%s\n", Shown(line).c_str());
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

int Send(const CommonOptions& options, const SendArguments& arguments) {
  std::vector<Outgoing> files = PairArguments(arguments.files);
  std::string error;
  std::optional<std::string> root = RootForLocalFiles(options, files, &error);
  if (!root) return Complain(error);
  if (arguments.recursive) files = ExpandFolders(files, *root);
  if (files.empty()) return Complain("nothing to send: the folders hold no files");
  bool sendable = true;
  for (const Outgoing& file : files) {
    if (std::optional<std::string> why = Unsendable(file, *root)) {
      Complain(*why);
      sendable = false;
    }
  }
  if (!sendable) return Complain("nothing sent");
  std::optional<TemporaryFolder> scratch;
  if (arguments.verify) {
    scratch.emplace("tarvel-verify-");
    if (scratch->path().empty()) return Complain("cannot make a temporary folder for the copies");
  }
  if (!OpenLink(options)) return 1;
  // The copies come back as answers, which the listener saves.
  if (arguments.verify) TarvelLinkServer(CommandLink());
  const std::string scratchPath = scratch ? scratch->path() : std::string();
  for (const Outgoing& file : files) {
    if (!SendOne(options, arguments, file, *root, scratchPath)) {
      TarvelLinkPortClose(CommandLink());
      return StopRequested() ? StoppedExitStatus() : 1;
    }
  }
  TarvelLinkPortClose(CommandLink());
  return 0;
}

}  // namespace

void AddSendCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command = app.add_subcommand("send", "send local files to the peer, one after another");
  command->footer(
      "A device path (starting with \\) after a file names it on the peer; by default it is\n"
      "\\<file name>. Example: tarvel send photo.jpg '\\today.jpg' notes.txt\n"
      "Every file and name is checked before the first is sent: one that cannot go stops\n"
      "the command with nothing sent.\n"
      "The link acknowledges nothing: without --verify, success means every byte was\n"
      "written to the link, not that the peer saved it. With --verify, each file is asked\n"
      "back from the peer once sent (the peer must be listening) and compared byte for\n"
      "byte; exit status 0 only when every file came back identical. Each file then\n"
      "crosses the link twice, so this takes twice as long and more.\n"
      "With -r, a folder sends its files under their relative names, like \\sub\\a.txt;\n"
      "a Tarvel listener makes the missing folders when its settings allow it.");
  auto arguments = std::make_shared<SendArguments>();
  command
      ->add_option("LOCAL", arguments->files,
                   "local files, each optionally followed by its remote name")
      ->required();
  command->add_flag("-r,--recursive", arguments->recursive,
                    "send every file beneath a folder, named by its path relative to the\n"
                    "folder (\\sub\\a.txt), beneath the remote name given after the folder");
  command->add_flag("--verify", arguments->verify,
                    "ask each file back from the peer and compare it byte for byte");
  command
      ->add_option("--timeout", arguments->timeoutSeconds,
                   "with --verify: seconds to wait for a copy with nothing arriving")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  commands.push_back({command, [&options, arguments] { return Send(options, *arguments); }});
}

}  // namespace tarvel_cli
