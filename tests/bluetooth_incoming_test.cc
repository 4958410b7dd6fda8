// SPDX-License-Identifier: MIT
// The incoming Bluetooth serial port against a stand-in for bluetoothd on a
// private system bus: its registration, and port 0 with the peers that
// connect to it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/bluetooth_ports.h"
#include "platform/codepage.h"
#include "support/bluetooth_fixture.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Registration = BluetoothTest;

TEST_F(Registration, RegistersTheServerProfileOnceWithItsOptions) {
  EXPECT_EQ(PortCreate(state()), 999);
  EXPECT_EQ(PortCreate(state()), 999);
  std::string registered = bluez.Registrations();
  EXPECT_EQ(Count(registered, "\"uuid\""), 1u) << registered;
  EXPECT_NE(registered.find("\"uuid\": \"00001101-0000-1000-8000-00805f9b34fb\""),
            std::string::npos)
      << registered;
  EXPECT_NE(registered.find("\"Role\": \"server\""), std::string::npos) << registered;
  EXPECT_NE(registered.find("\"RequireAuthentication\": true"), std::string::npos) << registered;
  EXPECT_NE(registered.find("\"RequireAuthorization\": false"), std::string::npos) << registered;
  EXPECT_FALSE(StartsWith(Status(), "FAIL")) << Status();
  EXPECT_TRUE(state().Bluetooth().IncomingPortExists());
  // The record of the six values is written as before.
  EXPECT_TRUE(FileExists(device.config / "registry.reg"));
}

TEST_F(Registration, AReleasedProfileIsRegisteredAgainByTheNextCreate) {
  ASSERT_EQ(PortCreate(state()), 999);
  ASSERT_TRUE(bluez.Command("release").ok);
  // Release expects no answer: wait until the library has seen it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(PortCreate(state()), 999);
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 2u);
}

class NoBluez : public BluetoothTest {
 protected:
  NoBluez() : BluetoothTest(FakeBluez::Options{false, false}) {}
};

TEST_F(NoBluez, NothingIsRegisteredAndNothingFails) {
  EXPECT_EQ(PortCreate(state()), 999);
  EXPECT_FALSE(state().Bluetooth().IncomingPortExists());
  EXPECT_EQ(Status(), "");
  EXPECT_FALSE(state().Reports().Events().Next(std::chrono::milliseconds(0)).has_value());
  // Without a registration port 0 is the device it always was.
  EXPECT_EQ(PortOpen(state(), 0), 1);
  EXPECT_NE(Status().find("/dev/rfcomm0"), std::string::npos) << Status();
}

TEST(NoSystemBus, NothingIsRegisteredAndNothingFails) {
  TestDevice device("/nonexistent/tty",
                    {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus"}});
  EXPECT_EQ(PortCreate(*device.state), 999);
  EXPECT_FALSE(device.state->Bluetooth().IncomingPortExists());
  EXPECT_EQ(device.Status(), "");
  EXPECT_FALSE(device.state->Reports().Events().Next(std::chrono::milliseconds(0)).has_value());
}

class RefusingBluez : public BluetoothTest {
 protected:
  RefusingBluez() : BluetoothTest(FakeBluez::Options{true, true}) {}
};

TEST_F(RefusingBluez, ARefusedRegistrationFailsWithBluezsAnswer) {
  EXPECT_EQ(PortCreate(state()), 999);
  EXPECT_EQ(Status(),
            "FAIL: cannot register the incoming Bluetooth port: "
            "org.bluez.Error.NotPermitted: registration refused");
  std::optional<Event> event = state().Reports().Events().Next(std::chrono::milliseconds(0));
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->kind, EventKind::Failure);
  EXPECT_FALSE(state().Bluetooth().IncomingPortExists());
}

using IncomingPortTest = BluetoothTest;

TEST_F(IncomingPortTest, OpensBeforeAnyPeerQuietAndRefusingToSend) {
  ASSERT_EQ(PortCreate(state()), 999);
  auto started = Clock::now();
  EXPECT_EQ(PortOpen(state(), 0), 999);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(std::u16string(PortRead(state())), u"");
  std::shared_ptr<SerialDevice> port = state().Slot().Port();
  ASSERT_TRUE(port);
  EXPECT_EQ(port->QueueStatus(), std::optional<size_t>(0));

  started = Clock::now();
  EXPECT_EQ(PortSend(state(), u"hello"), 999);
  EXPECT_TRUE(StartsWith(Status(), "FAIL: ")) << Status();
  EXPECT_NE(Status().find("no peer connected"), std::string::npos) << Status();
  WriteWholeFile(device.Path("a.txt"), "content");
  EXPECT_EQ(SendFile(state(), Utf8ToUtf16(device.Path("a.txt")).c_str(), u"a.txt"), 999);
  EXPECT_NE(Status().find("no peer connected"), std::string::npos) << Status();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2)) << "a send waited for a peer";
}

