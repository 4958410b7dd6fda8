// SPDX-License-Identifier: MIT
// Messages written right after one another reach the peer apart: two calls in
// a row, two threads at once, and a second state on the same device (as a
// process after this one would be) all keep the line quiet between them. The
// device's line record is honoured as another process left it, and a record
// that asks for more than any writer could is ignored. A hold belongs to the
// device it was left on.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/line_record.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One burst of bytes at the peer, and the quiet that came before it.
struct Burst {
  std::string bytes;
  double quietBeforeMs = 0;
};

// Reads the master into bursts: bytes closer together than `joinMs` are one
// burst, as a peer that looks at the port every 100 ms takes them as one read.
std::vector<Burst> ReadBursts(int master, size_t total, int limitMs, int joinMs = 100) {
  std::vector<Burst> bursts;
  auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  auto last = Clock::now();
  size_t got = 0;
  while (got < total && Clock::now() < deadline) {
    pollfd entry{master, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    char buffer[512];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    auto now = Clock::now();
    double quiet = std::chrono::duration<double, std::milli>(now - last).count();
    if (bursts.empty() || quiet >= joinMs) bursts.push_back({"", quiet});
    bursts.back().bytes.append(buffer, static_cast<size_t>(n));
    got += static_cast<size_t>(n);
    last = now;
  }
  return bursts;
}

class MessageGap : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(*device.state, kTestPort), 999); }

  static void Send(TestDevice& from, const std::u16string& text) {
    EXPECT_EQ(PortSend(*from.state, text.c_str()), 999);
  }

  // The record of the pty in `folder`, as every state on it finds it.
  std::string RecordPath() const {
    return records.path() + "/" + LineRecordName(CanonicalDeviceName(peer.slavePath()));
  }

  PtyPair peer;
  TempDir records;
  TestDevice device{peer.slavePath(), {{"TARVEL_LINE_RECORDS", records.path()}}};
  const int gapMs = LinkTiming().messageGapMs;
};

TEST_F(MessageGap, TwoCallsInARowReachThePeerApart) {
  auto reading = std::async(std::launch::async, ReadBursts, peer.masterFd(), 11, 5000, 100);
  Send(device, u"first");
  Send(device, u"second");
  std::vector<Burst> bursts = reading.get();
  ASSERT_EQ(bursts.size(), 2u);
  EXPECT_EQ(bursts[0].bytes, "first");
  EXPECT_EQ(bursts[1].bytes, "second");
  EXPECT_GE(bursts[1].quietBeforeMs, gapMs - 50);
}

TEST_F(MessageGap, TwoThreadsAtOnceReachThePeerApart) {
  auto reading = std::async(std::launch::async, ReadBursts, peer.masterFd(), 6, 5000, 100);
  std::thread one([&] { Send(device, u"one"); });
  std::thread two([&] { Send(device, u"two"); });
  std::vector<Burst> bursts = reading.get();
  one.join();
  two.join();
  ASSERT_EQ(bursts.size(), 2u);
  EXPECT_TRUE((bursts[0].bytes == "one" && bursts[1].bytes == "two") ||
              (bursts[0].bytes == "two" && bursts[1].bytes == "one"))
      << bursts[0].bytes << " / " << bursts[1].bytes;
  EXPECT_GE(bursts[1].quietBeforeMs, gapMs - 50);
}

// A second state on the device, opened the moment the first closed its port,
// stands for the next process: only the record tells it of the first's text.
TEST_F(MessageGap, TheNextUserOfTheDeviceKeepsTheGapThroughTheRecord) {
  auto reading = std::async(std::launch::async, ReadBursts, peer.masterFd(), 11, 5000, 100);
  Send(device, u"before");
  ASSERT_EQ(PortClose(*device.state), 999);
  TestDevice next{peer.slavePath(), {{"TARVEL_LINE_RECORDS", records.path()}}};
  ASSERT_EQ(PortOpen(*next.state, kTestPort), 999);
  Send(next, u"after");
  std::vector<Burst> bursts = reading.get();
  ASSERT_EQ(bursts.size(), 2u);
  EXPECT_EQ(bursts[0].bytes, "before");
  EXPECT_EQ(bursts[1].bytes, "after");
  EXPECT_GE(bursts[1].quietBeforeMs, gapMs - 50);
}

// As a sender killed mid-file leaves it: the hold runs on, and the wait for
// it is told with its reason.
TEST_F(MessageGap, AnIncompleteFileRecordedByAnotherProcessIsWaitedOutAndTold) {
  std::ofstream(RecordPath(), std::ios::trunc) << SharedClockMs() + 1500 << " incomplete\n";
  auto start = Clock::now();
  Send(device, u"late");
  EXPECT_GE(Clock::now() - start, 1400ms);
  EXPECT_EQ(peer.ReadExactly(4, 2000), "late");
  std::optional<Event> told = device.state->Reports().Events().Next(0ms);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->kind, EventKind::Notice);
  EXPECT_EQ(Utf16ToUtf8(told->text), "waiting 2 s: the peer is discarding an incomplete file");
}

// A time beyond what any writer asks for was written on another clock (before
// a restart): it must not silence the device for good.
TEST_F(MessageGap, ARecordFromAnotherClockHoldsNothing) {
  std::ofstream(RecordPath(), std::ios::trunc) << SharedClockMs() + 3600 * 1000 << " incomplete\n";
  auto start = Clock::now();
  Send(device, u"now");
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(peer.ReadExactly(3, 2000), "now");
}

// The hold after a file cut short by a hang-up keeps that line quiet; the
// host's next port is another line, whose peer waits for nothing.
TEST(MessageGapAcrossDevices, AFileCutShortOnOneDeviceHoldsNothingOnTheNext) {
  PtyPair first;
  PtyPair second;
  TestDevice device{first.slavePath(),
                    {{"TARVEL_COM" + std::to_string(kTestPort + 1), second.slavePath()}}};
  WriteWholeFile(device.Path("big.bin"), RandomBytes(1 << 20, 5));
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  auto sending = std::async(std::launch::async, [&] {
    std::u16string local = Utf8ToUtf16(device.Path("big.bin"));
    return SendFile(*device.state, local.c_str(), u"big.bin");
  });
  const std::string header = "FILE: big.bin|1048576|";
  ASSERT_EQ(first.ReadExactly(header.size(), 3000), header);
  ASSERT_EQ(first.ReadExactly(10000, 5000).size(), 10000u);
  first.HangUp();
  ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(PortOpen(*device.state, kTestPort + 1), 999);
  auto start = Clock::now();
  EXPECT_EQ(PortSend(*device.state, u"free"), 999);
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(second.ReadExactly(4, 2000), "free");
}

}  // namespace
}  // namespace tarvel::testing
