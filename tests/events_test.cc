// SPDX-License-Identifier: MIT
// The event queue: order, bounds, waiting across threads, and the per-thread
// last failure; and a listening device that reports every result as an event.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "link/events.h"
#include "platform/codepage.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;

std::u16string Wide(const std::string& text) {
  return Utf8ToUtf16(text);
}

TEST(EventQueue, KeepsOrderAndSaysHowManyWentWhenFull) {
  EventQueue queue;
  for (size_t i = 0; i < EventQueue::kCapacity + 3; ++i) {
    queue.Push(EventKind::PeerText, Wide(std::to_string(i)));
  }
  std::optional<Event> first = queue.Next(milliseconds(0));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind, EventKind::Dropped);
  EXPECT_EQ(first->text, u"3");
  // The newest events stay, oldest first.
  for (size_t i = 3; i < EventQueue::kCapacity + 3; ++i) {
    std::optional<Event> next = queue.Next(milliseconds(0));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->kind, EventKind::PeerText);
    EXPECT_EQ(next->text, Wide(std::to_string(i)));
  }
  EXPECT_FALSE(queue.Next(milliseconds(0)));
}

TEST(EventQueue, AWaitingReaderWakesWhenAnotherThreadPushes) {
  EventQueue queue;
  auto reader = std::async(std::launch::async, [&] { return queue.Next(milliseconds(-1)); });
  std::this_thread::sleep_for(milliseconds(50));
  queue.Push(EventKind::Sent, u"a.txt");
  std::optional<Event> event = reader.get();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, EventKind::Sent);
  EXPECT_EQ(event->text, u"a.txt");
  // A bounded wait with nothing coming ends empty.
  EXPECT_FALSE(queue.Next(milliseconds(20)));
}

TEST(EventQueue, AWakeEndsAWaitWithoutLimitAndOnlyOneWait) {
  EventQueue queue;
  auto reader = std::async(std::launch::async, [&] { return queue.Next(milliseconds(-1)); });
  std::this_thread::sleep_for(milliseconds(50));
  queue.Wake();
  ASSERT_EQ(reader.wait_for(milliseconds(2000)), std::future_status::ready) << "still waiting";
  EXPECT_FALSE(reader.get());
  // The wake is spent: the next wait runs to its time-out.
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.Next(milliseconds(100)));
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(90));
}

TEST(EventQueue, AWakeBeforeAnyWaitEndsTheNextWaitButLosesNoEvent) {
  EventQueue queue;
  queue.Wake();
  auto reader = std::async(std::launch::async, [&] { return queue.Next(milliseconds(-1)); });
  ASSERT_EQ(reader.wait_for(milliseconds(2000)), std::future_status::ready) << "still waiting";
  EXPECT_FALSE(reader.get());
  queue.Wake();
  queue.Push(EventKind::Sent, u"a.txt");
  // The event comes first; the wake then ends the wait after it.
  std::optional<Event> event = queue.Next(milliseconds(-1));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->text, u"a.txt");
  EXPECT_FALSE(queue.Next(milliseconds(-1)));
}

TEST(LastFailure, BelongsToTheThreadWhoseCallFailed) {
  ClearLastFailure();
  SetLastFailure(u"mine");
  std::thread other([] {
    EXPECT_FALSE(LastFailure());
    SetLastFailure(u"theirs");
  });
  other.join();
  ASSERT_TRUE(LastFailure());
  EXPECT_EQ(*LastFailure(), u"mine");
  ClearLastFailure();
  EXPECT_FALSE(LastFailure());
}

// A listening device on a pty; the test is the raw peer.
class ListeningEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  Event NextEvent(int timeoutMs = 5000) {
    std::optional<Event> event = device.state->Reports().Events().Next(milliseconds(timeoutMs));
    return event.value_or(Event{EventKind::Dropped, u"no event", ""});
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
};

TEST_F(ListeningEvents, ResultsBetweenTwoLooksAreAllQueuedInOrder) {
  peer.Write("first text");
  std::this_thread::sleep_for(milliseconds(300));
  peer.Write("FILE: \\theirs.txt|5|");
  std::this_thread::sleep_for(milliseconds(400));
  peer.Write("hello");
  std::this_thread::sleep_for(milliseconds(600));
  peer.Write("second text");
  // Nobody looked meanwhile: the status shows only the last result, the queue all three.
  ASSERT_TRUE(device.WaitForStatus("second text", 5000));
  Event text = NextEvent();
  EXPECT_EQ(text.kind, EventKind::PeerText);
  EXPECT_EQ(text.text, u"first text");
  Event received = NextEvent();
  EXPECT_EQ(received.kind, EventKind::Received);
  EXPECT_EQ(received.text, u"\\theirs.txt");
  Event last = NextEvent();
  EXPECT_EQ(last.kind, EventKind::PeerText);
  EXPECT_EQ(last.text, u"second text");
}

TEST_F(ListeningEvents, APeerTextThatReadsLikeAResultArrivesAsAText) {
  peer.Write("RECV: OUT");
  Event event = NextEvent();
  EXPECT_EQ(event.kind, EventKind::PeerText);
  EXPECT_EQ(event.text, u"RECV: OUT");
  EXPECT_EQ(device.Status(), "RECV: OUT");
}

TEST_F(ListeningEvents, AFailureIsQueuedWithItsReason) {
  peer.Write("GILE: \\missing.txt|");
  Event event = NextEvent();
  EXPECT_EQ(event.kind, EventKind::Failure);
  EXPECT_NE(event.text.find(u"missing.txt"), std::u16string::npos);
  EXPECT_EQ(device.Status(), "FAIL: " + Utf16ToUtf8(event.text));
}

}  // namespace
}  // namespace tarvel::testing
