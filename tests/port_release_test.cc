// SPDX-License-Identifier: MIT
// Closing or reopening the port while the listener or a sender still works on
// it: the tty and its exclusive use go at once, and the new port keeps its
// claim after the old holders let go. Run also as an unprivileged user, where
// exclusive use binds and a port still held would refuse the reopen.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

class PortRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(state, kTestPort), 999);
    ASSERT_EQ(Server(state), 999);
  }

  // Whether the tty is claimed for exclusive use, as its own flag says.
  bool Exclusive() {
    int exclusive = -1;
    EXPECT_EQ(ioctl(peer.slaveFd(), TIOCGEXCL, &exclusive), 0);
    return exclusive == 1;
  }

  // Reopens the port while the old one is busy, and checks that the new one
  // holds the tty for good once the old holders have failed and let go.
  void ReopenAndCheckTheClaim() {
    EXPECT_EQ(PortOpen(state, kTestPort), 999) << device.Status();
    EXPECT_TRUE(Exclusive());
    std::this_thread::sleep_for(1500ms);  // the old holders fail and drop the old port
    EXPECT_TRUE(Exclusive());
    if (geteuid() != 0) {
      std::string error;
      EXPECT_EQ(OpenSerialDevice(peer.slavePath(), &error), nullptr);
    }
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
  LinkState& state = *device.state;
};

TEST_F(PortRelease, ReopenWhileTheListenerIsMidFileKeepsTheNewPortExclusive) {
  peer.Write("FILE: big.bin|100000|");
  std::this_thread::sleep_for(400ms);
  peer.Write(RandomBytes(1000, 7));
  std::this_thread::sleep_for(50ms);  // the listener now waits for the rest of the file
  ReopenAndCheckTheClaim();
  // The same listener serves the new port.
  peer.Write("ping");
  EXPECT_EQ(device.WaitForEvent(EventKind::PeerText), "ping");
}

TEST_F(PortRelease, ReopenWhileAGetIsAnsweredKeepsTheNewPortExclusive) {
  WriteWholeFile(device.Path("asked.bin"), RandomBytes(5000, 3));
  peer.Write("GILE: asked.bin|");
  const std::string header = "FILE: asked.bin|5000|";
  ASSERT_EQ(peer.ReadExactly(header.size(), 3000), header);
  // The sender holds the port through its pause before the content.
  ReopenAndCheckTheClaim();
  EXPECT_LT(peer.ReadUntilQuiet(300, 1000).size(), 5000u);
}

TEST_F(PortRelease, CloseReleasesTheTtyAtOnceWhileTheListenerHoldsIt) {
  ASSERT_TRUE(Exclusive());
  EXPECT_EQ(PortClose(state), 999);
  EXPECT_FALSE(Exclusive());
  std::string error;
  EXPECT_NE(OpenSerialDevice(peer.slavePath(), &error), nullptr) << error;
}

}  // namespace
}  // namespace tarvel::testing
