// SPDX-License-Identifier: MIT
// A hostile or garbled peer over a pty: a file header that is broken creates,
// empties or executes nothing, and a listing never lets a name forge entries.
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

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BrokenHeader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  std::string WaitFor(EventKind kind) { return device.WaitForEvent(kind); }

  // Long enough for a discard after a refused header to end.
  void WaitOutTheDiscard() {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(device.state->timing().refusedDiscardQuietMs + 300));
  }

  // The listener still works: a text written after the line has been quiet
  // long enough shows as itself.
  void ExpectStillListening() {
    WaitOutTheDiscard();
    peer.Write("still listening");
    EXPECT_EQ(WaitFor(EventKind::PeerText), "still listening");
  }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, ShortLimits()};
};

TEST_F(BrokenHeader, NegativeAndHugeSizesCreateNothing) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  for (const char* header : {"FILE: keep.txt|-5|", "FILE: keep.txt|99999999999|",
                             "FILE: new.txt|-2147483648|", "FILE: new.txt|2147483648|"}) {
    peer.Write(header);
    ASSERT_NE(WaitFor(EventKind::Failure), "") << header;
    WaitOutTheDiscard();
  }
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
  ExpectStillListening();
}

TEST_F(BrokenHeader, AHeaderWithoutItsBarsLeavesAnExistingFileAlone) {
  WriteWholeFile(device.Path("notes.txt"), "my notes");
  for (const char* text : {"FILE: notes.txt", "FILE: notes.txt|", "FILE: notes.txt|8"}) {
    peer.Write(text);
    ASSERT_NE(WaitFor(EventKind::Failure), "") << text;
    EXPECT_EQ(ReadWholeFile(device.Path("notes.txt")), "my notes") << text;
    WaitOutTheDiscard();
  }
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"notes.txt"});
  ExpectStillListening();
}

TEST_F(BrokenHeader, AHeaderSplitOverTwoWritesIsReceivedWhole) {
  // Cut inside the name, and between the size and its closing bar.
  const std::vector<std::pair<std::string, std::string>> cuts = {{"FILE: spl", "it.txt|5|"},
                                                                 {"FILE: split.txt|5", "|"}};
  for (const auto& [first, second] : cuts) {
    WriteWholeFile(device.Path("split.txt"), "earlier content");
    peer.Write(first);
    std::this_thread::sleep_for(50ms);
    peer.Write(second);
    std::this_thread::sleep_for(300ms);
    peer.Write("hello");
    ASSERT_EQ(WaitFor(EventKind::Received), "split.txt") << first;
    EXPECT_EQ(ReadWholeFile(device.Path("split.txt")), "hello");
  }
}

// The sender's header written in two pieces, the second 120 ms after the
// first: longer than the listener's poll, so the first piece is read alone.
void WriteSplitHeader(PtyPair& peer, const std::string& header, size_t cut) {
  peer.Write(header.substr(0, cut));
  std::this_thread::sleep_for(120ms);
  peer.Write(header.substr(cut));
}

TEST_F(BrokenHeader, AHeaderSplitInsideItsCommandWordIsReceivedWhole) {
  const std::string header = "FILE: \\x.txt|5|";
  for (size_t cut = 1; cut <= 5; ++cut) {
    std::string content = "cut " + std::to_string(cut);
    content.resize(5, '.');
    WriteSplitHeader(peer, header, cut);
    std::this_thread::sleep_for(300ms);
    peer.Write(content);
    ASSERT_EQ(WaitFor(EventKind::Received), "\\x.txt") << "cut after " << cut;
    EXPECT_EQ(ReadWholeFile(device.Path("x.txt")), content) << "cut after " << cut;
  }
}

TEST_F(BrokenHeader, AStartOfTheCommandWordThatStaysAloneIsAText) {
  peer.Write("FI");
  ASSERT_EQ(WaitFor(EventKind::PeerText), "FI");
  // A start of the word followed by other bytes in time is one text with them.
  WriteSplitHeader(peer, "FIRST LINE", 2);
  ASSERT_EQ(WaitFor(EventKind::PeerText), "FIRST LINE");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{});
}

TEST_F(BrokenHeader, ARefusedHeadersContentIsNotAnswered) {
  WriteWholeFile(device.Path("secret.txt"), "the secret");
  for (const char* header : {"FILE: big|99999999999|", "FILE: neg|-5|", "FILE: cut"}) {
    peer.Write(header);
    ASSERT_NE(WaitFor(EventKind::Failure), "") << header;
    // As a sender writes the content: after a pause, and once more later,
    // each time within the discard's quiet of the bytes before.
    const int discardMs = device.state->timing().refusedDiscardQuietMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(discardMs * 2 / 3));
    peer.Write("GILE: \\secret.txt|");
    std::this_thread::sleep_for(std::chrono::milliseconds(discardMs * 2 / 3));
    peer.Write("GILE: \\secret.txt|");
    EXPECT_EQ(peer.ReadUntilQuiet(discardMs + 300, 4 * discardMs + 2000), "")
        << header << ": content was answered";
    EXPECT_EQ(device.NextEvent(100ms), "no event") << header << ": content was acted on";
  }
  ExpectStillListening();
}

