// SPDX-License-Identifier: MIT
// The command moving files and texts between two processes over a pty cable.
#include <signal.h>

#include <regex>

#include "cli_fixture.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool WaitForCount(TarvelProcess& process, const std::string& part, size_t count,
                  std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (CountOf(process.Output(), part) < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return CountOf(process.Output(), part) == count;
}

TEST_F(CliTest, SendReachesAListenerThatEndsAfterOneFile) {
  std::string content = RandomBytes(150 * 1024 + 17, 1);
  WriteWholeFile(Scratch("photo.bin"), content);
  auto listener = Listen(Side::B, {"--once"});

  Finished sent = Run(Side::A, {"send", Scratch("photo.bin"), "\\arrived.bin"});
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_NE(sent.output.find("as \\arrived.bin"), std::string::npos) << sent.output;

  EXPECT_EQ(listener->Wait(seconds(10)), 0) << listener->Error();
  EXPECT_NE(listener->Output().find("RECV: \\arrived.bin"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/arrived.bin"), content);
}

TEST_F(CliTest, SendPushesSeveralFilesInTurnUntilTheListenerIsInterrupted) {
  std::string first = RandomBytes(5000, 2);
  WriteWholeFile(Scratch("first.bin"), first);
  WriteWholeFile(Scratch("second.txt"), "second file\r\n");
  auto listener = Listen(Side::B);

  // The first keeps its own name, the second gets the one that follows it.
  Finished sent =
      Run(Side::A, {"send", Scratch("first.bin"), Scratch("second.txt"), "\\renamed.txt"});
  ASSERT_EQ(sent.status, 0) << sent.error;

  ASSERT_TRUE(listener->WaitForOutput("RECV: \\renamed.txt", seconds(5))) << listener->Output();
  std::string shown = listener->Output();
  EXPECT_LT(shown.find("RECV: \\first.bin"), shown.find("RECV: \\renamed.txt")) << shown;
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/first.bin"), first);
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/renamed.txt"), "second file\r\n");
  // Every status line carries a time stamp.
  EXPECT_TRUE(std::regex_search(shown, std::regex(R"(^\d\d:\d\d:\d\d\.\d{3} RECV: )")));

  listener->Signal(SIGINT);
  EXPECT_EQ(listener->Wait(seconds(5)), 0) << listener->Error();
}

TEST_F(CliTest, SendChecksAndTakesALocalDevicePathBeneathItsOwnRoot) {
  WriteWholeFile(Root(Side::A) + "/outgoing.txt", "from the root");
  auto listener = Listen(Side::B, {"--once"});
  Finished sent = Run(Side::A, {"send", "\\outgoing.txt", "\\arrived.txt"});
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_EQ(listener->Wait(seconds(10)), 0) << listener->Error();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/arrived.txt"), "from the root");
}

TEST_F(CliTest, GetSavesThePeersFileWhereAskedOrUnderItsName) {
  std::string content = RandomBytes(40000, 3);
  WriteWholeFile(Root(Side::B) + "/report.bin", content);
  auto listener = Listen(Side::B);

  Finished saved = Run(Side::A, {"get", "\\report.bin", Scratch("copy.bin"), "--timeout", "10"});
  EXPECT_EQ(saved.status, 0) << saved.error;
  EXPECT_EQ(ReadWholeFile(Scratch("copy.bin")), content);

  // Without a save path the file lands beneath A's own device root.
  Finished named = Run(Side::A, {"get", "\\report.bin", "--timeout", "10"});
  EXPECT_EQ(named.status, 0) << named.error;
  EXPECT_EQ(ReadWholeFile(Root(Side::A) + "/report.bin"), content);
  EXPECT_TRUE(listener->WaitForOutput("FILE: \\report.bin", seconds(2)));
}

TEST_F(CliTest, ListWithFetchPrintsThePeersListing) {
  WriteWholeFile(Root(Side::B) + "/alpha.txt", "a");
  WriteWholeFile(Root(Side::B) + "/beta.bin", "bb");
  WriteWholeFile(Root(Side::B) + "/skipped.dat", "c");
  auto listener = Listen(Side::B);

  Finished listed = Run(Side::A, {"list", "\\*.t*", "--fetch", "--timeout", "10"});
  ASSERT_EQ(listed.status, 0) << listed.error;
  // Name, date and an empty line per entry, in name order, line ends made local.
  std::regex entry(R"((\S+)\n\d{4} \d\d \d\d-\d\d:\d\d:\d\d\n\n)");
  std::vector<std::string> names;
  for (std::sregex_iterator at(listed.output.begin(), listed.output.end(), entry), end; at != end;
       ++at) {
    names.push_back((*at)[1]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"alpha.txt"})) << listed.output;
  EXPECT_EQ(listed.output.find('\r'), std::string::npos);
  EXPECT_TRUE(listener->WaitForOutput("LIST: \\*.t*", seconds(2))) << listener->Output();
}

TEST_F(CliTest, TextShowsAtTheListeningPeerEachTimeItComes) {
  auto listener = Listen(Side::B);
  Finished sent = Run(Side::A, {"text", "Hello B, how are you?"});
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_TRUE(listener->WaitForOutput(" Hello B, how are you?\n", seconds(3)))
      << listener->Output();

  // An equal text shows again: the listener blanks what it has shown.
  ASSERT_EQ(Run(Side::A, {"text", "Hello B, how are you?"}).status, 0);
  EXPECT_TRUE(WaitForCount(*listener, "how are you?", 2, seconds(3))) << listener->Output();
}

TEST_F(CliTest, NamesOutsideAsciiCrossInTheLinksCodePage) {
  WriteWholeFile(Scratch("caf\u00e9.txt"), "accent");
  WriteWholeFile(Scratch("\u03a9mega.txt"), "omega");
  auto listener = Listen(Side::B);
  // Windows-1252 by default: e with an acute accent is one byte on the wire.
  ASSERT_EQ(Run(Side::A, {"send", Scratch("caf\u00e9.txt")}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput("RECV: \\caf\u00e9.txt", seconds(5))) << listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/caf\u00e9.txt"), "accent");

  Finished listed = Run(Side::A, {"list", "\\*.txt", "--fetch", "--timeout", "10"});
  EXPECT_EQ(listed.status, 0) << listed.error;
  EXPECT_NE(listed.output.find("caf\u00e9.txt\n"), std::string::npos) << listed.output;
  listener.reset();

  // Omega has no place in Windows-1252; with UTF-8 on both ends it crosses.
  auto utf8Listener = Listen(Side::B, {"--codepage", "UTF-8"});
  Finished sent = Run(Side::A, {"--codepage", "UTF-8", "send", Scratch("\u03a9mega.txt")});
  ASSERT_EQ(sent.status, 0) << sent.error;
  ASSERT_TRUE(utf8Listener->WaitForOutput("RECV: \\\u03a9mega.txt", seconds(5)))
      << utf8Listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/\u03a9mega.txt"), "omega");
}

TEST_F(CliTest, PollTakesTheWaitingTextWithoutAListener) {
  // Whether the text arrives before or after the poller opens its end, it
  // waits in the cable for the poller to take it.
  auto poller = Start(Side::B, {"poll", "--wait", "5"});
  ASSERT_EQ(Run(Side::A, {"text", "polled"}).status, 0);
  EXPECT_EQ(poller->Wait(seconds(6)), 0) << poller->Error();
  EXPECT_EQ(poller->Output(), "polled\n");
}

// --on-clash reaches the library: rename keeps both files and names the new
// one; skip, read from TARVEL_ON_CLASH as the other settings are, keeps the
// first and says so. A value outside the three is refused before any port
// opens.
TEST_F(CliTest, ListenOnClashRenamesOrSkipsAPushedNameThatIsTaken) {
  WriteWholeFile(Scratch("one.jpg"), "first");
  WriteWholeFile(Scratch("two.jpg"), "second");
  auto renaming = Listen(Side::B, {"--on-clash", "rename"});
  EXPECT_NE(renaming->Error().find("a pushed file whose name is taken: rename\n"),
            std::string::npos)
      << renaming->Error();
  ASSERT_EQ(Run(Side::A, {"send", Scratch("one.jpg"), "\\scan.jpg"}).status, 0);
  ASSERT_EQ(Run(Side::A, {"send", Scratch("two.jpg"), "\\scan.jpg"}).status, 0);
  ASSERT_TRUE(renaming->WaitForOutput("RECV: \\scan (1).jpg", seconds(5))) << renaming->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/scan.jpg"), "first");
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/scan (1).jpg"), "second");
  renaming.reset();

  environment_["TARVEL_ON_CLASH"] = "skip";
  auto skipping = Listen(Side::B);
  ASSERT_EQ(Run(Side::A, {"send", Scratch("two.jpg"), "\\scan.jpg"}).status, 0);
  ASSERT_TRUE(skipping->WaitForError("exists and was kept", seconds(5))) << skipping->Error();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/scan.jpg"), "first");
  skipping.reset();

  EXPECT_EQ(Run(Side::B, {"listen", "--on-clash", "newest"}).status, 2);
  environment_["TARVEL_ON_CLASH"] = "newest";
  Finished refused = Run(Side::B, {"listen"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.error.find("TARVEL_ON_CLASH=newest"), std::string::npos) << refused.error;
}

}  // namespace
}  // namespace tarvel::testing
