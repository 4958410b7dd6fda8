// SPDX-License-Identifier: MIT
// Outgoing Bluetooth connections to a peer's serial port: made with an RFCOMM
// socket of the library's own, so no profile is registered for them. This
// machine's kernel has no Bluetooth sockets: the link's handling of a
// connection is tested with the socket calls replaced by a socket pair, and
// the real calls are tested failing clearly. A stand-in for bluetoothd on a
// private system bus answers whether the peer is known and paired.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/bluetooth_ports.h"
#include "platform/codepage.h"
#include "support/bluetooth_fixture.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

// Whether this system can make Bluetooth sockets at all.
bool HasBluetoothSockets() {
  int fd = socket(31 /* AF_BLUETOOTH */, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
  if (fd >= 0) close(fd);
  return fd >= 0 || errno != EAFNOSUPPORT;
}

// Stands in for the system's SDP look-up and RFCOMM connect: records each
// call, and connects to the near end of a socket pair whose far end is the
// peer's.
class FakeRfcomm {
 public:
  struct Call {
    std::string address;
    int channel;  // 0 for a look-up
  };

  BluetoothPorts::RfcommCalls Calls() {
    BluetoothPorts::RfcommCalls calls;
    calls.findChannel = [this](const std::string& address, RfcommDeadline,
                               const std::atomic<bool>&) {
      Record({address, 0});
      return RfcommResult{channel, RfcommFailure::None, ""};
    };
    calls.connect = [this](const std::string& address, int to, RfcommDeadline deadline,
                           const std::atomic<bool>& abandoned) {
      Record({address, to});
      return Connect(deadline, abandoned);
    };
    return calls;
  }

  std::vector<Call> Made() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The peer's end of the last connection.
  int TakePeer() {
    std::lock_guard<std::mutex> lock(mutex_);
    int peer = peer_;
    peer_ = -1;
    return peer;
  }

  int channel = 5;      // what the look-up finds
  int refusals = 0;     // connects refused before one succeeds
  bool silent = false;  // connects that wait for their deadline or abandonment

 private:
  void Record(Call call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  RfcommResult Connect(RfcommDeadline deadline, const std::atomic<bool>& abandoned) {
    if (silent) {
      while (!abandoned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (abandoned) return {-1, RfcommFailure::Abandoned, "given up"};
      return {-1, RfcommFailure::TimedOut, "the peer did not answer in time"};
    }
    if (refusals > 0) {
      --refusals;
      return {-1, RfcommFailure::Refused, DescribeRfcommError(ECONNREFUSED)};
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      return {-1, RfcommFailure::Other, "socketpair failed"};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (peer_ >= 0) close(peer_);
    peer_ = ends[1];
    return {ends[0], RfcommFailure::None, ""};
  }

  std::mutex mutex_;
  std::vector<Call> calls_;
  int peer_ = -1;
};

class Outgoing : public BluetoothTest {
 protected:
  Outgoing() : BluetoothTest({}, std::string("bluetooth:") + kFakeDeviceAddress) {
    state().Bluetooth().SetRfcommCalls(rfcomm.Calls());
  }
  // A device whose port 3 is `name`, connecting through the fake socket calls.
  std::unique_ptr<TestDevice> DeviceNamed(const std::string& name,
                                          const LinkTiming& timing = LinkTiming()) {
    auto other = std::make_unique<TestDevice>(
        "/x",
        std::map<std::string, std::string>{{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                                           {"TARVEL_COM3", name}},
        timing);
    other->state->Bluetooth().SetRfcommCalls(rfcomm.Calls());
    return other;
  }

  FakeRfcomm rfcomm;
};

TEST_F(Outgoing, ConnectsToTheLookedUpChannelAndSendsAFileRegisteringNoProfile) {
  ASSERT_EQ(PortOpen(state(), kTestPort), 999) << Status();
  Peer peer(rfcomm.TakePeer());
  ASSERT_GE(peer.fd(), 0);
  std::vector<FakeRfcomm::Call> made = rfcomm.Made();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(made[0].address, kFakeDeviceAddress);
  EXPECT_EQ(made[0].channel, 0);
  EXPECT_EQ(made[1].channel, 5);
  EXPECT_EQ(bluez.Registrations(), "[]");
  std::string content = RandomBytes(3000, 8);
  WriteWholeFile(device.Path("photo.jpg"), content);
  std::thread reader([&] {
    EXPECT_EQ(ReadFor(peer.fd(), 21, 10000), "FILE: photo.jpg|3000|");
    EXPECT_TRUE(ReadFor(peer.fd(), 3000, 10000) == content);
  });
  EXPECT_EQ(SendFile(state(), Utf8ToUtf16(device.Path("photo.jpg")).c_str(), u"photo.jpg"), 999);
  reader.join();
  EXPECT_EQ(Status(), "SENT: " + device.Path("photo.jpg"));
}

TEST_F(Outgoing, AChannelInTheNameSkipsTheLookUpAndLowerCaseIsRead) {
  auto named = DeviceNamed("bluetooth:00:1a:7d:da:71:13@12");
  ASSERT_EQ(PortOpen(*named->state, kTestPort), 999) << named->Status();
  Peer peer(rfcomm.TakePeer());
  EXPECT_GE(peer.fd(), 0);
  std::vector<FakeRfcomm::Call> made = rfcomm.Made();
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].address, kFakeDeviceAddress);
  EXPECT_EQ(made[0].channel, 12);
}

TEST_F(Outgoing, EachOpenConnectsAgainAndClosesTheEarlierConnection) {
  ASSERT_EQ(PortOpen(state(), kTestPort), 999) << Status();
  Peer first(rfcomm.TakePeer());
  ASSERT_GE(first.fd(), 0);
  ASSERT_EQ(PortOpen(state(), kTestPort), 999) << Status();
  Peer second(rfcomm.TakePeer());
  ASSERT_GE(second.fd(), 0);
  char byte = 0;
  EXPECT_EQ(read(first.fd(), &byte, 1), 0);
  EXPECT_EQ(PortSend(state(), u"to the second"), 999);
  EXPECT_EQ(ReadFor(second.fd(), 13, 5000), "to the second");
}

TEST_F(Outgoing, APeerThatHangsUpMakesTheNextSendFail) {
  ASSERT_EQ(PortOpen(state(), kTestPort), 999) << Status();
  Peer peer(rfcomm.TakePeer());
  ASSERT_GE(peer.fd(), 0);
  peer.HangUp();
  EXPECT_EQ(PortSend(state(), u"anyone?"), 999);
  EXPECT_TRUE(StartsWith(Status(), "FAIL: ")) << Status();
}

// The connection keeps the link's own stall limit, not the wire's default one.
TEST_F(Outgoing, AConnectionThatStallsGivesUpAtTheLinksOwnStallLimit) {
  LinkTiming timing = ShortLimits();
  auto named = DeviceNamed(std::string("bluetooth:") + kFakeDeviceAddress, timing);
  ASSERT_EQ(PortOpen(*named->state, kTestPort), 999) << named->Status();
  // The peer takes nothing: the connection fills and the file's content stalls.
  Peer peer(rfcomm.TakePeer());
  ASSERT_GE(peer.fd(), 0);
  WriteWholeFile(named->Path("big.bin"), std::string(4 << 20, 'b'));
  auto started = std::chrono::steady_clock::now();
  SendFile(*named->state, Utf8ToUtf16(named->Path("big.bin")).c_str(), u"big.bin");
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(StartsWith(named->Status(), "FAIL: ")) << named->Status();
  EXPECT_LT(took, std::chrono::milliseconds(timing.senderPauseMs + LinkTiming().writeStallLimitMs))
      << "the connection waited out the wire's default stall limit";
}

TEST_F(Outgoing, UnknownUnpairedAndMalformedTargetsFailBeforeAnyConnect) {
  struct Case {
    std::string name;
    std::string says;
  };
  for (const Case& bad :
       std::vector<Case>{{"bluetooth:00:1A:7D:DA:71:14", "BlueZ knows no device 00:1A:7D:DA:71:14"},
                         {std::string("bluetooth:") + kUnpairedDeviceAddress, "not paired"},
                         {"bluetooth:00:11:22:33:44", "is not a Bluetooth address"},
                         {"bluetooth:00:1A:7D:DA:71:13@0", "is not an RFCOMM channel"},
                         {"bluetooth:00:1A:7D:DA:71:13@31", "is not an RFCOMM channel"},
                         {"bluetooth:00:1A:7D:DA:71:13@", "is not an RFCOMM channel"}}) {
    auto named = DeviceNamed(bad.name);
    EXPECT_EQ(PortOpen(*named->state, kTestPort), 1) << bad.name;
    EXPECT_TRUE(StartsWith(named->Status(), "FAIL: cannot open COM3: ")) << named->Status();
    EXPECT_NE(named->Status().find(bad.says), std::string::npos) << named->Status();
  }
  EXPECT_TRUE(rfcomm.Made().empty());
}

TEST_F(Outgoing, ARefusalIsRetriedOnceAfterAPause) {
  // The peer's kernel refuses the first connect (its security-block race).
  rfcomm.refusals = 1;
  auto started = Clock::now();
  ASSERT_EQ(PortOpen(state(), kTestPort), 999) << Status();
  EXPECT_GE(Clock::now() - started, BluetoothPorts::kRefusalRetryPause);
  Peer peer(rfcomm.TakePeer());
  EXPECT_GE(peer.fd(), 0);
  EXPECT_EQ(rfcomm.Made().size(), 3u);  // the look-up and two connects

  // A peer that refuses again is refused: no third try.
  rfcomm.refusals = 2;
  EXPECT_EQ(PortOpen(state(), kTestPort), 1);
  EXPECT_NE(Status().find("refused the connection"), std::string::npos) << Status();
  EXPECT_EQ(rfcomm.Made().size(), 6u);
}

TEST_F(Outgoing, NoConnectionInTimeFailsAtTheDeadline) {
  rfcomm.silent = true;
  state().Bluetooth().SetConnectTimeLimit(std::chrono::milliseconds(700));
  auto started = Clock::now();
  EXPECT_EQ(PortOpen(state(), kTestPort), 1);
  Clock::duration took = Clock::now() - started;
  EXPECT_NE(Status().find("no connection to " + std::string(kFakeDeviceAddress) + " within 700 ms"),
            std::string::npos)
      << Status();
  EXPECT_GE(took, std::chrono::milliseconds(700));
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST_F(Outgoing, ACloseFromAnotherThreadEndsAConnectUnderWay) {
  rfcomm.silent = true;
  auto started = Clock::now();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PortClose(state());
  });
  EXPECT_EQ(PortOpen(state(), kTestPort), 1);
  closer.join();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << "the close did not end the wait";
  EXPECT_FALSE(state().Slot().Port());
}

// The real socket calls, on a kernel without Bluetooth sockets.
class RealSockets : public BluetoothTest {
 protected:
  void SetUp() override {
    if (HasBluetoothSockets()) GTEST_SKIP() << "this system has Bluetooth sockets";
  }
};

// Outgoing connections used to register a client-role Serial Port profile,
// which the real bluetoothd refuses ("UUID already registered") while a
// listener's server-role profile holds the UUID.
TEST_F(RealSockets, OutgoingWhileTheIncomingPortIsRegisteredRegistersNoProfile) {
  ASSERT_EQ(PortCreate(state()), 999);
  ASSERT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u);
  for (const std::string& name : {std::string("bluetooth:") + kFakeDeviceAddress,
                                  std::string("bluetooth:") + kFakeDeviceAddress + "@3"}) {
    TestDevice sender("/x",
                      {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}, {"TARVEL_COM3", name}});
    EXPECT_EQ(PortOpen(*sender.state, kTestPort), 1);
    EXPECT_TRUE(StartsWith(sender.Status(), "FAIL: cannot open COM3: ")) << sender.Status();
    EXPECT_NE(sender.Status().find("this system has no Bluetooth sockets"), std::string::npos)
        << sender.Status();
    EXPECT_EQ(sender.Status().find("already registered"), std::string::npos) << sender.Status();
  }
  std::string registered = bluez.Registrations();
  EXPECT_EQ(Count(registered, "\"uuid\""), 1u) << registered;
  EXPECT_EQ(Count(registered, "\"client\""), 0u) << registered;
}

