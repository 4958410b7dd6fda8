// SPDX-License-Identifier: MIT
// How the listener's wait for the first byte groups what arrives into
// messages, over a pty with the test as the raw peer, and how the wait ends
// when the port closes or the listener stops.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

void Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

class ListenerWait : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
    // Let the listener settle into its wait before the first byte comes.
    Pause(50);
  }

  // The results the listener reports until none comes for `quietMs`, as
  // "<kind>:<text>".
  std::vector<std::string> Results(int quietMs = 600) {
    std::vector<std::string> results;
    while (auto event = device.state->Reports().Events().Next(std::chrono::milliseconds(quietMs))) {
      results.push_back(std::to_string(static_cast<int>(event->kind)) + ":" +
                        Utf16ToUtf8(event->text));
    }
    return results;
  }

  static std::string Text(const std::string& text) {
    return std::to_string(static_cast<int>(EventKind::PeerText)) + ":" + text;
  }
  static std::string Received(const std::string& path) {
    return std::to_string(static_cast<int>(EventKind::Received)) + ":" + path;
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
};

// Bytes that come within the poll interval of the first are one message,
// wherever the first one falls: repeated, so that a listener reading at a
// fixed phase would split some of them.
TEST_F(ListenerWait, TwoTextsFiftyMillisecondsApartAreReadTogether) {
  for (int round = 0; round < 4; ++round) {
    peer.Write("hello ");
    Pause(50);
    peer.Write("world");
    EXPECT_EQ(Results(), std::vector<std::string>{Text("hello world")}) << "round " << round;
  }
}

TEST_F(ListenerWait, TwoTextsThreeHundredMillisecondsApartAreReadApart) {
  peer.Write("first");
  Pause(300);
  peer.Write("second");
  EXPECT_EQ(Results(), (std::vector<std::string>{Text("first"), Text("second")}));
}

TEST_F(ListenerWait, AHeaderWrittenInTwoPiecesIsReadAloneAsOneMessage) {
  for (int round = 0; round < 4; ++round) {
    std::string name = "split" + std::to_string(round) + ".txt";
    peer.Write("FILE: " + name.substr(0, 4));
    Pause(30);
    peer.Write(name.substr(4) + "|5|");
    // The sender's pause after a header keeps it a read of its own.
    Pause(300);
    peer.Write("abcde");
    EXPECT_EQ(Results(), std::vector<std::string>{Received(name)}) << "round " << round;
    EXPECT_EQ(ReadWholeFile(device.Path(name)), "abcde");
  }
}

TEST_F(ListenerWait, AnEmptyFilesHeaderAloneLeavesTheNextTextApart) {
  peer.Write("FILE: empty.txt|0|");
  Pause(300);
  peer.Write("after the header");
  EXPECT_EQ(Results(), (std::vector<std::string>{Received("empty.txt"), Text("after the header")}));
  EXPECT_EQ(ReadWholeFile(device.Path("empty.txt")), "");
}

TEST_F(ListenerWait, AHeaderFollowedByItsContentWithNoPauseIsOneFile) {
  peer.Write("FILE: nopause.txt|6|");
  peer.Write("abcdef");
  EXPECT_EQ(Results(), std::vector<std::string>{Received("nopause.txt")});
  EXPECT_EQ(ReadWholeFile(device.Path("nopause.txt")), "abcdef");
}

TEST_F(ListenerWait, AReplacedPortIsWaitedOnInstead) {
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  Pause(50);
  peer.Write("on the new port");
  EXPECT_EQ(Results(), std::vector<std::string>{Text("on the new port")});
}

TEST_F(ListenerWait, AListenerWaitingWithNoPortTakesTheNextOneOpened) {
  ASSERT_EQ(PortClose(*device.state), 999);
  Pause(200);
  peer.Write("sent while closed");
  Pause(200);
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  peer.Write("sent while open");
  std::vector<std::string> results = Results();
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back().find("sent while open") != std::string::npos, true) << results.back();
}

// A listener idle on an open port stops as soon as its state goes: the wait
// on the port must not outlive it.
TEST_F(ListenerWait, StoppingAnIdleListenerEndsItsWaitAtOnce) {
  Pause(200);
  auto start = Clock::now();
  device.state.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace tarvel::testing
