// SPDX-License-Identifier: MIT
// The incoming Bluetooth serial port against a stand-in for bluetoothd on a
// private system bus: only BlueZ is obeyed, only a connected stream socket is
// taken as a connection, and bluetoothd leaving and returning is survived.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/bluetooth_ports.h"
#include "support/bluetooth_fixture.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

class ServiceGuard : public BluetoothTest {
 protected:
  // A peer pushes a short text and the listener shows it.
  void ExpectServed(const std::string& text) {
    Peer peer(ConnectOnceFree(bluez));
    ASSERT_GE(peer.fd(), 0);
    WriteAll(peer.fd(), text);
    EXPECT_EQ(WaitFor(EventKind::PeerText), text);
  }
};

TEST_F(ServiceGuard, CallsFromAnotherProgramOnTheBusAreRejected) {
  Listen();
  FakeAnswer connect = bluez.Command("foreign connect");
  EXPECT_FALSE(connect.ok);
  EXPECT_TRUE(StartsWith(connect.text, "org.bluez.Error.Rejected")) << connect.text;

  // A foreign release leaves the registration alone: the next create
  // registers nothing new.
  ASSERT_TRUE(bluez.Command("foreign release").ok);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(PortCreate(state()), 999);
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u);
  for (std::string event; (event = device.NextEvent(std::chrono::milliseconds(0))) != "no event";) {
    EXPECT_NE(event.rfind("11: ", 0), 0u) << "a foreign call made a notice: " << event;
  }

  // A foreign disconnect leaves a connected peer alone.
  Peer peer(bluez.ConnectPeer());
  ASSERT_GE(peer.fd(), 0);
  FakeAnswer disconnect = bluez.Command("foreign disconnect");
  EXPECT_EQ(disconnect.text, "org.bluez.Error.Rejected");
  WriteAll(peer.fd(), "still connected");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "still connected");
}

TEST_F(ServiceGuard, DescriptorsThatAreNoConnectedStreamSocketAreRejectedAndClosed) {
  Listen();
  for (const char* kind : {"pipe", "datagram"}) {
    FakeAnswer answer = bluez.Command(std::string("pass ") + kind);
    EXPECT_FALSE(answer.ok) << kind;
    // The library closed its copy at once.
    EXPECT_EQ(answer.text, "org.bluez.Error.Rejected closed") << kind;
  }
  for (const char* kind : {"listening", "unconnected"}) {
    FakeAnswer answer = bluez.Command(std::string("pass ") + kind);
    EXPECT_FALSE(answer.ok) << kind;
    EXPECT_EQ(answer.text, "org.bluez.Error.Rejected -") << kind;
  }
  // The port is still free for a real peer.
  ExpectServed("a real peer");
}

TEST_F(ServiceGuard, BluezGoneAndBackWhileListeningIsRegisteredAgainAndServesTheNextPeer) {
  Listen();
  bluez.StopStandIn();
  EXPECT_EQ(WaitFor(EventKind::Notice, 5000), "Bluetooth service gone; waiting for it to return");
  bluez.StartStandIn();
  EXPECT_EQ(WaitFor(EventKind::Notice, 10000),
            "Bluetooth service back; the incoming port is registered again");
  std::string registered = bluez.Registrations();
  EXPECT_EQ(Count(registered, "\"uuid\""), 1u) << registered;
  EXPECT_NE(registered.find("\"Role\": \"server\""), std::string::npos) << registered;
  EXPECT_NE(registered.find("\"RequireAuthentication\": true"), std::string::npos) << registered;
  // The status still shows the last result, not the notices.
  EXPECT_FALSE(StartsWith(Status(), "Bluetooth")) << Status();
  ExpectServed("after the restart");
  // A create now registers nothing twice.
  ASSERT_EQ(PortCreate(state()), 999);
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u);
}

TEST_F(ServiceGuard, AReleaseIsToldAndTheRestartedServiceGetsTheProfileBack) {
  Listen();
  ASSERT_TRUE(bluez.Command("release").ok);
  EXPECT_NE(WaitFor(EventKind::Notice, 5000).find("released the incoming port"), std::string::npos);
  bluez.StopStandIn();
  EXPECT_NE(WaitFor(EventKind::Notice, 5000).find("gone"), std::string::npos);
  bluez.StartStandIn();
  EXPECT_NE(WaitFor(EventKind::Notice, 10000).find("registered again"), std::string::npos);
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u);
  ExpectServed("after the release");
}

}  // namespace
}  // namespace tarvel::testing
