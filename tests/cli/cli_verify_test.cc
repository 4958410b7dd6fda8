// SPDX-License-Identifier: MIT
// tarvel send --verify: each file is asked back from the peer and compared,
// since the link itself acknowledges nothing.
#include <thread>

#include "cli_fixture.h"
#include "raw_peer.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(CliTest, SendVerifyExitsZeroWhenEveryFileCameBackIdentical) {
  std::string content = RandomBytes(40000, 7);
  WriteWholeFile(Scratch("one.bin"), content);
  WriteWholeFile(Scratch("two.txt"), "two\r\n");
  auto listener = Listen(Side::B);
  Finished sent =
      Run(Side::A, {"send", "--verify", Scratch("one.bin"), Scratch("two.txt"), "\\renamed.txt"},
          seconds(40));
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_EQ(CountOf(sent.output, "came back identical\n"), 2u) << sent.output;
  EXPECT_NE(sent.output.find("verified: " + Scratch("two.txt") + " as \\renamed.txt"),
            std::string::npos)
      << sent.output;
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/one.bin"), content);
  // The peer saw each file arrive and go back.
  EXPECT_TRUE(listener->WaitForOutput("FILE: \\renamed.txt", seconds(2))) << listener->Output();
  EXPECT_NE(listener->Output().find("FILE: \\one.bin"), std::string::npos);
}

TEST_F(CliTest, PlainSendSaysOnlyThatTheFileWasWrittenToTheLink) {
  WriteWholeFile(Scratch("note.txt"), "note");
  // Nobody listens: the bytes still go out, and that is all send can know.
  Finished sent = Run(Side::A, {"send", Scratch("note.txt")});
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_EQ(sent.output, "written to the link: " + Scratch("note.txt") + " as \\note.txt (4 B)\n");
}

// B cannot create a file in a folder it does not have, so it has nothing to
// send back.
TEST_F(CliTest, SendVerifyFailsNamingAFileThePeerCouldNotSave) {
  WriteWholeFile(Scratch("lost.bin"), "never kept");
  // A listener that makes no missing folders cannot save the file.
  auto listener = Listen(Side::B, {"--create-folders=false"});
  Finished sent =
      Run(Side::A,
          {"send", "--verify", "--timeout", "3", Scratch("lost.bin"), "\\no-such-folder\\lost.bin"},
          seconds(30));
  EXPECT_EQ(sent.status, 1) << sent.error;
  EXPECT_NE(
      sent.error.find(Scratch("lost.bin") + " as \\no-such-folder\\lost.bin did not come back"),
      std::string::npos)
      << sent.error;
  EXPECT_EQ(sent.output.find("verified"), std::string::npos) << sent.output;
}

// A scripted peer takes the file, then answers the request for it with other
// bytes of the same length.
TEST_F(CliTest, SendVerifyNamesTheFirstDifferenceOfACopyThatCameBackChanged) {
  WriteWholeFile(Scratch("x.bin"), "hello world");
  RawPeer peer(End(Side::B));
  auto sender = Start(Side::A, {"send", "--verify", "--timeout", "5", Scratch("x.bin")});
  const std::string header = "FILE: \\x.bin|11|";
  ASSERT_EQ(peer.Read(header.size(), seconds(5)), header);
  ASSERT_EQ(peer.Read(11, seconds(5)), "hello world");
  const std::string request = "GILE: \\x.bin|";
  ASSERT_EQ(peer.Read(request.size(), seconds(5)), request);
  peer.Message(header, milliseconds(400));
  peer.Message("hello World");
  EXPECT_EQ(sender->Wait(seconds(10)), 1) << sender->Error();
  EXPECT_NE(sender->Error().find(Scratch("x.bin") +
                                 " as \\x.bin came back different: first difference at byte 6"),
            std::string::npos)
      << sender->Error();
  EXPECT_EQ(sender->Output(), "");
}

}  // namespace
}  // namespace tarvel::testing