TEST_F(IncomingPortTest, APeerPushesAFileThatIsSavedIntact) {
  Listen();
  Peer peer(bluez.ConnectPeer());
  ASSERT_GE(peer.fd(), 0);
  std::string content = RandomBytes(5000, 13);
  peer.PushFile("photo.jpg", content);
  ASSERT_EQ(WaitFor(EventKind::Received, 10000), "photo.jpg");
  EXPECT_TRUE(ReadWholeFile(device.Path("photo.jpg")) == content);
}

TEST_F(IncomingPortTest, APeersGetRequestIsAnsweredOnItsConnection) {
  std::string content = RandomBytes(700, 4);
  WriteWholeFile(device.Path("data.bin"), content);
  Listen();
  Peer peer(bluez.ConnectPeer());
  ASSERT_GE(peer.fd(), 0);
  WriteAll(peer.fd(), "GILE: \\data.bin|");
  EXPECT_EQ(ReadFor(peer.fd(), 20, 5000), "FILE: \\data.bin|700|");
  EXPECT_TRUE(ReadFor(peer.fd(), 700, 5000) == content);
  EXPECT_EQ(WaitFor(EventKind::GetAnswered), "\\data.bin");
}

TEST_F(IncomingPortTest, TheSameListenerServesTheNextPeerAfterAHangUp) {
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  WriteAll(first.fd(), "from the first peer");
  ASSERT_EQ(WaitFor(EventKind::PeerText), "from the first peer");
  first.HangUp();
  // The library sees the hang-up and frees the port for the next peer.
  Peer second(ConnectOnceFree(bluez));
  ASSERT_GE(second.fd(), 0);
  std::string content = RandomBytes(1200, 21);
  second.PushFile("second.bin", content);
  ASSERT_EQ(WaitFor(EventKind::Received, 10000), "second.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("second.bin")) == content);
}

TEST_F(IncomingPortTest, TheNextPeersRequestRightAfterAnAnswerIsAnsweredNotRefusedAsAPeerChange) {
  std::string content = RandomBytes(300, 8);
  WriteWholeFile(device.Path("data.bin"), content);
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  WriteAll(first.fd(), "GILE: \\data.bin|");
  EXPECT_EQ(ReadFor(first.fd(), 20, 5000), "FILE: \\data.bin|300|");
  EXPECT_TRUE(ReadFor(first.fd(), 300, 5000) == content);
  first.HangUp();
  // Within a second of the last answer, the next peer asks: the answer is
  // written on its connection because it answers what that peer asked.
  Peer second(ConnectOnceFree(bluez));
  ASSERT_GE(second.fd(), 0);
  WriteAll(second.fd(), "GILE: \\data.bin|");
  EXPECT_EQ(ReadFor(second.fd(), 20, 5000), "FILE: \\data.bin|300|") << Status();
  EXPECT_TRUE(ReadFor(second.fd(), 300, 5000) == content);
}

TEST_F(IncomingPortTest, AHostSendCutByAPeerChangeNeverReachesTheNextPeerEvenWhenItSpoke) {
  WriteWholeFile(device.Path("out.bin"), RandomBytes(300, 9));
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  std::thread host(
      [&] { SendFile(state(), Utf8ToUtf16(device.Path("out.bin")).c_str(), u"out.bin"); });
  // The header reaches the first peer; it hangs up during the pause before
  // the content, and the next peer connects and speaks at once.
  EXPECT_EQ(ReadFor(first.fd(), 18, 5000), "FILE: out.bin|300|");
  first.HangUp();
  Peer second(ConnectOnceFree(bluez));
  ASSERT_GE(second.fd(), 0);
  WriteAll(second.fd(), "hello from the second peer");
  host.join();
  EXPECT_EQ(ReadFor(second.fd(), 1, 1500), "") << "the first peer's content reached the second";
  EXPECT_NE(Status().find("the peer changed in the middle of a transfer"), std::string::npos)
      << Status();
  EXPECT_EQ(WaitFor(EventKind::PeerText), "hello from the second peer");
  WriteAll(second.fd(), "and served after it");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "and served after it");
}

