// SPDX-License-Identifier: MIT
// A get request's save path belongs to that request: only the answer that
// carries the requested name is saved there, over a pty with the test as the
// peer and the device's listener running.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

class PendingSavesOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(state, kTestPort), 999);
    ASSERT_EQ(Server(state), 999);
  }

  // Asks for `name`, to be saved at `savePath`, and reads the request as the peer.
  void Ask(const std::u16string& savePath, const std::string& name) {
    ASSERT_EQ(GetFile(state, savePath.c_str(), Utf8ToUtf16(name).c_str()), 999);
    std::string request = "GILE: " + name + "|";
    ASSERT_EQ(peer.ReadExactly(request.size(), 2000), request);
  }

  // Sends a file the way a peer's sender does, answer or push alike.
  void SendAsPeer(const std::string& name, const std::string& content) {
    testing::SendAsPeer(peer, name, content);
  }

  // The next event, which must be a saved file of `kind`: its path; any other
  // event as "<kind>: <text>".
  std::string NextSaved(EventKind kind) {
    std::string event = device.NextEvent();
    std::string prefix = std::to_string(static_cast<int>(kind)) + ": ";
    return event.rfind(prefix, 0) == 0 ? event.substr(prefix.size()) : event;
  }
  // A file the peer pushed unasked, and the answer to a request of this host.
  std::string NextReceived() { return NextSaved(EventKind::Received); }
  std::string NextAnswer() { return NextSaved(EventKind::Answer); }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
  LinkState& state = *device.state;
  TempDir outside;  // the host's own folder, outside the device root
};

TEST_F(PendingSavesOverPty, UnansweredGetDoesNotCaptureAnUnrelatedPush) {
  const std::string save = outside / "mine.txt";
  WriteWholeFile(save, "the host's own file");
  Ask(Utf8ToUtf16(save), "\\missing.txt");
  // The peer has no such file and says nothing; later it pushes another one.
  SendAsPeer("\\pushed.txt", "unrelated");
  EXPECT_EQ(NextReceived(), "\\pushed.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("pushed.txt")), "unrelated");
  EXPECT_EQ(ReadWholeFile(save), "the host's own file") << "the push overwrote the save path";
  EXPECT_EQ(state.Requests().Saves("\\missing.txt"),
            std::vector<std::u16string>{Utf8ToUtf16(save)});
}

TEST_F(PendingSavesOverPty, TwoGetsAnsweredInOrderEachLandAtTheirOwnPath) {
  // Native save paths beyond the wire's 200 bytes and outside its code page.
  const std::string longFolder = outside / std::string(150, 'f');
  std::filesystem::create_directories(longFolder);
  const std::string first = longFolder + "/\u65E5\u672C-first.txt";
  const std::string second = outside / "second.txt";
  Ask(Utf8ToUtf16(first), "\\a.txt");
  Ask(Utf8ToUtf16(second), "\\b.txt");
  SendAsPeer("\\a.txt", "answer a");
  EXPECT_EQ(NextAnswer(), first);
  SendAsPeer("\\b.txt", "answer b");
  EXPECT_EQ(NextAnswer(), second);
  EXPECT_EQ(ReadWholeFile(first), "answer a");
  EXPECT_EQ(ReadWholeFile(second), "answer b");
  EXPECT_EQ(state.Requests().SaveCount(), 0u);

  // Answered the other way round, each still finds its own request; a third
  // file of an answered name is saved under that name.
  Ask(u"\\one.bin", "\\x.txt");
  Ask(u"\\two.bin", "\\y.txt");
  SendAsPeer("\\y.txt", "y");
  EXPECT_EQ(NextAnswer(), "\\two.bin");
  SendAsPeer("\\x.txt", "x");
  EXPECT_EQ(NextAnswer(), "\\one.bin");
  SendAsPeer("\\x.txt", "x again");
  EXPECT_EQ(NextReceived(), "\\x.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("one.bin")), "x");
  EXPECT_EQ(ReadWholeFile(device.Path("two.bin")), "y");
  EXPECT_EQ(ReadWholeFile(device.Path("x.txt")), "x again");
}

TEST_F(PendingSavesOverPty, TwoGetsOfOneNameAreAnsweredOldestFirst) {
  Ask(u"\\older.bin", "\\same.txt");
  Ask(u"\\newer.bin", "\\same.txt");
  SendAsPeer("\\same.txt", "1");
  EXPECT_EQ(NextAnswer(), "\\older.bin");
  SendAsPeer("\\same.txt", "2");
  EXPECT_EQ(NextAnswer(), "\\newer.bin");
  EXPECT_EQ(ReadWholeFile(device.Path("older.bin")), "1");
  EXPECT_EQ(ReadWholeFile(device.Path("newer.bin")), "2");
}

// A push whose name differs from the request only by its backslash, sent
// while the request waits, must not read as the answer: the host would take
// its save path for the requested file while the path keeps its old content.
TEST_F(PendingSavesOverPty, AForgedAnswerIsReportedAsAPushAndOnlyTheRealAnswerAsAnswer) {
  const std::string save = outside / "photo.jpg";
  WriteWholeFile(save, "old content");
  Ask(Utf8ToUtf16(save), "\\photo.jpg");
  SendAsPeer("photo.jpg", "fake");
  EXPECT_EQ(NextReceived(), "photo.jpg");
  EXPECT_EQ(ReadWholeFile(save), "old content");
  EXPECT_EQ(ReadWholeFile(device.Path("photo.jpg")), "fake");
  // A text that reads like the answer's status is a text.
  peer.Write("RECV: " + save);
  EXPECT_EQ(device.NextEvent(), "5: RECV: " + save);

  SendAsPeer("\\photo.jpg", "real");
  EXPECT_EQ(NextAnswer(), save);
  EXPECT_EQ(ReadWholeFile(save), "real");
  EXPECT_EQ(device.Status(), "RECV: " + save);
  // Answered, the request is over: the same name again is a push.
  SendAsPeer("\\photo.jpg", "pushed");
  EXPECT_EQ(NextReceived(), "\\photo.jpg");
  EXPECT_EQ(ReadWholeFile(save), "real");
}

TEST_F(PendingSavesOverPty, AnAnswerWithNoSavePathIsAnAnswerUnderItsOwnName) {
  Ask(u"", "\\own.txt");
  SendAsPeer("\\own.txt", "mine");
  EXPECT_EQ(NextAnswer(), "\\own.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("own.txt")), "mine");
}

TEST_F(PendingSavesOverPty, StartingTheServerEndsEveryPendingRequest) {
  Ask(u"\\one.bin", "\\a.txt");
  Ask(u"\\two.bin", "\\b.txt");
  ASSERT_EQ(Server(state), 999);
  EXPECT_EQ(state.Requests().SaveCount(), 0u);
  SendAsPeer("\\a.txt", "a");
  EXPECT_EQ(NextReceived(), "\\a.txt");
  EXPECT_FALSE(FileExists(device.Path("one.bin")));
}

}  // namespace
}  // namespace tarvel::testing
