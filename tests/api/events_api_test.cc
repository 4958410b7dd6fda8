// SPDX-License-Identifier: MIT
// Results through the exported functions as a host reads them: the event
// queue and the calling thread's last failure, over a real pty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/temp_dir.h"
#include "tarvel.h"

namespace tarvel::testing {
namespace {

struct HostEvent {
  int kind;
  std::u16string text;
};

HostEvent Next(int timeoutMs) {
  tarvel_wchar buffer[2000];
  int kind = TarvelNextEvent(timeoutMs, buffer, 2000);
  return {kind, buffer};
}

std::u16string Failure() {
  tarvel_wchar buffer[2000];
  return TarvelLastFailure(buffer, 2000) == 1 ? std::u16string(buffer) : u"";
}

// One process, one default link, which reads the environment once: every
// case works on the same library, root and pty, set up before the first
// call, so each drains the queue it leaves behind.
class HostEvents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static TempDir* sharedRoot = new TempDir;
    static PtyPair* sharedPeer = new PtyPair;
    setenv("TARVEL_ROOT", sharedRoot->path().c_str(), 1);
    setenv("TARVEL_COM3", sharedPeer->slavePath().c_str(), 1);
    setenv("TARVEL_COM4", (*sharedRoot / "no-such-tty").c_str(), 1);
    rootPointer = sharedRoot;
    peerPointer = sharedPeer;
  }
  void SetUp() override {
    while (Next(0).kind != TARVEL_EVENT_NONE) {
    }
    peer.ReadAvailable();
  }
  void TearDown() override { TarvelPortClose(); }

  static inline TempDir* rootPointer = nullptr;
  static inline PtyPair* peerPointer = nullptr;
  TempDir& root = *rootPointer;
  PtyPair& peer = *peerPointer;
};

TEST_F(HostEvents, ACallsOwnFailureIsKeptUntilTheThreadsNextCall) {
  ASSERT_EQ(TarvelPortOpen(4), TARVEL_PORT_UNAVAILABLE);
  std::u16string reason = Failure();
  EXPECT_NE(reason.find(u"COM4"), std::u16string::npos);
  // Looking at it again keeps it; any other call clears it.
  EXPECT_EQ(Failure(), reason);
  HostEvent event = Next(0);
  EXPECT_EQ(event.kind, TARVEL_EVENT_FAILURE);
  EXPECT_EQ(event.text, reason);
  ASSERT_EQ(TarvelPortOpen(3), TARVEL_DONE);
  EXPECT_EQ(Failure(), u"");
  // Another thread's failure is not this thread's.
  std::thread([] { TarvelSendFile(u"no-such-file", u"\\x"); }).join();
  EXPECT_EQ(Failure(), u"");
  EXPECT_EQ(Next(0).kind, TARVEL_EVENT_FAILURE);
}

TEST_F(HostEvents, ASentFileIsQueuedWithItsPath) {
  std::string local = root / "out.txt";
  WriteWholeFile(local, "abc");
  ASSERT_EQ(TarvelPortOpen(3), TARVEL_DONE);
  std::u16string wide(local.begin(), local.end());
  TarvelSendFile(wide.c_str(), u"\\out.txt");
  EXPECT_EQ(Failure(), u"");
  HostEvent sent = Next(0);
  EXPECT_EQ(sent.kind, TARVEL_EVENT_SENT);
  EXPECT_EQ(sent.text, wide);
  EXPECT_EQ(peer.ReadExactly(std::string("FILE: \\out.txt|3|abc").size(), 3000),
            "FILE: \\out.txt|3|abc");
}

TEST_F(HostEvents, StopWaitingEndsAnotherThreadsWaitWithoutLimit) {
  tarvel_wchar buffer[64];
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TarvelStopWaiting();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(TarvelNextEvent(-1, buffer, 64), TARVEL_EVENT_NONE);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(HostEvents, AWaitEndsEmptyAfterItsTimeOut) {
  tarvel_wchar buffer[4] = {u'x', u'x', 0, 0};
  EXPECT_EQ(TarvelNextEvent(30, buffer, 4), TARVEL_EVENT_NONE);
  EXPECT_EQ(buffer[0], 0);
}

}  // namespace
}  // namespace tarvel::testing
