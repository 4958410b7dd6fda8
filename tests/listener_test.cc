#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "link/operations.h"
#include "support/pty.h"
#include "support/test_device.h"

namespace tarvel::testing {
namespace {

namespace fs = std::filesystem;

bool IsFailure(const std::string& status) {
  return status.rfind("FAIL: ", 0) == 0;
}

// Names of the files in `folder`, temporaries included.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A listening device on one end of a pty; the test is the raw peer.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  // Sends a file the way a peer's sender does: the header alone, a pause, then
  // the content.
  void SendAsPeer(const std::string& name, const std::string& content, int pauseMs = 300) {
    peer.Write("FILE: " + name + "|" + std::to_string(content.size()) + "|");
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    peer.Write(content);
  }

  bool WaitFor(const std::string& status, int timeoutMs = 5000) {
    return device.WaitForStatus(status, timeoutMs);
  }
  bool WaitForFailure(int timeoutMs = 5000) { return device.WaitForStatus(IsFailure, timeoutMs); }

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
    ASSERT_TRUE(WaitFor("RECV: " + name)) << device.Status();
    EXPECT_EQ(ReadWholeFile(device.Path(name)), content);
  }
  std::string big = everyByte + RandomBytes(3 * 1024 * 1024, 3) + everyByte;
  SendAsPeer("big.bin", big);
  ASSERT_TRUE(WaitFor("RECV: big.bin", 30000)) << device.Status();
  EXPECT_TRUE(ReadWholeFile(device.Path("big.bin")) == big);
}

TEST_F(Listening, ThePendingSavePathServesExactlyOneFile) {
  device.state->AddPendingSave("a.txt", u"\\saved.txt");
  SendAsPeer("a.txt", "first");
  ASSERT_TRUE(WaitFor("RECV: \\saved.txt")) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("saved.txt")), "first");
  EXPECT_FALSE(FileExists(device.Path("a.txt")));
  EXPECT_EQ(device.state->PendingSaveCount(), 0u);
  SendAsPeer("a.txt", "second");
  ASSERT_TRUE(WaitFor("RECV: a.txt")) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("a.txt")), "second");
}

TEST_F(Listening, TextsReplaceEachOther) {
  peer.Write("hello there");
  ASSERT_TRUE(WaitFor("hello there"));
  peer.Write(std::string("caf\xE9\0hidden", 11));
  ASSERT_TRUE(WaitFor("caf\xC3\xA9")) << device.Status();
}

TEST_F(Listening, AnswersAGetRequestWithHeaderPauseAndBytes) {
  WriteWholeFile(device.Path("data.bin"), RandomBytes(450, 9));
  peer.Write("GILE: \\data.bin|");
  EXPECT_EQ(peer.ReadExactly(20, 3000), "FILE: \\data.bin|450|");
  auto headerSeen = std::chrono::steady_clock::now();
  EXPECT_NE(device.Status(), "FILE: \\data.bin") << "reported before the content was sent";
  EXPECT_EQ(peer.ReadExactly(450, 5000), ReadWholeFile(device.Path("data.bin")));
  EXPECT_GE(std::chrono::steady_clock::now() - headerSeen, std::chrono::milliseconds(950));
  EXPECT_TRUE(WaitFor("FILE: \\data.bin"));
}

TEST_F(Listening, AGetRequestForAMissingFileSendsNothing) {
  peer.Write("GILE: \\nothing.bin|");
  ASSERT_TRUE(WaitForFailure());
  EXPECT_NE(device.Status().find("nothing.bin"), std::string::npos);
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
}

TEST_F(Listening, ListsMatchingEntriesIntoTheListingFile) {
  WriteWholeFile(device.Path("one.txt"), "1");
  WriteWholeFile(device.Path("two.txt"), "22");
  WriteWholeFile(device.Path("other.bin"), "3");
  peer.Write("LIST: \\*.txt|");
  ASSERT_TRUE(WaitFor("LIST: \\*.txt"));
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
  ASSERT_TRUE(WaitFor("LIST: \\f*"));
  std::string second = ReadWholeFile(device.Path("Tarvel.txt"));
  EXPECT_EQ(second.rfind("folder\r\n", 0), 0u) << "a second listing replaces the first";
  EXPECT_EQ(second.find("one.txt"), std::string::npos);

  peer.Write("LIST: \\*.none|");
  ASSERT_TRUE(WaitFor("LIST: \\*.none"));
  EXPECT_EQ(ReadWholeFile(device.Path("Tarvel.txt")), "");
}

