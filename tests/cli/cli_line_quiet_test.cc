// SPDX-License-Identifier: MIT
// Messages written one right after another, by one process or by processes
// that follow each other on the device, reach a listening peer apart; and a
// file whose content stopped short (interrupted, killed, shrunk) keeps the
// next writer quiet until the peer has thrown the incomplete file away.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cli_fixture.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kDiscarding = "the peer is discarding an incomplete file";

// A file large enough that its content is still going out when the test acts.
constexpr off_t kLargeSize = 256 * 1024 * 1024;

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliLineQuietTest : public CliTest {
 protected:
  // Starts sending a large file from A and returns once its content flows:
  // the listener's file for it has begun to fill.
  std::unique_ptr<TarvelProcess> StartLargeSend() {
    std::string large = Scratch("large.bin");
    int fd = open(large.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, kLargeSize), 0);
    close(fd);
    auto sender = Start(Side::A, {"--quiet", "send", large});
    auto deadline = Clock::now() + seconds(10);
    while (!ContentArriving()) {
      if (Clock::now() >= deadline) {
        ADD_FAILURE() << "no content arrived";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return sender;
  }

  // Whether some file beneath B's root has received bytes.
  bool ContentArriving() const {
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(Root(Side::B), failure)) {
      if (entry.is_regular_file(failure) && entry.file_size(failure) > 0) return true;
    }
    return false;
  }

  // Sends a small file from A right away: it waits for the peer to discard
  // the incomplete one, says so, and arrives whole.
  void ExpectSmallSendArrivesIntact(TarvelProcess& listener) {
    std::string small = RandomBytes(3000, 41);
    WriteWholeFile(Scratch("small.bin"), small);
    auto sender = Start(Side::A, {"send", Scratch("small.bin")});
    // Told as the wait begins, not once it is over.
    EXPECT_TRUE(sender->WaitForError(kDiscarding, seconds(5))) << sender->Error();
    EXPECT_FALSE(Holds(listener.Output(), "RECV: \\small.bin")) << listener.Output();
    EXPECT_EQ(sender->Wait(seconds(40)), 0) << sender->Error();
    ASSERT_TRUE(listener.WaitForOutput("RECV: \\small.bin", seconds(10))) << listener.Output();
    EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/small.bin"), small);
    EXPECT_FALSE(Holds(listener.Output(), "RECV: \\large.bin")) << listener.Output();
  }
};

TEST_F(CliLineQuietTest, TextThenFileByTwoCommandsInARowArriveApart) {
  WriteWholeFile(Scratch("t1.txt"), "one");
  auto listener = Listen(Side::B);
  ASSERT_EQ(Run(Side::A, {"text", "hi"}).status, 0);
  ASSERT_EQ(Run(Side::A, {"send", Scratch("t1.txt")}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput("RECV: \\t1.txt", seconds(5))) << listener->Output();
  EXPECT_TRUE(Holds(listener->Output(), " TEXT: hi\n")) << listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/t1.txt"), "one");
}

TEST_F(CliLineQuietTest, TwoTextsByTwoCommandsInARowArriveApart) {
  auto listener = Listen(Side::B);
  ASSERT_EQ(Run(Side::A, {"text", "first"}).status, 0);
  ASSERT_EQ(Run(Side::A, {"text", "second"}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput(" TEXT: second\n", seconds(5))) << listener->Output();
  EXPECT_TRUE(Holds(listener->Output(), " TEXT: first\n")) << listener->Output();
}

TEST_F(CliLineQuietTest, TwoFilesByTwoCommandsInARowArriveApart) {
  std::string first = RandomBytes(700, 42);
  WriteWholeFile(Scratch("f1.bin"), first);
  WriteWholeFile(Scratch("f2.txt"), "FILE: looks like a header|9|");
  auto listener = Listen(Side::B);
  ASSERT_EQ(Run(Side::A, {"send", Scratch("f1.bin")}).status, 0);
  ASSERT_EQ(Run(Side::A, {"send", Scratch("f2.txt")}).status, 0);
  ASSERT_TRUE(listener->WaitForOutput("RECV: \\f2.txt", seconds(5))) << listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/f1.bin"), first);
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/f2.txt"), "FILE: looks like a header|9|");
}

TEST_F(CliLineQuietTest, SecondSendAfterCtrlCMidContentArrivesIntact) {
  auto listener = Listen(Side::B);
  auto interrupted = StartLargeSend();
  interrupted->Signal(SIGINT);
  ASSERT_TRUE(interrupted->Wait(seconds(5)).has_value());
  ExpectSmallSendArrivesIntact(*listener);
}

TEST_F(CliLineQuietTest, SecondSendAfterSigkillMidContentArrivesIntact) {
  auto listener = Listen(Side::B);
  auto killed = StartLargeSend();
  killed->Signal(SIGKILL);
  ASSERT_EQ(killed->Wait(seconds(5)), 128 + SIGKILL);
  ExpectSmallSendArrivesIntact(*listener);
}

TEST_F(CliLineQuietTest, SecondSendAfterAShrinkingFileArrivesIntact) {
  auto listener = Listen(Side::B);
  auto shrunk = StartLargeSend();
  ASSERT_EQ(truncate(Scratch("large.bin").c_str(), 4096), 0);
  EXPECT_EQ(shrunk->Wait(seconds(10)), 1) << shrunk->Error();
  EXPECT_TRUE(Holds(shrunk->Error(), "of the 268435456 bytes announced")) << shrunk->Error();
  ExpectSmallSendArrivesIntact(*listener);
}

TEST_F(CliLineQuietTest, AnUnwritableLineRecordIsToldAndTheTextStillGoes) {
  // A folder beneath a plain file can be made by no one, root included.
  WriteWholeFile(Scratch("plain"), "");
  environment_["TARVEL_LINE_RECORDS"] = Scratch("plain") + "/lines";
  auto listener = Listen(Side::B);
  Finished sent = Run(Side::A, {"text", "still here"});
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_TRUE(Holds(sent.error, "cannot keep the line record of " + End(Side::A))) << sent.error;
  EXPECT_TRUE(Holds(sent.error, "Not a directory")) << sent.error;
  EXPECT_TRUE(listener->WaitForOutput(" TEXT: still here\n", seconds(5))) << listener->Output();
}

}  // namespace
}  // namespace tarvel::testing
