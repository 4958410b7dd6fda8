// SPDX-License-Identifier: MIT
// Outgoing Bluetooth connections to a paired peer's serial port, against a
// stand-in for bluetoothd on a private system bus.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/bluetooth_ports.h"
#include "link/operations.h"
#include "platform/codepage.h"
#include "support/bluetooth_fixture.h"

namespace tarvel::testing {
namespace {

class Outgoing : public BluetoothTest {
 protected:
  Outgoing() : BluetoothTest({}, std::string("bluetooth:") + kFakeDeviceAddress) {}

  // Opens port 3 and returns how long it took.
  Clock::duration TimedOpen(int expected) {
    auto started = Clock::now();
    EXPECT_EQ(PortOpen(state(), kTestPort), expected) << Status();
    return Clock::now() - started;
  }
};

TEST_F(Outgoing, ConnectsToThePeerAndSendsAFile) {
  TimedOpen(999);
  Peer peer(bluez.TakeOutgoingPeer(5000));
  ASSERT_GE(peer.fd(), 0);
  std::string registered = bluez.Registrations();
  EXPECT_NE(registered.find("\"Role\": \"client\""), std::string::npos) << registered;
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

TEST_F(Outgoing, EachOpenConnectsAgainThroughOneClientRegistration) {
  TimedOpen(999);
  Peer first(bluez.TakeOutgoingPeer(5000));
  ASSERT_GE(first.fd(), 0);
  TimedOpen(999);
  Peer second(bluez.TakeOutgoingPeer(5000));
  ASSERT_GE(second.fd(), 0);
  // The earlier connection was closed by the new open.
  char byte = 0;
  EXPECT_EQ(read(first.fd(), &byte, 1), 0);
  EXPECT_EQ(Count(bluez.Registrations(), "\"Role\": \"client\""), 1u);
  EXPECT_EQ(PortSend(state(), u"to the second"), 999);
  EXPECT_EQ(ReadFor(second.fd(), 13, 5000), "to the second");
}

TEST_F(Outgoing, AnAddressInLowerCaseFindsTheDevice) {
  TestDevice lower("/x", {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                          {"TARVEL_COM3", "bluetooth:00:1a:7d:da:71:13"}});
  EXPECT_EQ(PortOpen(*lower.state, kTestPort), 999) << lower.Status();
  Peer peer(bluez.TakeOutgoingPeer(5000));
  EXPECT_GE(peer.fd(), 0);
}

TEST_F(Outgoing, APeerThatHangsUpMakesTheNextSendFail) {
  TimedOpen(999);
  Peer peer(bluez.TakeOutgoingPeer(5000));
  ASSERT_GE(peer.fd(), 0);
  peer.HangUp();
  EXPECT_EQ(PortSend(state(), u"anyone?"), 999);
  EXPECT_TRUE(StartsWith(Status(), "FAIL: ")) << Status();
}

TEST_F(Outgoing, UnknownAndMalformedAddressesFail) {
  TestDevice unknown("/x", {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                            {"TARVEL_COM3", "bluetooth:00:1A:7D:DA:71:14"}});
  EXPECT_EQ(PortOpen(*unknown.state, kTestPort), 1);
  EXPECT_TRUE(StartsWith(unknown.Status(), "FAIL: cannot open COM3: ")) << unknown.Status();
  EXPECT_NE(unknown.Status().find("00:1A:7D:DA:71:14"), std::string::npos) << unknown.Status();

  TestDevice malformed("/x", {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                              {"TARVEL_COM3", "bluetooth:00:11:22:33:44"}});
  EXPECT_EQ(PortOpen(*malformed.state, kTestPort), 1);
  EXPECT_TRUE(StartsWith(malformed.Status(), "FAIL: cannot open COM3: ")) << malformed.Status();
}

TEST_F(Outgoing, ARefusedConnectFailsWithBluezsAnswer) {
  ASSERT_TRUE(bluez.Command("mode refuse").ok);
  TimedOpen(1);
  EXPECT_TRUE(StartsWith(Status(), "FAIL: cannot open COM3: ")) << Status();
  EXPECT_NE(Status().find("org.bluez.Error.Failed"), std::string::npos) << Status();
}

TEST_F(Outgoing, NoConnectionInTimeFails) {
  ASSERT_TRUE(bluez.Command("mode silent").ok);
  state().Bluetooth().SetConnectTimeLimit(std::chrono::milliseconds(700));
  Clock::duration took = TimedOpen(1);
  EXPECT_TRUE(StartsWith(Status(), "FAIL: cannot open COM3: ")) << Status();
  EXPECT_NE(Status().find("within"), std::string::npos) << Status();
  EXPECT_GE(took, std::chrono::milliseconds(700));
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(OutgoingWithoutBluez, FailsSayingSo) {
  FakeBluez bus(FakeBluez::Options{false, false});
  TestDevice device("/x", {{"DBUS_SYSTEM_BUS_ADDRESS", bus.busAddress()},
                           {"TARVEL_COM3", std::string("bluetooth:") + kFakeDeviceAddress}});
  EXPECT_EQ(PortOpen(*device.state, kTestPort), 1);
  EXPECT_TRUE(StartsWith(device.Status(), "FAIL: cannot open COM3: ")) << device.Status();
}

}  // namespace
}  // namespace tarvel::testing