TEST_F(Listening, ContentInTheHeadersReadIsTheFilesFirstBytes) {
  peer.Write("FILE: runon.txt|10|0123456789");
  ASSERT_TRUE(WaitFor("RECV: runon.txt")) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("runon.txt")), "0123456789");
}

TEST_F(Listening, BytesBeyondTheSizeAreTheNextMessage) {
  peer.Write("FILE: exact.txt|4|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("abcdafter the file");
  ASSERT_TRUE(WaitFor("after the file")) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("exact.txt")), "abcd");
}

TEST_F(Listening, ASecondRequestInTheSameReadIsHandled) {
  WriteWholeFile(device.Path("a.txt"), "A");
  peer.Write("LIST: \\a.txt|GILE: \\a.txt|");
  EXPECT_EQ(peer.ReadExactly(15, 3000), "FILE: \\a.txt|1|");
  EXPECT_TRUE(WaitFor("FILE: \\a.txt"));
  EXPECT_NE(ReadWholeFile(device.Path("Tarvel.txt")).find("a.txt"), std::string::npos);
}

TEST_F(Listening, AQuietPeerMidFileLeavesTheTargetUntouched) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  peer.Write("FILE: keep.txt|100|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("only forty bytes of the hundred announced");
  ASSERT_TRUE(WaitForFailure(device.state->timing().quietLineLimitMs + 5000)) << device.Status();
  EXPECT_NE(device.Status().find("quiet"), std::string::npos) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
  peer.Write("still listening");
  EXPECT_TRUE(WaitFor("still listening"));
}

TEST_F(Listening, RefusedNamesHaveTheirContentDrained) {
  for (const std::string& name :
       {std::string("..\\escape.txt"), std::string(), std::string(200, 'n')}) {
    SendAsPeer(name, "0123456789");
    ASSERT_TRUE(WaitForFailure()) << name;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(IsFailure(device.Status()))
        << "content was taken for a message: " << device.Status();
    device.state->SetStatus(u"");
  }
  EXPECT_FALSE(FileExists(device.root.path() + "/../escape.txt"));
}

TEST_F(Listening, SymbolicLinksDoNotLeadOutOfTheRoot) {
  TempDir outside;
  WriteWholeFile(outside / "secret.txt", "secret");
  fs::create_directory_symlink(outside.path(), device.Path("out"));

  SendAsPeer("\\out\\planted.txt", "planted");
  ASSERT_TRUE(WaitForFailure()) << device.Status();
  EXPECT_FALSE(FileExists(outside / "planted.txt"));

  device.state->SetStatus(u"");
  peer.Write("GILE: \\out\\secret.txt|");
  ASSERT_TRUE(WaitForFailure()) << device.Status();
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");

  device.state->SetStatus(u"");
  peer.Write("LIST: \\out\\*.*|");
  ASSERT_TRUE(WaitForFailure()) << device.Status();
  EXPECT_FALSE(FileExists(device.Path("Tarvel.txt")));

  device.state->SetStatus(u"");
  peer.Write("LIST: ..\\*.*|");
  ASSERT_TRUE(WaitForFailure()) << device.Status();
}

TEST_F(Listening, FollowsACloseAndANewOpen) {
  ASSERT_EQ(PortClose(*device.state), 999);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(device.Status(), "") << "a closed port must not be acted on";
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  peer.Write("back again");
  EXPECT_TRUE(WaitFor("back again"));
}

TEST_F(Listening, AHangUpMidFileLeavesTheTargetUntouched) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  peer.Write("FILE: keep.txt|1000|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("part");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  peer.HangUp();
  ASSERT_TRUE(WaitForFailure(5000)) << device.Status();
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
}

}  // namespace
}  // namespace tarvel::testing
