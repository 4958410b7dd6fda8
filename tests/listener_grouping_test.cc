// SPDX-License-Identifier: MIT
// How the listener groups the bytes that arrive into messages, over a pty:
// bytes that come within the collection interval after the first one are one
// read, bytes further apart are reads of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Grouping : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  // The next event's kind and text, or nothing within `timeout`.
  std::optional<std::pair<EventKind, std::string>> NextEvent(
      std::chrono::milliseconds timeout = 3s) {
    std::optional<Event> event = device.state->Reports().Events().Next(timeout);
    if (!event) return std::nullopt;
    return std::make_pair(event->kind, Utf16ToUtf8(event->text));
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
};

TEST_F(Grouping, TwoMessages50MsApartAreReadTogether) {
  for (int round = 0; round < 3; ++round) {
    peer.Write("first");
    std::this_thread::sleep_for(50ms);
    peer.Write(" second");
    auto event = NextEvent();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->first, EventKind::PeerText);
    EXPECT_EQ(event->second, "first second") << "round " << round;
    EXPECT_FALSE(NextEvent(300ms)) << "round " << round;
  }
}

TEST_F(Grouping, TwoMessages300MsApartAreReadApart) {
  for (int round = 0; round < 3; ++round) {
    peer.Write("one");
    std::this_thread::sleep_for(300ms);
    peer.Write("two");
    auto first = NextEvent();
    auto second = NextEvent();
    ASSERT_TRUE(first && second) << "round " << round;
    EXPECT_EQ(first->second, "one");
    EXPECT_EQ(second->second, "two");
  }
}

TEST_F(Grouping, AHeaderAloneThenItsContentAfterTheSendersPause) {
  peer.Write("FILE: alone.txt|5|");
  std::this_thread::sleep_for(std::chrono::milliseconds(device.state->timing().senderPauseMs));
  peer.Write("hello");
  auto event = NextEvent(5s);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->first, EventKind::Received) << event->second;
  EXPECT_EQ(ReadWholeFile(device.Path("alone.txt")), "hello");
}

TEST_F(Grouping, AHeaderFollowedByItsContentWithNoPause) {
  peer.Write("FILE: runon.txt|5|");
  peer.Write("hello");
  peer.Write("after");
  auto event = NextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->first, EventKind::Received) << event->second;
  EXPECT_EQ(ReadWholeFile(device.Path("runon.txt")), "hello");
  auto next = NextEvent();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->second, "after");
}

TEST_F(Grouping, AStopWhileTheListenerWaitsEndsItAtOnce) {
  std::this_thread::sleep_for(300ms);  // the listener is waiting on a silent line
  Clock::time_point start = Clock::now();
  device.state->Slot().StopListeners();
  EXPECT_LT(Clock::now() - start, 50ms);
}

}  // namespace
}  // namespace tarvel::testing
