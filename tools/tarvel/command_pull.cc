// SPDX-License-Identifier: MIT
// tarvel pull: fetch every entry of a peer's listing into a local folder.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "command_link.h"
#include "commands.h"
#include "event_watch.h"
#include "fetch.h"
#include "json_lines.h"
#include "link_session.h"
#include "listing.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "temporary_folder.h"
#include "terminal_text.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

namespace fs = std::filesystem;

// The peer reads one message per poll: the get request for the listing must
// reach it only after it has written the listing.
constexpr auto kListingPause = std::chrono::milliseconds(1500);

struct PullArguments {
  std::string pattern;
  std::string folder = ".";
  bool newer = false;
  double timeoutSeconds = 30;  // for the listing
  double skipSeconds = 5;      // for each entry
};

struct Tally {
  int arrived = 0;
  int skipped = 0;
  int failed = 0;
};

std::chrono::milliseconds Milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// The folder part of the pattern, backslash included: "\docs\" of
// "\docs\*.txt". The listing names its entries without it.
std::string PatternFolder(const std::string& pattern) {
  size_t cut = pattern.find_last_of('\\');
  return cut == std::string::npos ? std::string() : pattern.substr(0, cut + 1);
}

// The lexical checks of a listed name; nothing when it may be used beneath
// the folder.
std::optional<std::string> UnsafeName(const std::string& name) {
  if (name.empty()) return "an empty name";
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "a name with control characters";
  }
  if (name[0] == '\\' || name[0] == '/') return "an absolute name";
  if (name.find(':') != std::string::npos) return "a name with a drive or a colon";
  for (size_t start = 0; start <= name.size();) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
      return "a name that leads out of the folder";
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Where a listed entry goes: beneath `folder` under the peer's name, also
// once symbolic links are followed; nothing, saying why, when it would not.
std::optional<fs::path> ConfinedLocal(const fs::path& folder, const std::string& name,
                                      std::string* why) {
  if (std::optional<std::string> unsafe = UnsafeName(name)) {
    *why = *unsafe;
    return std::nullopt;
  }
  std::string relative = name;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  fs::path local = (folder / fs::u8path(relative)).lexically_normal();
  std::error_code baseFailure;
  std::error_code localFailure;
  fs::path base = fs::weakly_canonical(folder, baseFailure);
  fs::path resolved = fs::weakly_canonical(local, localFailure);
  auto mismatch = std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
  if (baseFailure || localFailure || mismatch.first != base.end() || resolved == base) {
    *why = "a name that leads out of the folder";
    return std::nullopt;
  }
  return local;
}

// Whether the local copy at `local` is at least as new as the listed time.
bool AsNewAsListed(const fs::path& local, const std::string& listed) {
  std::optional<std::time_t> when = ListedTime(listed);
  std::error_code failure;
  fs::file_time_type written = fs::last_write_time(local, failure);
  if (!when || failure) return false;
  using namespace std::chrono;
  auto system = time_point_cast<system_clock::duration>(written - fs::file_time_type::clock::now() +
                                                        system_clock::now());
  return system_clock::to_time_t(system) >= *when;
}

void Say(const std::string& line, const std::string& path) {
  if (JsonLines()) {
    JsonRecord record;
    record.kind = "notice";
    record.text = line;
    if (!path.empty()) record.path = path;
    return EmitJson(std::move(record));
  }
  // A skip and the count are results: they show also when quiet.
  std::printf("%s\n", Shown(line).c_str());
  std::fflush(stdout);
}

void Skip(const std::string& name, const std::string& why, Tally* tally) {
  ++tally->skipped;
  Say("skipped " + name + ": " + why, name);
}

// Fetches one listed entry. False when stopped.
bool PullEntry(const CommonOptions& options, const PullArguments& arguments, const fs::path& folder,
               const ListingEntry& entry, Tally* tally) {
  std::string why;
  std::optional<fs::path> local = ConfinedLocal(folder, entry.name, &why);
  if (!local) {
    Skip(entry.name, why, tally);
    return true;
  }
  if (arguments.newer && AsNewAsListed(*local, entry.time)) {
    Skip(entry.name, "the local copy is as new as " + entry.time, tally);
    return true;
  }
  std::error_code failure;
  fs::create_directories(local->parent_path(), failure);
  const std::string remote = PatternFolder(arguments.pattern) + entry.name;
  Fetched fetched = AwaitFile(options, remote, local->u8string(),
                              Milliseconds(arguments.skipSeconds), "receiving " + entry.name);
  if (StopRequested()) return false;
  if (fetched.status == 0) {
    ++tally->arrived;
    if (!JsonLines() && !options.quiet) {
      std::printf("received %s as %s\n", Shown(remote).c_str(), Shown(local->u8string()).c_str());
    }
  } else if (fetched.timedOut) {
    Skip(entry.name,
         "nothing came within " + SecondsText(arguments.skipSeconds) +
             " s (a folder, or unreadable)",
         tally);
  } else {
    ++tally->failed;
    Complain(remote + " did not arrive: " + fetched.failure);
  }
  return true;
}

