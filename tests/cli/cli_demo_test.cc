// SPDX-License-Identifier: MIT
// The demo run whole, as a newcomer runs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "tarvel_process.h"

namespace tarvel::testing {
namespace {

std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1) + 1);
}

// Processes whose command line mentions `text`: the demo's devices carry their
// root, inside the demo's temporary folder, on theirs.
int ProcessesMentioning(const std::string& text) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    // Processes come and go meanwhile: one that is gone reads as empty.
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    std::string commandLine((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (commandLine.find(text) != std::string::npos) ++count;
  }
  return count;
}

TEST(CliDemo, WalksTheRoadAndEndsWithTheVerdict) {
  TempDir home;
  Finished demo = RunTarvel({"demo"}, {{"TMPDIR", home.path()}}, std::chrono::seconds(60));
  ASSERT_EQ(demo.status, 0) << demo.output << demo.error;
  EXPECT_TRUE(std::regex_match(LastLine(demo.output),
                               std::regex(R"(All 3 files arrived intact \([0-9,]+ bytes\)\.)")))
      << demo.output;
  EXPECT_NE(demo.output.find("B: Hello B, this is A."), std::string::npos) << demo.output;
  // The listing A fetched from B names the files B holds.
  EXPECT_NE(demo.output.find("   | notes.txt"), std::string::npos) << demo.output;
  EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "the demo left files behind";
}

TEST(CliDemo, CleansUpWhenInterrupted) {
  TempDir home;
  TarvelProcess demo({"demo"}, {{"TMPDIR", home.path()}});
  // Cut short in the middle of the big file, while device A is sending.
  ASSERT_TRUE(demo.WaitForOutput("A -> B  big.bin", std::chrono::seconds(20))) << demo.Error();
  demo.Signal(SIGINT);
  EXPECT_EQ(demo.Wait(std::chrono::seconds(10)), 128 + SIGINT) << demo.Error();
  EXPECT_NE(demo.Error().find("interrupted"), std::string::npos) << demo.Error();
  EXPECT_TRUE(std::filesystem::is_empty(home.path())) << "the demo left files behind";
  EXPECT_EQ(ProcessesMentioning(home.path() + "/tarvel-demo-"), 0) << "a device outlived the demo";
}

}  // namespace
}  // namespace tarvel::testing
