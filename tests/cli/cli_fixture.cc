#include "cli_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

namespace tarvel::testing {

void CliTest::SetUp() {
  rootA_ = folder_ / "A";
  rootB_ = folder_ / "B";
  ASSERT_EQ(mkdir(rootA_.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(rootB_.c_str(), 0700), 0);
  // listen registers the incoming port: keep that away from the user's files.
  environment_["TARVEL_REGISTRY"] = folder_ / "registry.reg";
  // The line records of this test's cable, shared by its processes only: a
  // hold left by one test never delays another on a pty of the same name.
  environment_["TARVEL_LINE_RECORDS"] = folder_ / "lines";
  cable_ =
      std::make_unique<TarvelProcess>(std::vector<std::string>{"cable", "--quiet"}, environment_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string ends;
  while (std::count(ends.begin(), ends.end(), '\n') < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the cable printed no ends";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ends = cable_->Output();
  }
  std::istringstream lines(ends);
  std::getline(lines, endA_);
  std::getline(lines, endB_);
  ASSERT_EQ(endA_.rfind("/dev/", 0), 0u) << ends;
  ASSERT_EQ(endB_.rfind("/dev/", 0), 0u) << ends;
}

std::unique_ptr<TarvelProcess> CliTest::Start(Side side,
                                              const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"--device", End(side), "--root", Root(side)};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return std::make_unique<TarvelProcess>(words, environment_);
}

Finished CliTest::Run(Side side, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit) {
  std::unique_ptr<TarvelProcess> process = Start(side, arguments);
  std::optional<int> status = process->Wait(limit);
  return {status.value_or(-1), process->Output(), process->Error()};
}

std::unique_ptr<TarvelProcess> CliTest::Listen(Side side, const std::vector<std::string>& extra) {
  std::vector<std::string> words{"listen"};
  words.insert(words.end(), extra.begin(), extra.end());
  std::unique_ptr<TarvelProcess> listener = Start(side, words);
  EXPECT_TRUE(listener->WaitForError("listening on", std::chrono::seconds(5))) << listener->Error();
  return listener;
}

}  // namespace tarvel::testing
