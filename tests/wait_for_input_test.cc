// SPDX-License-Identifier: MIT
// The device's own wait for input, over a real pty, a socket pair and the
// incoming port holding a socket: it ends when a byte arrives, at its limit,
// at a hang-up, and at once when another thread closes the device.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "link/device/incoming_port.h"
#include "link/device/serial_device.h"
#include "link/device/stream_device.h"
#include "support/pty.h"

namespace tarvel {
namespace {

using testing::PtyPair;
using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A device and the peer at the other end of its line.
struct Line {
  std::shared_ptr<SerialDevice> device;
  std::function<void(const std::string&)> send;
  std::function<void()> hangUp;
  std::shared_ptr<void> keep;  // whatever the peer's end needs kept alive
};

Line TtyLine() {
  auto pty = std::make_shared<PtyPair>();
  std::string error;
  std::shared_ptr<SerialDevice> device = OpenSerialDevice(pty->slavePath(), &error);
  EXPECT_NE(device, nullptr) << error;
  return {device, [pty](const std::string& bytes) { pty->Write(bytes); }, [pty] { pty->HangUp(); },
          pty};
}

// A connected socket pair: the device takes one end, the peer keeps the other.
struct SocketPeer {
  int fd = -1;
  ~SocketPeer() {
    if (fd >= 0) close(fd);
  }
  void Send(const std::string& bytes) const {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void HangUp() { close(std::exchange(fd, -1)); }
};

std::unique_ptr<SerialDevice> SocketDevice(const std::shared_ptr<SocketPeer>& peer) {
  int ends[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  peer->fd = ends[1];
  std::string error;
  std::unique_ptr<SerialDevice> device = AdoptStreamSocket(ends[0], &error, LinkTiming());
  EXPECT_NE(device, nullptr) << error;
  return device;
}

Line SocketLine() {
  auto peer = std::make_shared<SocketPeer>();
  std::shared_ptr<SerialDevice> device = SocketDevice(peer);
  return {device, [peer](const std::string& bytes) { peer->Send(bytes); },
          [peer] { peer->HangUp(); }, peer};
}

Line IncomingLine() {
  auto peer = std::make_shared<SocketPeer>();
  auto port = std::make_shared<IncomingPort>();
  std::string why;
  EXPECT_TRUE(port->Offer(SocketDevice(peer), "peer", &why)) << why;
  return {port, [peer](const std::string& bytes) { peer->Send(bytes); }, [peer] { peer->HangUp(); },
          peer};
}

class WaitForInputOn : public ::testing::TestWithParam<Line (*)()> {
 protected:
  Line line = GetParam()();
};

TEST_P(WaitForInputOn, EndsAsSoonAsAByteArrivesAndTakesNothing) {
  auto waiting = std::async(std::launch::async, [this] { return line.device->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "ended with nothing on the line";
  auto sent = Clock::now();
  line.send("x");
  EXPECT_EQ(waiting.get(), WaitResult::Ready);
  EXPECT_LT(MillisecondsSince(sent), 1000);
  EXPECT_EQ(line.device->QueueStatus(), std::optional<size_t>(1));
  // Bytes already waiting end the next wait at once.
  EXPECT_EQ(line.device->WaitForInput(5000), WaitResult::Ready);
}

TEST_P(WaitForInputOn, TimesOutOnASilentLine) {
  auto start = Clock::now();
  EXPECT_EQ(line.device->WaitForInput(150), WaitResult::TimedOut);
  EXPECT_GE(MillisecondsSince(start), 150);
  EXPECT_EQ(line.device->WaitForInput(0), WaitResult::TimedOut);
}

TEST_P(WaitForInputOn, ACloseFromAnotherThreadEndsAnUnlimitedWait) {
  auto waiting = std::async(std::launch::async, [this] { return line.device->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto closing = Clock::now();
  line.device->Close();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(1)), std::future_status::ready)
      << "the wait outlived the close";
  EXPECT_EQ(waiting.get(), WaitResult::Closed);
  EXPECT_LT(MillisecondsSince(closing), 1000);
  EXPECT_EQ(line.device->WaitForInput(-1), WaitResult::Closed);
}

std::string LineName(const ::testing::TestParamInfo<Line (*)()>& info) {
  const char* names[] = {"Tty", "Socket", "IncomingPort"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Devices, WaitForInputOn,
                         ::testing::Values(&TtyLine, &SocketLine, &IncomingLine), LineName);

TEST(WaitForInputHangUp, APeerThatHangsUpEndsTheWaitOnATtyAndASocket) {
  for (Line (*make)() : {&TtyLine, &SocketLine}) {
    Line line = make();
    auto waiting =
        std::async(std::launch::async, [&line] { return line.device->WaitForInput(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    line.hangUp();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), WaitResult::Closed);
  }
}

TEST(WaitForInputHangUp, BytesLeftByAPeerThatHungUpAreStillReady) {
  Line line = SocketLine();
  line.send("last words");
  line.hangUp();
  EXPECT_EQ(line.device->WaitForInput(1000), WaitResult::Ready);
}

// The incoming port outlives its peers: a wait on it lasts across them.
TEST(WaitForInputIncoming, WaitsForAPeerToConnectAndThenOnItsConnection) {
  auto port = std::make_shared<IncomingPort>();
  auto peer = std::make_shared<SocketPeer>();
  auto waiting = std::async(std::launch::async, [&port] { return port->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string why;
  ASSERT_TRUE(port->Offer(SocketDevice(peer), "first", &why)) << why;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "a connection alone is no input";
  peer->Send("hi");
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::Ready);
}

TEST(WaitForInputIncoming, APeerThatHangsUpLeavesTheWaitForTheNext) {
  auto port = std::make_shared<IncomingPort>();
  auto first = std::make_shared<SocketPeer>();
  auto second = std::make_shared<SocketPeer>();
  std::string why;
  ASSERT_TRUE(port->Offer(SocketDevice(first), "first", &why)) << why;
  auto waiting = std::async(std::launch::async, [&port] { return port->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  first->HangUp();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "the port ended its wait with its peer";
  EXPECT_FALSE(port->PeerConnected());
  ASSERT_TRUE(port->Offer(SocketDevice(second), "second", &why)) << why;
  second->Send("hello");
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::Ready);
}

TEST(WaitForInputIncoming, ACloseEndsAWaitForAPeer) {
  auto port = std::make_shared<IncomingPort>();
  auto waiting = std::async(std::launch::async, [&port] { return port->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto closing = Clock::now();
  port->Close();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::Closed);
  EXPECT_LT(MillisecondsSince(closing), 1000);
  EXPECT_EQ(port->WaitForInput(150), WaitResult::Closed);
}

TEST(WaitForInputIncoming, TimesOutWithNoPeer) {
  IncomingPort port;
  auto start = Clock::now();
  EXPECT_EQ(port.WaitForInput(150), WaitResult::TimedOut);
  EXPECT_GE(MillisecondsSince(start), 150);
}

}  // namespace
}  // namespace tarvel
