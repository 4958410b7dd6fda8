#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

namespace fs = std::filesystem;

// A listening device on one end of a pty; the test is the raw peer.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  void SendAsPeer(const std::string& name, const std::string& content) {
    testing::SendAsPeer(peer, name, content);
  }
  std::string WaitFor(EventKind kind, int timeoutMs = 5000) {
    return device.WaitForEvent(kind, std::chrono::milliseconds(timeoutMs));
  }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, ShortLimits()};
};

TEST_F(Listening, ReceivesFilesOfEverySizeByteForByte) {
  std::string everyByte;
  for (int value = 0; value < 256; ++value) everyByte += static_cast<char>(value);
  for (size_t size : {0u, 1u, 200u, 201u}) {
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    std::string name = "f" + std::to_string(size) + ".bin";
    SendAsPeer(name, content);
    ASSERT_EQ(WaitFor(EventKind::Received), name);
    EXPECT_EQ(ReadWholeFile(device.Path(name)), content);
  }
  std::string big = everyByte + RandomBytes(3 * 1024 * 1024, 3) + everyByte;
  SendAsPeer("big.bin", big);
  ASSERT_EQ(WaitFor(EventKind::Received, 30000), "big.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("big.bin")) == big);
}

TEST_F(Listening, ThePendingSavePathServesExactlyOneFile) {
  device.state->Requests().AddSave("a.txt", u"\\saved.txt");
  SendAsPeer("a.txt", "first");
  ASSERT_EQ(WaitFor(EventKind::Answer), "\\saved.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("saved.txt")), "first");
  EXPECT_FALSE(FileExists(device.Path("a.txt")));
  EXPECT_EQ(device.state->Requests().SaveCount(), 0u);
  SendAsPeer("a.txt", "second");
  ASSERT_EQ(WaitFor(EventKind::Received), "a.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("a.txt")), "second");
}

TEST_F(Listening, TextsReplaceEachOther) {
  peer.Write("hello there");
  ASSERT_TRUE(device.WaitForStatus("hello there", 5000));
  peer.Write(std::string("caf\xE9\0hidden", 11));
  ASSERT_TRUE(device.WaitForStatus("caf\xC3\xA9", 5000)) << device.Status();
}

TEST_F(Listening, AnswersAGetRequestWithHeaderPauseAndBytes) {
  WriteWholeFile(device.Path("data.bin"), RandomBytes(450, 9));
  peer.Write("GILE: \\data.bin|");
  EXPECT_EQ(peer.ReadExactly(20, 3000), "FILE: \\data.bin|450|");
  auto headerSeen = std::chrono::steady_clock::now();
  EXPECT_NE(device.Status(), "FILE: \\data.bin") << "reported before the content was sent";
  EXPECT_EQ(peer.ReadExactly(450, 5000), ReadWholeFile(device.Path("data.bin")));
  EXPECT_GE(std::chrono::steady_clock::now() - headerSeen, std::chrono::milliseconds(950));
  EXPECT_EQ(WaitFor(EventKind::GetAnswered), "\\data.bin");
}

TEST_F(Listening, AGetRequestForAMissingFileSendsNothing) {
  peer.Write("GILE: \\nothing.bin|");
  std::string reason = WaitFor(EventKind::Failure);
  EXPECT_NE(reason.find("nothing.bin"), std::string::npos) << reason;
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
}

TEST_F(Listening, ListsMatchingEntriesIntoTheListingFile) {
  WriteWholeFile(device.Path("one.txt"), "1");
  WriteWholeFile(device.Path("two.txt"), "22");
  WriteWholeFile(device.Path("other.bin"), "3");
  peer.Write("LIST: \\*.txt|");
  ASSERT_EQ(WaitFor(EventKind::Listed), "\\*.txt");
  std::string listing = ReadWholeFile(device.Path("Tarvel.txt"));
  std::vector<std::string> lines;
  for (size_t at = 0; at < listing.size();) {
    size_t end = listing.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "every line ends with CR LF";
    lines.push_back(listing.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(lines.size(), 6u) << listing;
  EXPECT_EQ(lines[0], "one.txt");
  EXPECT_EQ(lines[3], "two.txt");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[1].size(), 19u);  // "2026 12 08-22:11:47"
  EXPECT_EQ(lines[1][4], ' ');
  EXPECT_EQ(lines[1][10], '-');

  fs::create_directory(device.Path("folder"));
  peer.Write("LIST: \\f*|");
  ASSERT_EQ(WaitFor(EventKind::Listed), "\\f*");
  std::string second = ReadWholeFile(device.Path("Tarvel.txt"));
  EXPECT_EQ(second.rfind("folder\r\n", 0), 0u) << "a second listing replaces the first";
  EXPECT_EQ(second.find("one.txt"), std::string::npos);

  peer.Write("LIST: \\*.none|");
  ASSERT_EQ(WaitFor(EventKind::Listed), "\\*.none");
  EXPECT_EQ(ReadWholeFile(device.Path("Tarvel.txt")), "");
}

TEST_F(Listening, ContentInTheHeadersReadIsTheFilesFirstBytes) {
  peer.Write("FILE: runon.txt|10|0123456789");
  ASSERT_EQ(WaitFor(EventKind::Received), "runon.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("runon.txt")), "0123456789");
}

TEST_F(Listening, BytesBeyondTheSizeAreTheNextMessage) {
  peer.Write("FILE: exact.txt|4|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("abcdafter the file");
  ASSERT_EQ(WaitFor(EventKind::Received), "exact.txt");
  ASSERT_EQ(WaitFor(EventKind::PeerText), "after the file");
  EXPECT_EQ(ReadWholeFile(device.Path("exact.txt")), "abcd");
}

TEST_F(Listening, ASecondRequestInTheSameReadIsHandled) {
  WriteWholeFile(device.Path("a.txt"), "A");
  peer.Write("LIST: \\a.txt|GILE: \\a.txt|");
  EXPECT_EQ(peer.ReadExactly(15, 3000), "FILE: \\a.txt|1|");
  EXPECT_EQ(WaitFor(EventKind::Listed), "\\a.txt");
  EXPECT_EQ(WaitFor(EventKind::GetAnswered), "\\a.txt");
  EXPECT_NE(ReadWholeFile(device.Path("Tarvel.txt")).find("a.txt"), std::string::npos);
}

TEST_F(Listening, AQuietPeerMidFileLeavesTheTargetUntouched) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  peer.Write("FILE: keep.txt|100|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("only forty bytes of the hundred announced");
  std::string reason = WaitFor(EventKind::Failure, device.state->timing().quietLineLimitMs + 5000);
  EXPECT_NE(reason.find("quiet"), std::string::npos) << reason;
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
  peer.Write("still listening");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "still listening");
}

TEST_F(Listening, RefusedNamesHaveTheirContentDrained) {
  for (const std::string& name :
       {std::string("..\\escape.txt"), std::string(), std::string(200, 'n')}) {
    SendAsPeer(name, "0123456789");
    ASSERT_NE(WaitFor(EventKind::Failure), "") << name;
    EXPECT_EQ(device.NextEvent(std::chrono::milliseconds(200)), "no event")
        << "content was taken for a message";
  }
  EXPECT_FALSE(FileExists(device.root.path() + "/../escape.txt"));
}

TEST_F(Listening, SymbolicLinksDoNotLeadOutOfTheRoot) {
  TempDir outside;
  WriteWholeFile(outside / "secret.txt", "secret");
  fs::create_directory_symlink(outside.path(), device.Path("out"));

  SendAsPeer("\\out\\planted.txt", "planted");
  ASSERT_NE(WaitFor(EventKind::Failure), "");
  EXPECT_FALSE(FileExists(outside / "planted.txt"));

  peer.Write("GILE: \\out\\secret.txt|");
  ASSERT_NE(WaitFor(EventKind::Failure), "");
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");

  peer.Write("LIST: \\out\\*.*|");
  ASSERT_NE(WaitFor(EventKind::Failure), "");
  EXPECT_FALSE(FileExists(device.Path("Tarvel.txt")));

  peer.Write("LIST: ..\\*.*|");
  ASSERT_NE(WaitFor(EventKind::Failure), "");
}

TEST_F(Listening, FollowsACloseAndANewOpen) {
  ASSERT_EQ(PortClose(*device.state), 999);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(device.Status(), "") << "a closed port must not be acted on";
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  peer.Write("back again");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "back again");
}

TEST_F(Listening, AHangUpMidFileLeavesTheTargetUntouched) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  peer.Write("FILE: keep.txt|1000|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("part");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  peer.HangUp();
  ASSERT_NE(WaitFor(EventKind::Failure), "");
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
}

}  // namespace
}  // namespace tarvel::testing
