// SPDX-License-Identifier: MIT
// A file that changes while it is sent: the peer gets exactly the bytes the
// header announced, and a file that falls short keeps every writer quiet until
// the peer has given up on it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Shortened for the tests; the wire's hold outlasts the receiver's 10 s limit.
constexpr int kHoldMs = 1500;

// The wire's timing, with the hold after a short file cut to `holdMs`.
LinkTiming HoldOf(int holdMs) {
  LinkTiming timing;
  timing.shortFileHoldMs = holdMs;
  return timing;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class ChangingFileOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(*device.state, kTestPort), 999); }

  // Starts sending `local` as `remote` and returns once the peer has read the
  // header, which is then within the sender's 1 s pause.
  std::thread StartSend(const std::string& local, const std::string& remote, size_t size) {
    localWide = Utf8ToUtf16(local);
    remoteWide = Utf8ToUtf16(remote);
    std::thread sender([this] { SendFile(*device.state, localWide.c_str(), remoteWide.c_str()); });
    std::string header = "FILE: " + remote + "|" + std::to_string(size) + "|";
    EXPECT_EQ(peer.ReadExactly(header.size(), 3000), header);
    return sender;
  }

  std::optional<Event> NextEvent() { return device.state->Reports().Events().Next(0ms); }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, HoldOf(kHoldMs)};
  std::u16string localWide, remoteWide;
};

TEST_F(ChangingFileOverPty, GrowingFileSendsOnlyAnnouncedBytes) {
  const std::string log = RandomBytes(450, 5);
  WriteWholeFile(device.Path("app.log"), log);
  std::thread sender = StartSend(device.Path("app.log"), "app.log", log.size());
  // Appended during the pause: a peer would take it as a request of its own.
  std::ofstream(device.Path("app.log"), std::ios::app | std::ios::binary) << "GILE: \\secret.txt|";
  EXPECT_EQ(peer.ReadExactly(log.size(), 5000), log);
  sender.join();
  EXPECT_EQ(peer.ReadUntilQuiet(1500, 1500), "") << "bytes beyond the announced size went out";
  EXPECT_EQ(device.Status(), "SENT: " + device.Path("app.log"));
  std::optional<Event> sent = NextEvent();
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->kind, EventKind::Sent);
}

TEST_F(ChangingFileOverPty, ShrinkingFileFailsAndHoldsWhatFollowsPastThePeersQuietLimit) {
  const std::string first = RandomBytes(5000, 6);
  const std::string next = RandomBytes(300, 7);
  WriteWholeFile(device.Path("shrinks.bin"), first);
  WriteWholeFile(device.Path("next.bin"), next);
  std::thread sender = StartSend(device.Path("shrinks.bin"), "shrinks.bin", first.size());
  ASSERT_EQ(truncate(device.Path("shrinks.bin").c_str(), 1000), 0);
  EXPECT_EQ(peer.ReadExactly(1000, 5000), first.substr(0, 1000));
  // The hold starts after the last byte the file gave, so not before this.
  const Clock::time_point lastByte = Clock::now();
  sender.join();
  std::optional<Event> failure = NextEvent();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind, EventKind::Failure);
  EXPECT_NE(Utf16ToUtf8(failure->text).find("1000 of the 5000"), std::string::npos)
      << Utf16ToUtf8(failure->text);

  // A text, a request and a file made during the hold wait for it, then go
  // out as usual, one after another.
  std::u16string nextLocal = Utf8ToUtf16(device.Path("next.bin"));
  std::thread later([&] {
    PortSend(*device.state, u"hello");
    GetFile(*device.state, u"\\copy.bin", u"\\wanted.txt");
    SendFile(*device.state, nextLocal.c_str(), u"next.bin");
  });
  EXPECT_EQ(peer.ReadUntilQuiet(kHoldMs / 2, kHoldMs / 2), "") << "written during the hold";
  EXPECT_EQ(peer.ReadExactly(5, kHoldMs + 2000), "hello");
  EXPECT_GE(MillisecondsSince(lastByte), kHoldMs - 100)
      << "the text went out before the hold ended";
  std::string request = "GILE: \\wanted.txt|";
  EXPECT_EQ(peer.ReadExactly(request.size(), 2000), request);
  std::string header = "FILE: next.bin|300|";
  EXPECT_EQ(peer.ReadExactly(header.size(), 2000), header);
  EXPECT_EQ(peer.ReadExactly(next.size(), 5000), next);
  later.join();
  EXPECT_EQ(device.Status(), "SENT: " + device.Path("next.bin"));
  // The wait was told once, with its reason, and no other wait was.
  std::optional<Event> told = NextEvent();
  ASSERT_TRUE(told);
  EXPECT_EQ(told->kind, EventKind::Notice);
  EXPECT_TRUE(
      std::regex_match(Utf16ToUtf8(told->text),
                       std::regex("waiting [12] s: the peer is discarding an incomplete file")))
      << Utf16ToUtf8(told->text);
  std::optional<Event> sent = NextEvent();
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->kind, EventKind::Sent) << Utf16ToUtf8(sent->text);
}

}  // namespace
}  // namespace tarvel::testing
