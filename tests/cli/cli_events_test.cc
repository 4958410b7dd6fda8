// The command learns results from the library's event queue: every result
// shows, in order, and a peer's text never passes for one.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "cli_fixture.h"
#include "raw_peer.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The results a listener printed, without their time stamps.
std::vector<std::string> ShownResults(const std::string& output) {
  std::vector<std::string> results;
  std::istringstream lines(output);
  std::regex stamped(R"(^\d\d:\d\d:\d\d\.\d{3} (.*)$)");
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, stamped)) results.push_back(match[1]);
  }
  return results;
}

TEST_F(CliTest, ListenShowsEveryResultInOrderWithNothingLost) {
  auto listener = Listen(Side::B);
  RawPeer peer(End(Side::A));
  std::vector<std::string> expected;
  for (int round = 0; round < 4; ++round) {
    std::string note = "note " + std::to_string(round);
    // Equal texts in a row are two results, not one.
    peer.Message(note);
    peer.Message(note);
    expected.insert(expected.end(), {"TEXT: " + note, "TEXT: " + note});
    std::string name = "\\empty" + std::to_string(round) + ".txt";
    peer.Message("FILE: " + name + "|0|", milliseconds(500));
    expected.push_back("RECV: " + name);
    peer.Message("LIST: \\*.none|");
    expected.push_back("LIST: \\*.none");
  }
  ASSERT_TRUE(listener->WaitForOutput("LIST: \\*.none\n", seconds(5)));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(ShownResults(listener->Output()), expected) << listener->Output();
  EXPECT_EQ(listener->Output().find("LOST"), std::string::npos) << listener->Output();
}