TEST(RealSocketsWithoutBluez, AnOutgoingConnectFailsAtTheSocketSayingWhy) {
  if (HasBluetoothSockets()) GTEST_SKIP() << "this system has Bluetooth sockets";
  FakeBluez bus(FakeBluez::Options{false, false});
  TestDevice device("/x", {{"DBUS_SYSTEM_BUS_ADDRESS", bus.busAddress()},
                           {"TARVEL_COM3", std::string("bluetooth:") + kFakeDeviceAddress}});
  EXPECT_EQ(PortOpen(*device.state, kTestPort), 1);
  EXPECT_NE(
      device.Status().find("cannot look up the serial port of " + std::string(kFakeDeviceAddress) +
                           ": this system has no Bluetooth sockets"),
      std::string::npos)
      << device.Status();
}

TEST(RfcommErrors, EachKernelAnswerHasItsOwnClearMeaning) {
  EXPECT_EQ(ClassifyRfcommError(EAFNOSUPPORT), RfcommFailure::NoSockets);
  EXPECT_EQ(ClassifyRfcommError(ECONNREFUSED), RfcommFailure::Refused);
  EXPECT_EQ(ClassifyRfcommError(EHOSTDOWN), RfcommFailure::Unreachable);
  EXPECT_EQ(ClassifyRfcommError(EHOSTUNREACH), RfcommFailure::Unreachable);
  EXPECT_EQ(ClassifyRfcommError(EACCES), RfcommFailure::NotAuthenticated);
  EXPECT_EQ(ClassifyRfcommError(ETIMEDOUT), RfcommFailure::TimedOut);
  EXPECT_EQ(ClassifyRfcommError(EBADF), RfcommFailure::Other);
  EXPECT_NE(DescribeRfcommError(EAFNOSUPPORT).find("no Bluetooth sockets"), std::string::npos);
  EXPECT_NE(DescribeRfcommError(ECONNREFUSED).find("refused"), std::string::npos);
  EXPECT_NE(DescribeRfcommError(EHOSTDOWN).find("cannot be reached"), std::string::npos);
  EXPECT_NE(DescribeRfcommError(EACCES).find("pair the device"), std::string::npos);
}

}  // namespace
}  // namespace tarvel::testing
