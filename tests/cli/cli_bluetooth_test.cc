// SPDX-License-Identifier: MIT
// The tarvel command on Bluetooth through BlueZ, against a stand-in for
// bluetoothd on a private system bus: sending to a peer named by its address,
// and listening on the incoming serial port with no device named.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "cli_fixture.h"
#include "support/fake_bluez.h"
#include "support/temp_dir.h"
#include "tarvel_process.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

class CliBluetooth : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Environment() const {
    return {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
            {"TARVEL_REGISTRY", config / "registry.reg"}};
  }

  FakeBluez bluez;
  TempDir root;
  TempDir config;
};

// Sending used to register a client-role Serial Port profile, which the real
// bluetoothd refuses while a listener holds the UUID ("UUID already
// registered"). Now it needs none: on this kernel it fails at the socket.
TEST_F(CliBluetooth, SendWhileAListenerIsRegisteredFailsAtTheSocketRegisteringNothing) {
  int probe = socket(31 /* AF_BLUETOOTH */, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
  if (probe >= 0 || errno != EAFNOSUPPORT) {
    if (probe >= 0) close(probe);
    GTEST_SKIP() << "this system has Bluetooth sockets";
  }
  TarvelProcess listen({"--root", root.path(), "listen"}, Environment());
  ASSERT_TRUE(listen.WaitForError("waiting for a Bluetooth peer on the incoming serial port", 10s))
      << listen.Error();
  WriteWholeFile(root / "photo.jpg", "content");
  for (const std::string& device : {std::string("bluetooth:") + kFakeDeviceAddress,
                                    std::string("bluetooth:") + kFakeDeviceAddress + "@4"}) {
    Finished run = RunTarvel(
        {"--device", device, "--root", root.path(), "--quiet", "send", root / "photo.jpg"},
        Environment(), 20s);
    EXPECT_EQ(run.status, 1) << device;
    EXPECT_NE(run.error.find("this system has no Bluetooth sockets"), std::string::npos)
        << run.error;
    EXPECT_EQ(run.error.find("already registered"), std::string::npos) << run.error;
  }
  std::string registered = bluez.Registrations();
  EXPECT_EQ(registered.find("\"uuid\""), registered.rfind("\"uuid\"")) << registered;
  EXPECT_EQ(registered.find("\"client\""), std::string::npos) << registered;
  listen.Signal(SIGINT);
  EXPECT_EQ(listen.Wait(10s), std::optional<int>(0));
}

TEST_F(CliBluetooth, ListenSaysWhenBluetoothdGoesAndServesPeersWhenItIsBack) {
  TarvelProcess listen({"--root", root.path(), "listen"}, Environment());
  ASSERT_TRUE(listen.WaitForError("waiting for a Bluetooth peer on the incoming serial port", 10s))
      << listen.Error();
  bluez.StopStandIn();
  EXPECT_TRUE(listen.WaitForError("Bluetooth service gone; waiting for it to return", 10s))
      << listen.Error();
  bluez.StartStandIn();
  EXPECT_TRUE(listen.WaitForError("Bluetooth service back", 10s)) << listen.Error();
  int peer = bluez.ConnectPeer();
  ASSERT_GE(peer, 0);
  WriteAll(peer, "FILE: later.bin|5|");
  std::this_thread::sleep_for(300ms);
  WriteAll(peer, "later");
  EXPECT_TRUE(listen.WaitForOutput("RECV: later.bin", 10s)) << listen.Output() << listen.Error();
  EXPECT_EQ(ReadWholeFile(root / "later.bin"), "later");
  close(peer);
  listen.Signal(SIGINT);
  EXPECT_EQ(listen.Wait(10s), std::optional<int>(0));
}

TEST_F(CliBluetooth, AnUnknownPeerFailsWithTheReason) {
  WriteWholeFile(root / "a.txt", "a");
  Finished run = RunTarvel({"--device", "bluetooth:00:1A:7D:DA:71:14", "--root", root.path(),
                            "--quiet", "send", root / "a.txt"},
                           Environment(), 20s);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.error.find("00:1A:7D:DA:71:14"), std::string::npos) << run.error;
}

TEST_F(CliBluetooth, ListenWithoutADeviceServesPeersOnTheIncomingPort) {
  TarvelProcess listen({"--root", root.path(), "listen"}, Environment());
  ASSERT_TRUE(listen.WaitForError("waiting for a Bluetooth peer on the incoming serial port", 10s))
      << listen.Error();
  EXPECT_NE(bluez.Registrations().find("\"server\""), std::string::npos) << bluez.Registrations();
  std::string content = RandomBytes(2000, 12);
  int peer = bluez.ConnectPeer();
  ASSERT_GE(peer, 0);
  WriteAll(peer, "FILE: pushed.bin|2000|");
  std::this_thread::sleep_for(300ms);
  WriteAll(peer, content);
  EXPECT_TRUE(listen.WaitForOutput("RECV: pushed.bin", 10s)) << listen.Output() << listen.Error();
  EXPECT_TRUE(ReadWholeFile(root / "pushed.bin") == content);
  close(peer);
  listen.Signal(SIGINT);
  EXPECT_EQ(listen.Wait(10s), std::optional<int>(0));
}

TEST_F(CliTest, ListenWithoutABluetoothServiceKeepsToTheSerialPort) {
  TempDir nowhere;
  std::map<std::string, std::string> environment = environment_;
  // A bus that nobody serves: nothing to register with.
  environment["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + nowhere.path() + "/no_bus";
  environment["TARVEL_COM0"] = End(Side::B);
  TarvelProcess listener({"--root", Root(Side::B), "listen", "--once"}, environment);
  ASSERT_TRUE(listener.WaitForError("listening on " + End(Side::B) + ";", 5s)) << listener.Error();
  EXPECT_EQ(listener.Error().find("Bluetooth"), std::string::npos) << listener.Error();
  WriteWholeFile(Scratch("plain.txt"), "plain");
  ASSERT_EQ(Run(Side::A, {"send", Scratch("plain.txt")}).status, 0);
  EXPECT_EQ(listener.Wait(5s), 0) << listener.Error();
}

}  // namespace
}  // namespace tarvel::testing
