// No byte a peer sends reaches the terminal raw: its texts, names, patterns
// and listings show control characters as '?' in every output of the command.
#include <thread>

#include "cli_fixture.h"
#include "raw_peer.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// What a terminal would act on: C0 controls other than the line end, and
// C1 controls (U+0080 to U+009F, as UTF-8) or a raw 0x9B.
bool HoldsControls(const std::string& output) {
  for (size_t at = 0; at < output.size(); ++at) {
    auto byte = static_cast<unsigned char>(output[at]);
    if ((byte < 0x20 && byte != '\n') || byte == 0x7f || byte == 0x9b) return true;
    if (byte == 0xc2 && at + 1 < output.size() &&
        static_cast<unsigned char>(output[at + 1]) < 0xa0) {
      return true;
    }
  }
  return false;
}

const char kRetitle[] = "\x1b]0;owned\a";
const char kClear[] = "\x1b[2J";

TEST_F(CliTest, ListenShowsNoPeerControlBytesInItsTextAndFailureLines) {
  auto listener = Listen(Side::B);
  RawPeer peer(End(Side::A));
  peer.Message(std::string("hi ") + kRetitle + kClear + " there");
  peer.Message(std::string("GILE: \\a") + kRetitle + ".txt|");
  peer.Message(std::string("LIST: \\x") + kClear + "*.zz|");
  peer.Message(std::string("FILE: \\q") + kClear + "/x.txt|4|", milliseconds(400));
  peer.Message("abcd", milliseconds(500));
  ASSERT_TRUE(listener->WaitForOutput("FAIL: receiving \\q?[2J/x.txt failed", seconds(5)))
      << listener->Output();
  const std::string output = listener->Output();
  const std::string error = listener->Error();
  EXPECT_NE(output.find("TEXT: hi ?]0;owned??[2J there\n"), std::string::npos) << output;
  EXPECT_NE(output.find("FAIL: cannot send \\a?]0;owned?.txt"), std::string::npos) << output;
  EXPECT_NE(output.find("FAIL: cannot list \\x?[2J*.zz"), std::string::npos) << output;
  EXPECT_NE(error.find("tarvel: cannot send \\a?]0;owned?.txt"), std::string::npos) << error;
  EXPECT_NE(error.find("tarvel: receiving \\q?[2J/x.txt failed"), std::string::npos) << error;
  EXPECT_FALSE(HoldsControls(output)) << output;
  EXPECT_FALSE(HoldsControls(error)) << error;
}

// ISO-8859-1 turns the byte 0x9B into U+009B, the one-character CSI.
TEST_F(CliTest, PollShowsC0AndC1ControlsOfAPeersTextAsQuestionMarks) {
  auto poller = Start(Side::B, {"--codepage", "ISO-8859-1", "poll", "--wait", "5"});
  std::this_thread::sleep_for(milliseconds(300));
  RawPeer peer(End(Side::A));
  peer.Message(std::string("a\x9b"
                           "2Jb") +
               kRetitle +
               "c\x7f"
               "d\r\nforged");
  EXPECT_EQ(poller->Wait(seconds(6)), 0) << poller->Error();
  EXPECT_EQ(poller->Output(), "a?2Jb?]0;owned?c?d??forged\n");
}

TEST_F(CliTest, PollShowsAPolledFilesNameWithoutItsControls) {
  auto poller = Start(Side::B, {"poll", "--wait", "5"});
  std::this_thread::sleep_for(milliseconds(300));
  RawPeer peer(End(Side::A));
  // The polled form: name, a space, the size. The name cannot become a file.
  peer.Message(std::string("FILE: n") + kClear + "x 2", milliseconds(100));
  peer.Message("ok");
  poller->Wait(seconds(6));
  EXPECT_FALSE(HoldsControls(poller->Output())) << poller->Output();
  EXPECT_FALSE(HoldsControls(poller->Error())) << poller->Error();
  EXPECT_NE((poller->Output() + poller->Error()).find("n?[2Jx"), std::string::npos)
      << poller->Output() << poller->Error();
}

// A scripted peer answers list --fetch with a listing of its own making.
TEST_F(CliTest, ListFetchPrintsAPeersListingWithoutItsControls) {
  RawPeer peer(End(Side::B));
  auto lister = Start(Side::A, {"list", "\\*.*", "--fetch", "--timeout", "5"});
  const std::string list = "LIST: \\*.*|";
  ASSERT_EQ(peer.Read(list.size(), seconds(5)), list);
  const std::string get = "GILE: \\Tarvel.txt|";
  ASSERT_EQ(peer.Read(get.size(), seconds(5)), get);
  const std::string listing = std::string("evil") + kClear + kRetitle +
                              "\r\n2026 01 01-00:00:00\r\n\r\n"
                              "back\rover\r\n2026 01 01-00:00:00\r\n\r\n";
  peer.Message("FILE: \\Tarvel.txt|" + std::to_string(listing.size()) + "|", milliseconds(400));
  peer.Message(listing);
  EXPECT_EQ(lister->Wait(seconds(10)), 0) << lister->Error();
  EXPECT_EQ(lister->Output(),
            "evil?[2J?]0;owned?\n2026 01 01-00:00:00\n\nback?over\n2026 01 01-00:00:00\n\n");
}

// A file the peer pushes while get waits fails for its name; get fails with it.
TEST_F(CliTest, GetFailureShowsThePeersNameWithoutItsControls) {
  RawPeer peer(End(Side::B));
  auto getter = Start(Side::A, {"get", "\\wanted.txt", Scratch("wanted.txt"), "--timeout", "5"});
  const std::string request = "GILE: \\wanted.txt|";
  ASSERT_EQ(peer.Read(request.size(), seconds(5)), request);
  peer.Message(std::string("FILE: \\w") + kRetitle + "/x.txt|2|", milliseconds(400));
  peer.Message("no");
  EXPECT_EQ(getter->Wait(seconds(10)), 1) << getter->Error();
  EXPECT_NE(getter->Error().find("tarvel: receiving \\w?]0;owned?/x.txt failed"), std::string::npos)
      << getter->Error();
  EXPECT_FALSE(HoldsControls(getter->Error())) << getter->Error();
  EXPECT_FALSE(FileExists(Scratch("wanted.txt")));
}

}  // namespace
}  // namespace tarvel::testing
