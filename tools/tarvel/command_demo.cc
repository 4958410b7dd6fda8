// SPDX-License-Identifier: MIT
// tarvel demo: two devices, each its own process with its own library state
// and device root, joined by a virtual cable, walk the demo's road.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "cable.h"
#include "commands.h"
#include "demo_files.h"
#include "demo_road.h"
#include "device_process.h"
#include "link_session.h"
#include "stop_signal.h"
#include "temporary_folder.h"

namespace tarvel_cli {
namespace {

constexpr long long kBigFileSize = 4LL * 1024 * 1024;

const char kNotes[] =
    "Notes kept on device B.\r\n"
    "Tarvel moves files and short texts between two devices over a serial link:\r\n"
    "a header announces name and size, the content follows in pieces of 200 bytes,\r\n"
    "and fixed pauses keep the two apart. Nothing is acknowledged.\r\n";

std::string ThisProgram() {
  std::error_code failure;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failure);
  return failure ? "tarvel" : self.string();
}

std::vector<std::string> AgentOptions(const CommonOptions& options, const std::string& end,
                                      const std::string& root) {
  std::vector<std::string> words{"--device", end, "--root", root, "--quiet"};
  if (!options.codepage.empty()) words.insert(words.end(), {"--codepage", options.codepage});
  return words;
}

bool PrepareRoots(const std::string& folder, DemoPlan* plan) {
  plan->rootA = folder + "/A";
  plan->rootB = folder + "/B";
  plan->bigFileSize = kBigFileSize;
  std::error_code failure;
  std::filesystem::create_directory(plan->rootA, failure);
  std::filesystem::create_directory(plan->rootB, failure);
  std::string notes;
  for (int i = 0; i < 20; ++i) notes += kNotes;
  return !failure && WriteRandomFile(plan->rootA + "/big.bin", plan->bigFileSize) &&
         WriteTextFile(plan->rootB + "/notes.txt", notes);
}

int Interrupted() {
  std::fprintf(stderr, "\ntarvel demo: interrupted; cleaned up\n");
  return StoppedExitStatus();
}

int Walk(const CommonOptions& options, const Cable& cable, const DemoPlan& plan,
         std::chrono::steady_clock::time_point started) {
  std::string error;
  std::string self = ThisProgram();
  auto a = DeviceProcess::Start("A", self, AgentOptions(options, cable.EndA(), plan.rootA), &error);
  if (!a) return StopRequested() ? Interrupted() : Complain(error);
  auto b = DeviceProcess::Start("B", self, AgentOptions(options, cable.EndB(), plan.rootB), &error);
  if (!b) return StopRequested() ? Interrupted() : Complain(error);
  std::printf("  A  root %s, port %s\n  B  root %s, port %s\n\n", plan.rootA.c_str(),
              cable.EndA().c_str(), plan.rootB.c_str(), cable.EndB().c_str());
  std::fflush(stdout);

  DemoRoad road(*a, *b, plan);
  bool walked = road.Walk();
  if (StopRequested()) return Interrupted();
  if (!walked) return 1;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("\nThe road took %.1f s.\n", seconds);
  return road.Verify() ? 0 : 1;
}

int Demo(const CommonOptions& options) {
  auto started = std::chrono::steady_clock::now();
  std::printf("Tarvel demo: two devices joined by a virtual null-modem cable\n");
  TemporaryFolder folder("tarvel-demo-");
  if (folder.path().empty()) return Complain("cannot make a temporary folder");
  DemoPlan plan;
  if (!PrepareRoots(folder.path(), &plan)) return Complain("cannot prepare the demo's files");
  std::string error;
  std::unique_ptr<Cable> cable = Cable::Make(&error);
  if (!cable) return Complain(error);
  RunningCable running(std::move(cable));
  return Walk(options, running.cable(), plan, started);
}

}  // namespace

void AddDemoCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("demo", "run two devices on a virtual cable and check every byte");
  command->footer(
      "Runs two devices joined by a virtual cable in a temporary folder: a text each way, a\n"
      "4 MiB file from A to B, a file fetched from B, a listing of B fetched and shown; then\n"
      "compares every file byte for byte. Exit status 0 when everything arrived intact.");
  commands.push_back({command, [&options] { return Demo(options); }});
}

}  // namespace tarvel_cli
