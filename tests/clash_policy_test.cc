// A file the peer pushes under a name that is taken, under each clash policy,
// over a pty with the test as the peer and the device's listener running; and
// the answer to the host's own get request, which replaces its save path under
// every policy.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

class ClashOverPty : public ::testing::Test {
 protected:
  // A listening device whose TARVEL_ON_CLASH is `policy`.
  void Listen(const std::string& policy) {
    device = std::make_unique<TestDevice>(
        peer.slavePath(), std::map<std::string, std::string>{{"TARVEL_ON_CLASH", policy}},
        ShortLimits());
    ASSERT_EQ(PortOpen(*device->state, kTestPort), 999);
    ASSERT_EQ(Server(*device->state), 999);
  }

  std::string NextEvent() { return device->NextEvent(); }
  static std::string Received(const std::string& text) { return "1: " + text; }
  static std::string Answer(const std::string& text) { return "10: " + text; }

  // The next event, which must be a failure; its reason.
  std::string NextFailure() {
    std::string event = NextEvent();
    return event.rfind("8: ", 0) == 0 ? event.substr(3) : "not a failure: " + event;
  }

  // Asks for `name`, to be saved at `savePath`, and reads the request as the peer.
  void Ask(const std::string& savePath, const std::string& name) {
    ASSERT_EQ(GetFile(*device->state, Utf8ToUtf16(savePath).c_str(), Utf8ToUtf16(name).c_str()),
              999);
    std::string request = "GILE: " + name + "|";
    ASSERT_EQ(peer.ReadExactly(request.size(), 2000), request);
  }

  PtyPair peer;
  std::unique_ptr<TestDevice> device;
};

TEST_F(ClashOverPty, RenameKeepsBothFilesAndTheEventNamesTheNumberedName) {
  Listen("rename");
  ASSERT_EQ(mkdir(device->Path("photos").c_str(), 0755), 0);
  SendAsPeer(peer, "scan.jpg", "first");
  EXPECT_EQ(NextEvent(), Received("scan.jpg"));
  SendAsPeer(peer, "scan.jpg", "second");
  EXPECT_EQ(NextEvent(), Received("scan (1).jpg"));
  SendAsPeer(peer, "scan.jpg", "third");
  EXPECT_EQ(NextEvent(), Received("scan (2).jpg"));
  EXPECT_EQ(ReadWholeFile(device->Path("scan.jpg")), "first");
  EXPECT_EQ(ReadWholeFile(device->Path("scan (1).jpg")), "second");
  EXPECT_EQ(ReadWholeFile(device->Path("scan (2).jpg")), "third");

  // In a folder, and a name with no extension: the folder part is kept.
  WriteWholeFile(device->Path("photos/notes"), "old");
  SendAsPeer(peer, "\\photos\\notes", "new");
  EXPECT_EQ(NextEvent(), Received("\\photos\\notes (1)"));
  EXPECT_EQ(ReadWholeFile(device->Path("photos/notes")), "old");
  EXPECT_EQ(ReadWholeFile(device->Path("photos/notes (1)")), "new");
  EXPECT_EQ(FilesIn(device->Path("photos")), (std::vector<std::string>{"notes", "notes (1)"}));
}

TEST_F(ClashOverPty, SkipKeepsTheFirstFileSaysSoAndTheNextMessageArrives) {
  Listen("skip");
  SendAsPeer(peer, "scan.jpg", "first");
  EXPECT_EQ(NextEvent(), Received("scan.jpg"));
  // The content looks like a message: were it not read off the line as the
  // file's, it would show as a text.
  SendAsPeer(peer, "scan.jpg", "TEXT-IN-THE-CONTENT");
  std::string failure = NextFailure();
  EXPECT_NE(failure.find("receiving scan.jpg failed"), std::string::npos) << failure;
  EXPECT_NE(failure.find("exists and was kept"), std::string::npos) << failure;
  peer.Write("after the skipped file");
  EXPECT_EQ(NextEvent(), "5: after the skipped file");
  EXPECT_EQ(ReadWholeFile(device->Path("scan.jpg")), "first");
  EXPECT_EQ(FilesIn(device->root.path()), std::vector<std::string>{"scan.jpg"});
}

TEST_F(ClashOverPty, AnUnknownPolicyRefusesTheFileSayingWhyAndKeepsTheLineInStep) {
  Listen("newest");
  WriteWholeFile(device->Path("a.txt"), "kept");
  SendAsPeer(peer, "a.txt", "content");
  std::string failure = NextFailure();
  EXPECT_NE(failure.find("TARVEL_ON_CLASH=newest"), std::string::npos) << failure;
  peer.Write("next");
  EXPECT_EQ(NextEvent(), "5: next");
  EXPECT_EQ(FilesIn(device->root.path()), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(ReadWholeFile(device->Path("a.txt")), "kept");
}

// The host asked for the file at its save path: neither policy may number it
// or drop it.
TEST_F(ClashOverPty, GetAnswerStillGoesToItsSavePathUnderRenameAndSkip) {
  for (const std::string policy : {"rename", "skip"}) {
    SCOPED_TRACE(policy);
    Listen(policy);
    TempDir outside;
    const std::string save = outside / "mine.txt";
    WriteWholeFile(save, "the host's old copy");
    Ask(save, "\\remote.txt");
    SendAsPeer(peer, "\\remote.txt", "fresh from the peer");
    EXPECT_EQ(NextEvent(), Answer(save));
    EXPECT_EQ(ReadWholeFile(save), "fresh from the peer");
    EXPECT_EQ(FilesIn(outside.path()), std::vector<std::string>{"mine.txt"});

    // With no save path the answer lands under the requested name, replaced too.
    WriteWholeFile(device->Path("remote.txt"), "old");
    Ask("", "\\remote.txt");
    SendAsPeer(peer, "\\remote.txt", "new");
    EXPECT_EQ(NextEvent(), Answer("\\remote.txt"));
    EXPECT_EQ(ReadWholeFile(device->Path("remote.txt")), "new");
    EXPECT_EQ(FilesIn(device->root.path()), std::vector<std::string>{"remote.txt"});
  }
}

TEST_F(ClashOverPty, ThePolledReaderFollowsThePolicyToo) {
  device = std::make_unique<TestDevice>(
      peer.slavePath(), std::map<std::string, std::string>{{"TARVEL_ON_CLASH", "rename"}},
      ShortLimits());
  LinkState& state = *device->state;
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  WriteWholeFile(device->Path("p.txt"), "old");
  peer.Write("FILE: p.txt 3abc");
  std::this_thread::sleep_for(200ms);
  PortRead(state);
  EXPECT_EQ(NextEvent(), "7: p (1).txt");
  EXPECT_EQ(ReadWholeFile(device->Path("p.txt")), "old");
  EXPECT_EQ(ReadWholeFile(device->Path("p (1).txt")), "abc");
}

}  // namespace
}  // namespace tarvel::testing