TEST_F(CliTest, ListenOnceIsNotEndedByAPeerTextThatReadsLikeAResult) {
  auto listener = Listen(Side::B, {"--once"});
  ASSERT_EQ(Run(Side::A, {"text", "RECV: \\arrived.txt"}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput("TEXT: RECV: \\arrived.txt\n", seconds(3)))
      << listener->Output();
  EXPECT_EQ(listener->Wait(milliseconds(1500)), std::nullopt) << "ended on a peer's text";
  EXPECT_FALSE(FileExists(Root(Side::B) + "/arrived.txt"));

  // A text with a line end cannot fake a line of results either.
  ASSERT_EQ(Run(Side::A, {"text", "hi\n12:00:00.000 RECV: \\forged.txt"}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput("TEXT: hi?12:00:00.000 RECV: \\forged.txt\n", seconds(3)))
      << listener->Output();

  WriteWholeFile(Scratch("real.txt"), "real");
  ASSERT_EQ(Run(Side::A, {"send", Scratch("real.txt")}).status, 0);
  EXPECT_EQ(listener->Wait(seconds(5)), 0) << listener->Error();
  EXPECT_EQ(ShownResults(listener->Output()).back(), "RECV: \\real.txt");
}

TEST_F(CliTest, GetIsNotFooledByAPeerTextThatReadsLikeItsFile) {
  auto getter = Start(Side::A, {"get", "\\wanted.bin", "--timeout", "3"});
  std::this_thread::sleep_for(milliseconds(500));  // its listener runs
  // B never answers: it only writes the text that the status would show for
  // the file that A waits for.
  ASSERT_EQ(Run(Side::B, {"text", "RECV: \\wanted.bin"}).status, 0);
  EXPECT_EQ(getter->Wait(seconds(10)), 1) << getter->Error();
  EXPECT_NE(getter->Error().find("peer: TEXT: RECV: \\wanted.bin"), std::string::npos)
      << getter->Error();
  EXPECT_NE(getter->Error().find("no answer for \\wanted.bin"), std::string::npos)
      << getter->Error();
  EXPECT_FALSE(FileExists(Root(Side::A) + "/wanted.bin"));
}

// The peer, asked for \photo.jpg, pushes a file named photo.jpg instead: the
// library saves it beneath the root under that name, and get used to take
// that for its answer and report the old file at LOCAL as received.
TEST_F(CliTest, GetIsNotFooledByAPushedFileInsteadOfItsAnswer) {
  // LOCAL as a person types it: a name in the working folder, which equals
  // the name the peer pushes.
  const std::string local = Scratch("photo.jpg");
  WriteWholeFile(local, "old content");
  RawPeer peer(End(Side::B));
  auto getter = std::make_unique<TarvelProcess>(
      std::vector<std::string>{"--device", End(Side::A), "--root", Root(Side::A), "get",
                               "\\photo.jpg", "photo.jpg", "--timeout", "3"},
      environment_, Scratch(""));
  const std::string request = "GILE: \\photo.jpg|";
  ASSERT_EQ(peer.Read(request.size(), seconds(5)), request);
  peer.Message("FILE: photo.jpg|4|", milliseconds(400));
  peer.Message("fake");
  EXPECT_EQ(getter->Wait(seconds(10)), 1) << getter->Error();
  EXPECT_EQ(ReadWholeFile(local), "old content");
  EXPECT_EQ(ReadWholeFile(Root(Side::A) + "/photo.jpg"), "fake");
  EXPECT_NE(getter->Error().find("peer: RECV: photo.jpg"), std::string::npos) << getter->Error();
  EXPECT_NE(getter->Error().find("no answer for \\photo.jpg"), std::string::npos)
      << getter->Error();
  EXPECT_EQ(getter->Output(), "");
}

// The real answer, under the requested name, still ends the wait at once.
TEST_F(CliTest, GetTakesTheAnswerToItsOwnRequest) {
  const std::string local = Scratch("photo.jpg");
  RawPeer peer(End(Side::B));
  auto getter = Start(Side::A, {"get", "\\photo.jpg", local, "--timeout", "5"});
  const std::string request = "GILE: \\photo.jpg|";
  ASSERT_EQ(peer.Read(request.size(), seconds(5)), request);
  peer.Message("FILE: \\photo.jpg|4|", milliseconds(400));
  peer.Message("real");
  EXPECT_EQ(getter->Wait(seconds(10)), 0) << getter->Error();
  EXPECT_EQ(ReadWholeFile(local), "real");
  EXPECT_EQ(getter->Output(), "received \\photo.jpg as " + local + "\n");
}

TEST_F(CliTest, ListenOnceStoppedBeforeAnyFileExitsWithTheSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    auto listener = Listen(Side::B, {"--once"});
    listener->Signal(signal);
    EXPECT_EQ(listener->Wait(seconds(5)), 128 + signal) << listener->Error();
  }
}

// Quiet, the command shows no progress, so its wait for events has no limit:
// the stop signal itself has to end it.
TEST_F(CliTest, QuietListenWaitingWithoutLimitStillEndsOnTheSignal) {
  auto listener = Start(Side::B, {"--quiet", "listen", "--once"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  listener->Signal(SIGTERM);
  EXPECT_EQ(listener->Wait(seconds(5)), 128 + SIGTERM) << listener->Error();
}

TEST_F(CliTest, SendWithOneUnsendableArgumentSendsNothing) {
  WriteWholeFile(Scratch("good.txt"), "good");
  auto listener = Listen(Side::B);
  std::string missing = Scratch("missing.bin");
  Finished sent = Run(Side::A, {"send", Scratch("good.txt"), missing});
  EXPECT_EQ(sent.status, 1);
  EXPECT_NE(sent.error.find(missing), std::string::npos) << sent.error;
  // A folder is no file, and a remote name with a control character cannot
  // be carried.
  EXPECT_EQ(Run(Side::A, {"send", Scratch("good.txt"), Scratch("")}).status, 1);
  Finished badName = Run(Side::A, {"send", Scratch("good.txt"), "\\bad\tname.txt"});
  EXPECT_EQ(badName.status, 1);
  EXPECT_NE(badName.error.find("control"), std::string::npos) << badName.error;
  EXPECT_EQ(Run(Side::A, {"send", Scratch("good.txt"), "\\"}).status, 1);

  std::this_thread::sleep_for(milliseconds(2500));  // a header's pause and content
  EXPECT_FALSE(FileExists(Root(Side::B) + "/good.txt"));
  EXPECT_EQ(listener->Output().find("RECV:"), std::string::npos) << listener->Output();
}

TEST_F(CliTest, TheDefaultDeviceRootIsTarvelInTheHomeFolder) {
  TempDir home;
  std::map<std::string, std::string> environment = environment_;
  environment["HOME"] = home.path();
  const std::string root = home.path() + "/Tarvel";
  TarvelProcess listener({"--device", End(Side::B), "listen", "--once"}, environment);
  ASSERT_TRUE(listener.WaitForError("device root: " + root + "\n", seconds(5))) << listener.Error();
  EXPECT_TRUE(std::filesystem::is_directory(root));

  const std::string name = "default-root-" + std::to_string(getpid()) + ".txt";
  WriteWholeFile(Scratch(name), "where?");
  ASSERT_EQ(Run(Side::A, {"send", Scratch(name)}).status, 0);
  EXPECT_EQ(listener.Wait(seconds(5)), 0) << listener.Error();
  EXPECT_EQ(ReadWholeFile(root + "/" + name), "where?");
  EXPECT_FALSE(FileExists(std::filesystem::current_path() / name));
}

TEST(CliVersion, NamesTheProgramAndItsVersion) {
  Finished version = RunTarvel({"--version"}, {}, seconds(10));
  EXPECT_EQ(version.status, 0) << version.error;
  EXPECT_TRUE(std::regex_match(version.output, std::regex(R"(tarvel \d+\.\d+\.\d+\n)")))
      << version.output;
}

}  // namespace
}  // namespace tarvel::testing
