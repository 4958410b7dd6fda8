// SPDX-License-Identifier: MIT
// tarvel list: ask the peer to list its files, and with --fetch show the list.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>

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

// The peer reads one message per poll: the get request must reach it only
// after it has read and handled the list request.
constexpr auto kListingPause = std::chrono::milliseconds(1500);

struct ListArguments {
  std::string pattern;
  bool fetch = false;
  double timeoutSeconds = 30;
};

// The listing is "name\r\ndate\r\n\r\n" per entry, in the link's code page.
// It comes from the peer: its lines are printed with local line ends, each
// through Shown, so that a stray carriage return or escape in an entry shows
// as '?' and cannot redraw what is already printed.
void PrintListing(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string text = CodePageToUtf8(bytes, LinkCodePage());
  std::string lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    if (length > 0 && text[end - 1] == '\r') --length;
    lines += Shown(std::string_view(text).substr(start, length)) + "\n";
    start = end + 1;
  }
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  std::fflush(stdout);
}

// One "entry" object per listed entry: its name and its time as listed.
void EmitListing(const std::string& path) {
  for (const ListingEntry& entry : ReadListing(path)) {
    JsonRecord record;
    record.kind = "entry";
    record.text = entry.name;
    record.path = entry.name;
    record.modified = entry.time;
    EmitJson(std::move(record));
  }
}

int Fetch(const CommonOptions& options, const ListArguments& arguments) {
  Verbose(options, "waiting " + std::to_string(kListingPause.count()) +
                       " ms for the peer to write its listing");
  if (WaitForStop(kListingPause)) return StoppedExitStatus();
  TemporaryFolder scratch("tarvel-list-");
  if (scratch.path().empty()) return Complain("cannot make a temporary folder for the listing");
  std::string local = scratch.path() + "/Tarvel.txt";
  auto limit = std::chrono::milliseconds(static_cast<long long>(arguments.timeoutSeconds * 1000));
  int status = FetchFile(options, kListingFile, local, limit);
  if (status == 0 && JsonLines()) {
    EmitListing(local);
  } else if (status == 0) {
    PrintListing(local);
  }
  return status;
}

int List(const CommonOptions& options, const ListArguments& arguments) {
  {
    // The request may wait for the line to be quiet: that is told as it
    // begins, and a stop signal ends it. What else comes meanwhile belongs to
    // no call this command waits for.
    NoticePrinter notices(!options.quiet);
    StopClosesPort interruptible;
    if (!OpenLink(options)) return 1;
    if (arguments.fetch) TarvelLinkServer(CommandLink());
    TarvelLinkListFiles(CommandLink(), Utf8ToWide(arguments.pattern).c_str());
  }
  if (StopRequested()) return StoppedExitStatus();
  if (CallFailed()) return 1;
  int status = 0;
  if (arguments.fetch) {
    status = Fetch(options, arguments);
  } else {
    DiscardEvents(!options.quiet);
    Tell(options, "asked the peer to list " + arguments.pattern + " into its " + kListingFile);
  }
  TarvelLinkPortClose(CommandLink());
  return status;
}

}  // namespace

void AddListCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("list", "ask the peer for a listing, and print it with --fetch");
  command->footer(
      "Asks the peer to list the entries matching PATTERN (like '\\*.*') into its\n"
      "\\Tarvel.txt; with --fetch, fetches that file and prints it.");
  auto arguments = std::make_shared<ListArguments>();
  command->add_option("PATTERN", arguments->pattern, "search pattern on the peer")->required();
  command->add_flag("--fetch", arguments->fetch, "fetch the peer's \\Tarvel.txt and print it");
  command
      ->add_option("--timeout", arguments->timeoutSeconds,
                   "with --fetch: seconds to wait with nothing arriving")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  commands.push_back({command, [&options, arguments] { return List(options, *arguments); }});
}

}  // namespace tarvel_cli
