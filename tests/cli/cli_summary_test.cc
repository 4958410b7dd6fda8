// A transfer's summary line says what was done: all of it, or how far it got.
#include <signal.h>

#include <regex>

#include "cli_fixture.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

// The sender is stopped in the middle of a big file: its own summary and the
// listener's, once the line has stayed quiet, both say how far it got. Both
// used to claim the whole size.
TEST_F(CliTest, AnInterruptedSendIsSummedUpAsStoppedShortOnBothEnds) {
  const std::string big = Scratch("big.bin");
  WriteWholeFile(big, std::string(128 << 20, 'z'));
  auto listener = Listen(Side::B);
  auto sender = Start(Side::A, {"send", big});
  // Standard error is no terminal: a plain line at each quarter done.
  ASSERT_TRUE(sender->WaitForError("%", seconds(30))) << sender->Error();
  sender->Signal(SIGINT);
  EXPECT_EQ(sender->Wait(seconds(10)), 128 + SIGINT) << sender->Error();
  // Not the whole size: how far it got, timed to its last byte.
  const std::string shortTail =
      R"(: [0-9.]+ of 128\.0 MiB in [0-9.]+ s \([^)]*\), stopped short\n)";
  EXPECT_TRUE(std::regex_search(sender->Error(), std::regex(shortTail))) << sender->Error();
  EXPECT_EQ(sender->Error().find(": 128.0 MiB in"), std::string::npos) << sender->Error();
  EXPECT_NE(sender->Error().find("interrupted while sending"), std::string::npos);

  // The listener gives up on the file once the line has been quiet for 10 s.
  ASSERT_TRUE(listener->WaitForError("stopped short", seconds(30))) << listener->Error();
  EXPECT_TRUE(std::regex_search(listener->Error(), std::regex("receiving" + shortTail)))
      << listener->Error();
  EXPECT_EQ(listener->Error().find(": 128.0 MiB in"), std::string::npos) << listener->Error();
  EXPECT_NE(listener->Output().find("FAIL: receiving \\big.bin failed"), std::string::npos)
      << listener->Output();
}

}  // namespace
}  // namespace tarvel::testing