TEST_F(BrokenHeader, ANameWithLineBreaksIsListedWithQuestionMarks) {
  WriteWholeFile(device.Path("a\r\nforged\r\n2026 01 01-00:00:00\r\n\r\nb.txt"), "x");
  WriteWholeFile(device.Path("a\x01\x1f\x7f"
                             "c.txt"),
                 "y");
  peer.Write("LIST: \\a*|");
  ASSERT_EQ(WaitFor(EventKind::Listed), "\\a*");
  std::string listing = ReadWholeFile(device.Path("Tarvel.txt"));
  std::vector<std::string> lines;
  for (size_t at = 0; at < listing.size();) {
    size_t end = listing.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(listing.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(lines.size(), 6u) << "a name forged entries: " << listing;
  std::vector<std::string> names = {lines[0], lines[3]};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names[0], "a???c.txt");
  EXPECT_EQ(names[1], "a??forged??2026 01 01-00:00:00????b.txt");
}

// The polled reader, with no listener.
class BrokenPolledHeader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(*device.state, kTestPort), 999); }

  // Writes `bytes` and lets them reach the device's side, so that one polled
  // read takes them all.
  std::string SendAndRead(const std::string& bytes) {
    peer.Write(bytes);
    std::this_thread::sleep_for(100ms);
    PortRead(*device.state);
    return device.Status();
  }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, ShortLimits()};
};

TEST_F(BrokenPolledHeader, ThePolledHeaderWithItsContentInOneReadIsReceived) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SendAndRead("FILE: a.txt 5hello"), "a.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("a.txt")), "hello");
  // Digits, then a blank and the content; what lies beyond the size stays.
  EXPECT_EQ(SendAndRead("FILE: b.txt 4 abcNEXT"), "b.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("b.txt")), " abc");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "waited for bytes it had";
  PortRead(*device.state);
  EXPECT_EQ(device.Status(), "NEXT");
}

TEST_F(BrokenPolledHeader, AHeaderSplitInsideItsCommandWordIsReceivedWhole) {
  const std::string header = "FILE: \\x.txt|5|";
  for (size_t cut = 1; cut <= 5; ++cut) {
    std::string content = "cut " + std::to_string(cut);
    content.resize(5, '.');
    peer.Write(header.substr(0, cut));
    std::this_thread::sleep_for(20ms);
    // The rest comes within the read's quiet gap after the read began.
    std::thread rest([&] {
      std::this_thread::sleep_for(50ms);
      peer.Write(header.substr(cut));
      std::this_thread::sleep_for(300ms);
      peer.Write(content);
    });
    PortRead(*device.state);
    rest.join();
    EXPECT_EQ(device.Status(), "\\x.txt") << "cut after " << cut;
    EXPECT_EQ(ReadWholeFile(device.Path("x.txt")), content) << "cut after " << cut;
    PortRead(*device.state);
    EXPECT_EQ(device.Status(), "") << "cut after " << cut << ": bytes were left over";
  }
}

TEST_F(BrokenPolledHeader, AStartOfTheCommandWordThatStaysAloneIsAText) {
  EXPECT_EQ(SendAndRead("FI"), "FI");
  PortRead(*device.state);
  EXPECT_EQ(device.Status(), "");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{});
}

TEST_F(BrokenPolledHeader, NegativeAndHugeSizesCreateNothingAndTheirContentIsDropped) {
  WriteWholeFile(device.Path("keep.txt"), "original");
  for (const char* header : {"FILE: keep.txt -5", "FILE: keep.txt|-5|", "FILE: new.txt 99999999999",
                             "FILE: new.txt|99999999999|"}) {
    EXPECT_TRUE(IsFailure(SendAndRead(header))) << header;
    PortRead(*device.state);
    EXPECT_EQ(device.Status(), "") << header;
  }
  // Content that came while the refused header's bytes were being dropped.
  peer.Write("FILE: big.txt|99999999999|");
  std::this_thread::sleep_for(100ms);
  std::thread later([this] {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(device.state->timing().refusedDiscardQuietMs / 2));
    peer.Write("GILE: \\keep.txt|");
  });
  PortRead(*device.state);
  later.join();
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
  PortRead(*device.state);
  EXPECT_EQ(device.Status(), "") << "the refused header's content came back as a text";
  EXPECT_EQ(ReadWholeFile(device.Path("keep.txt")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.txt"});
}

}  // namespace
}  // namespace tarvel::testing