TEST_F(IncomingPortTest, AHangUpMidFileSavesNothingAndTheNextPeerIsServed) {
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  WriteAll(first.fd(), "FILE: cut.bin|5000|");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  WriteAll(first.fd(), RandomBytes(1000, 5));
  first.HangUp();
  Peer second(ConnectOnceFree(bluez));
  ASSERT_GE(second.fd(), 0);
  // None of the next peer's bytes may complete the first peer's file.
  WriteAll(second.fd(), RandomBytes(4000, 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(FileExists(device.Path("cut.bin"))) << Status();
  second.HangUp();
  Peer third(ConnectOnceFree(bluez));
  ASSERT_GE(third.fd(), 0);
  std::string content = RandomBytes(800, 7);
  third.PushFile("whole.bin", content);
  ASSERT_EQ(WaitFor(EventKind::Received, 10000), "whole.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("whole.bin")) == content);
}

TEST_F(IncomingPortTest, ASecondPeerWhileOneIsConnectedIsRejected) {
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  std::string refusal;
  Peer second(bluez.ConnectPeer(&refusal));
  EXPECT_LT(second.fd(), 0);
  EXPECT_TRUE(StartsWith(refusal, "org.bluez.Error.Rejected")) << refusal;
  // The first peer keeps the port.
  WriteAll(first.fd(), "still here");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "still here");
}

TEST_F(IncomingPortTest, RequestDisconnectionHangsUpOnThePeer) {
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  ASSERT_TRUE(bluez.Command("disconnect").ok);
  // The peer sees the end of the connection at once.
  char byte = 0;
  EXPECT_EQ(read(first.fd(), &byte, 1), 0);
  Peer second(bluez.ConnectPeer());
  ASSERT_GE(second.fd(), 0);
  WriteAll(second.fd(), "after the disconnection");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "after the disconnection");
}

TEST_F(IncomingPortTest, CloseEndsTheConnectionAndAnOpenServesTheNextPeer) {
  Listen();
  Peer first(bluez.ConnectPeer());
  ASSERT_GE(first.fd(), 0);
  EXPECT_EQ(PortClose(state()), 999);
  char byte = 0;
  EXPECT_EQ(read(first.fd(), &byte, 1), 0);
  ASSERT_EQ(PortOpen(state(), 0), 999);
  Peer second(bluez.ConnectPeer());
  ASSERT_GE(second.fd(), 0);
  WriteAll(second.fd(), "hello again");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "hello again");
}

TEST_F(IncomingPortTest, APeerThatConnectsBeforeTheOpenIsThereWhenThePortOpens) {
  ASSERT_EQ(PortCreate(state()), 999);
  std::string refusal;
  Peer early(bluez.ConnectPeer(&refusal));
  ASSERT_GE(early.fd(), 0) << refusal;
  // Held for the port as on a single COM port: a second peer is turned away.
  EXPECT_LT(Peer(bluez.ConnectPeer()).fd(), 0);
  WriteAll(early.fd(), "waiting since before the open");
  ASSERT_EQ(PortOpen(state(), 0), 999);
  ASSERT_EQ(Server(state()), 999);
  EXPECT_EQ(WaitFor(EventKind::PeerText), "waiting since before the open");
}

TEST_F(IncomingPortTest, APeerThatConnectsWhileThePortIsClosedIsThereWhenItOpensAgain) {
  Listen();
  EXPECT_EQ(PortClose(state()), 999);
  Peer peer(bluez.ConnectPeer());
  ASSERT_GE(peer.fd(), 0);
  ASSERT_EQ(PortOpen(state(), 0), 999);
  WriteAll(peer.fd(), "between close and open");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "between close and open");
}

TEST_F(IncomingPortTest, AHeldPeerThatHangsUpMakesRoomForTheNext) {
  ASSERT_EQ(PortCreate(state()), 999);
  {
    Peer gone(bluez.ConnectPeer());
    ASSERT_GE(gone.fd(), 0);
  }
  Peer next(ConnectOnceFree(bluez));
  ASSERT_GE(next.fd(), 0);
  ASSERT_EQ(PortOpen(state(), 0), 999);
  ASSERT_EQ(Server(state()), 999);
  WriteAll(next.fd(), "the peer that stayed");
  EXPECT_EQ(WaitFor(EventKind::PeerText), "the peer that stayed");
}

TEST_F(IncomingPortTest, RequestDisconnectionReachesAHeldPeer) {
  ASSERT_EQ(PortCreate(state()), 999);
  Peer held(bluez.ConnectPeer());
  ASSERT_GE(held.fd(), 0);
  ASSERT_TRUE(bluez.Command("disconnect").ok);
  char byte = 0;
  EXPECT_EQ(read(held.fd(), &byte, 1), 0);
}

TEST_F(IncomingPortTest, ANamedPortZeroWinsOverTheIncomingPort) {
  TestDevice named("/nonexistent/tty", {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                                        {"TARVEL_COM0", "/nonexistent/named0"}});
  ASSERT_EQ(PortCreate(*named.state), 999);
  EXPECT_EQ(PortOpen(*named.state, 0), 1);
  EXPECT_NE(named.Status().find("/nonexistent/named0"), std::string::npos) << named.Status();
}

}  // namespace
}  // namespace tarvel::testing
