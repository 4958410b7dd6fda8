// SPDX-License-Identifier: MIT
// The command's failures: each ends with a message and a non-zero exit status.
#include <signal.h>

#include "cli_fixture.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

TEST_F(CliTest, GetGivesUpAfterItsTimeOutWhenNobodyAnswers) {
  auto started = std::chrono::steady_clock::now();
  Finished asked = Run(Side::A, {"get", "\\absent.txt", Scratch("absent.txt"), "--timeout", "1"});
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_NE(asked.status, 0);
  EXPECT_NE(asked.error.find("no answer for \\absent.txt within 1 s"), std::string::npos)
      << asked.error;
  EXPECT_LT(took, seconds(5));
  EXPECT_FALSE(FileExists(Scratch("absent.txt")));
}

TEST_F(CliTest, SendOfAMissingFileFailsNamingIt) {
  std::string missing = Scratch("no such file.bin");
  Finished sent = Run(Side::A, {"send", missing});
  EXPECT_NE(sent.status, 0);
  EXPECT_NE(sent.error.find(missing), std::string::npos) << sent.error;
  EXPECT_EQ(sent.output, "");
}

TEST_F(CliTest, SendStopsAtTheFirstFileThatFails) {
  WriteWholeFile(Scratch("later.txt"), "never sent");
  auto listener = Listen(Side::B);
  Finished sent = Run(Side::A, {"send", Scratch("missing.bin"), Scratch("later.txt")});
  EXPECT_NE(sent.status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(FileExists(Root(Side::B) + "/later.txt"));
}

TEST_F(CliTest, CtrlCCutsALongSendShort) {
  WriteWholeFile(Scratch("long.bin"), RandomBytes(4 * 1024 * 1024, 5));
  auto sender = Start(Side::A, {"send", Scratch("long.bin")});
  // Within the sender's pause after the header: the content has not gone yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  sender->Signal(SIGINT);
  EXPECT_EQ(sender->Wait(seconds(3)), 128 + SIGINT) << sender->Error();
  EXPECT_NE(sender->Error().find("interrupted while sending"), std::string::npos)
      << sender->Error();
  EXPECT_EQ(sender->Output(), "");
}

TEST_F(CliTest, ListenOnceEndsWithTheFirstFailure) {
  auto listener = Listen(Side::B, {"--once"});
  // B cannot answer for a file it does not have; A hears nothing back.
  Finished asked = Run(Side::A, {"get", "\\not-here.txt", "--timeout", "1"});
  EXPECT_NE(asked.status, 0);
  EXPECT_EQ(listener->Wait(seconds(5)), 1) << listener->Output();
  EXPECT_NE(listener->Error().find("not-here.txt"), std::string::npos) << listener->Error();
}

TEST_F(CliTest, TextTooLongForOneMessageIsRefused) {
  Finished sent = Run(Side::A, {"text", std::string(200, 'x')});
  EXPECT_NE(sent.status, 0);
  EXPECT_NE(sent.error.find("199"), std::string::npos) << sent.error;
}

TEST_F(CliTest, AMissingDeviceIsNamedInTheMessage) {
  Finished opened =
      RunTarvel({"--device", Scratch("ttyNothing"), "text", "hi"}, environment_, seconds(10));
  EXPECT_EQ(opened.status, 1);
  EXPECT_NE(opened.error.find(Scratch("ttyNothing")), std::string::npos) << opened.error;
}

TEST(CliUsage, EverySubcommandExplainsItself) {
  for (const char* name :
       {"demo", "listen", "send", "get", "list", "text", "poll", "register", "cable"}) {
    Finished help = RunTarvel({name, "--help"}, {}, seconds(10));
    EXPECT_EQ(help.status, 0) << name;
    EXPECT_NE(help.output.find(std::string("tarvel ") + name), std::string::npos) << help.output;
  }
  Finished wrong = RunTarvel({"send"}, {}, seconds(10));
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.error.find("LOCAL"), std::string::npos) << wrong.error;
}

}  // namespace
}  // namespace tarvel::testing