// Asks for the listing and fetches it; the entries, or nothing having said why.
std::optional<std::vector<ListingEntry>> FetchListing(const CommonOptions& options,
                                                      const PullArguments& arguments) {
  {
    NoticePrinter notices(!options.quiet);
    StopClosesPort interruptible;
    TarvelLinkListFiles(CommandLink(), Utf8ToWide(arguments.pattern).c_str());
  }
  if (StopRequested() || CallFailed()) return std::nullopt;
  Verbose(options, "waiting " + std::to_string(kListingPause.count()) +
                       " ms for the peer to write its listing");
  if (WaitForStop(kListingPause)) return std::nullopt;
  TemporaryFolder scratch("tarvel-pull-");
  if (scratch.path().empty()) {
    Complain("cannot make a temporary folder for the listing");
    return std::nullopt;
  }
  std::string listing = scratch.path() + "/Tarvel.txt";
  if (FetchFile(options, kListingFile, listing, Milliseconds(arguments.timeoutSeconds)) != 0) {
    return std::nullopt;
  }
  return ReadListing(listing);
}

int Pull(const CommonOptions& options, const PullArguments& arguments) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  if (!UseDeviceRoot(&error)) return Complain(error);
  std::error_code failure;
  fs::path folder = fs::absolute(fs::u8path(arguments.folder), failure);
  fs::create_directories(folder, failure);
  if (failure || !fs::is_directory(folder, failure)) {
    return Complain("cannot use " + arguments.folder + " as the folder to pull into");
  }
  if (!OpenLink(options)) return 1;
  TarvelLinkServer(CommandLink());
  std::optional<std::vector<ListingEntry>> entries = FetchListing(options, arguments);
  Tally tally;
  bool stopped = !entries;
  for (size_t at = 0; entries && at < entries->size() && !stopped; ++at) {
    stopped = !PullEntry(options, arguments, folder, (*entries)[at], &tally);
  }
  TarvelLinkPortClose(CommandLink());
  if (StopRequested()) return StoppedExitStatus();
  if (!entries) return 1;
  Say("pulled " + std::to_string(tally.arrived) + " of " + std::to_string(entries->size()) +
          " entries into " + folder.u8string() + ", " + std::to_string(tally.skipped) +
          " skipped, " + std::to_string(tally.failed) + " failed",
      "");
  return tally.failed == 0 ? 0 : 1;
}

}  // namespace

void AddPullCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("pull", "fetch every file of a peer's listing into a local folder");
  command->footer(
      "Asks the peer to list PATTERN (like '\\docs\\*.txt'), fetches its listing, then\n"
      "fetches each listed entry into DIR (default the current folder) under the peer's\n"
      "name. Names that would lead out of DIR (.., absolute, drives) are skipped; so is\n"
      "an entry that does not come within --skip-after seconds (a folder, or a file the\n"
      "peer cannot read), and with --newer one whose local copy is at least as new as\n"
      "the listed time. Each skip says so. Exit status 0 only when every entry not\n"
      "skipped arrived; the last line gives the counts.");
  auto arguments = std::make_shared<PullArguments>();
  command->add_option("PATTERN", arguments->pattern, "search pattern on the peer")->required();
  command->add_option("DIR", arguments->folder, "local folder to fetch into")
      ->capture_default_str();
  command->add_flag("--newer", arguments->newer,
                    "skip entries whose local copy is at least as new as the listing says");
  command
      ->add_option("--timeout", arguments->timeoutSeconds,
                   "seconds to wait for the listing with nothing arriving")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  command
      ->add_option("--skip-after", arguments->skipSeconds,
                   "seconds to wait for an entry with nothing arriving before skipping it")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  commands.push_back({command, [&options, arguments] { return Pull(options, *arguments); }});
}

}  // namespace tarvel_cli
