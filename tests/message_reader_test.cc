// SPDX-License-Identifier: MIT
// The message reader on its own, over a pty: how the bytes that arrive become
// messages under the listener's framing and the polled reader's, what is
// carried from one message to the next, and who may read while it is held.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "link/message_reader.h"
#include "platform/mutex.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;
using Framing = MessageReader::Framing;

// A read's quiet gap long enough that a loaded machine never splits the
// writes a test means as one read.
LinkTiming LongQuietGap() {
  LinkTiming timing = ShortLimits();
  timing.readQuietGapMs = 1000;
  return timing;
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    port = device.state->Slot().Port();
    ASSERT_TRUE(port);
  }

  MessageReader& reader() { return device.state->Reader(); }

  std::optional<wire::Message> Next(Framing framing) {
    MutexLock hold(reader().Lock());
    return reader().Next(*port, framing);
  }

  // Writes `bytes` as the peer and waits until all of them wait on the port.
  void Arrive(const std::string& bytes) {
    size_t before = port->QueueStatus().value_or(0);
    peer.Write(bytes);
    for (int i = 0; i < 200 && port->QueueStatus().value_or(0) < before + bytes.size(); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_GE(port->QueueStatus().value_or(0), before + bytes.size());
  }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, LongQuietGap()};
  std::shared_ptr<SerialDevice> port;
};

TEST_F(Reader, WhatFollowsARequestInItsReadIsTheNextMessage) {
  Arrive("LIST: *.txt|hello");
  std::optional<wire::Message> request = Next(Framing::Listener);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->kind, wire::MessageKind::ListRequest);
  EXPECT_EQ(request->argument, "*.txt");
  // The rest was read with the request and is not waiting on the port.
  EXPECT_EQ(port->QueueStatus().value_or(99), 0u);
  std::optional<wire::Message> text = Next(Framing::Listener);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->kind, wire::MessageKind::TextMessage);
  EXPECT_EQ(text->argument, "hello");
  EXPECT_FALSE(Next(Framing::Listener));
}

TEST_F(Reader, AHeaderCutShortIsReadOnAndItsContentStartIsCarried) {
  Arrive("FI");
  std::thread rest([&] {
    std::this_thread::sleep_for(30ms);
    peer.Write("LE: a.bin|4|ab");
  });
  std::optional<wire::Message> header = Next(Framing::Listener);
  rest.join();
  ASSERT_TRUE(header);
  EXPECT_EQ(header->kind, wire::MessageKind::FileHeader);
  EXPECT_TRUE(header->refusal.empty()) << header->refusal;
  EXPECT_EQ(header->argument, "a.bin");
  EXPECT_EQ(header->size, 4);
  MutexLock hold(reader().Lock());
  EXPECT_EQ(reader().TakeCarried(4), "ab");
  EXPECT_FALSE(reader().HasCarried());
}

// The polled header's name ends at a space; to the listener the same read is
// a header that never became whole.
TEST_F(Reader, OneReadIsFramedByEachReadersOwnRules) {
  Arrive("FILE: a.txt 3abc");
  std::optional<wire::Message> polled = Next(Framing::Polled);
  ASSERT_TRUE(polled);
  EXPECT_EQ(polled->kind, wire::MessageKind::FileHeader);
  EXPECT_TRUE(polled->refusal.empty()) << polled->refusal;
  EXPECT_EQ(polled->argument, "a.txt");
  EXPECT_EQ(polled->size, 3);
  {
    MutexLock hold(reader().Lock());
    EXPECT_EQ(reader().TakeCarried(100), "abc");
  }
  Arrive("FILE: a.txt 3abc");
  std::optional<wire::Message> listened = Next(Framing::Listener);
  ASSERT_TRUE(listened);
  EXPECT_EQ(listened->kind, wire::MessageKind::FileHeader);
  EXPECT_FALSE(listened->refusal.empty());
}

TEST_F(Reader, ARefusedHeadersContentIsThrownAwayCarriedBytesFirst) {
  Arrive("FILE: a.txt|-5|xyz");
  MutexLock hold(reader().Lock());
  std::optional<wire::Message> header = reader().Next(*port, Framing::Listener);
  ASSERT_TRUE(header);
  EXPECT_FALSE(header->refusal.empty());
  ASSERT_TRUE(reader().HasCarried());
  peer.Write("more of the refused content");
  reader().DiscardRefusedContent(*port, [] { return false; });
  EXPECT_FALSE(reader().HasCarried());
  EXPECT_EQ(port->QueueStatus().value_or(99), 0u);
  EXPECT_FALSE(reader().Next(*port, Framing::Listener));
}

// A polled read while another thread holds the reader takes nothing; once it
// is free the same bytes are read.
TEST_F(Reader, APolledReadLeavesAHeldReadersBytesAlone) {
  std::mutex signal;
  std::condition_variable changed;
  bool held = false;
  bool release = false;
  std::thread holder([&] {
    MutexLock hold(reader().Lock());
    std::unique_lock<std::mutex> lock(signal);
    held = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> lock(signal);
    changed.wait(lock, [&] { return held; });
  }
  Arrive("hello");
  EXPECT_EQ(Utf16ToUtf8(PortRead(*device.state)), "");
  EXPECT_EQ(port->QueueStatus().value_or(0), 5u);
  {
    std::lock_guard<std::mutex> lock(signal);
    release = true;
  }
  changed.notify_all();
  holder.join();
  EXPECT_EQ(Utf16ToUtf8(PortRead(*device.state)), "hello");
  EXPECT_EQ(device.WaitForEvent(EventKind::PolledText), "hello");
}

}  // namespace
}  // namespace tarvel::testing
