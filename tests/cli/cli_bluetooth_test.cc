// SPDX-License-Identifier: MIT
// The tarvel command on Bluetooth through BlueZ, against a stand-in for
// bluetoothd on a private system bus: sending to a paired peer named by its
// address, and listening on the incoming serial port with no device named.
#include <unistd.h>

#include <gtest/gtest.h>

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

TEST_F(CliBluetooth, SendsAFileToAPeerNamedByItsAddress) {
  std::string content = RandomBytes(1500, 11);
  WriteWholeFile(root / "photo.jpg", content);
  TarvelProcess send({"--device", std::string("bluetooth:") + kFakeDeviceAddress, "--root",
                      root.path(), "--quiet", "send", root / "photo.jpg"},
                     Environment());
  int peer = bluez.TakeOutgoingPeer(10000);
  ASSERT_GE(peer, 0);
  EXPECT_EQ(ReadFor(peer, 22, 10000), "FILE: \\photo.jpg|1500|");
  EXPECT_TRUE(ReadFor(peer, 1500, 10000) == content);
  EXPECT_EQ(send.Wait(20s), std::optional<int>(0)) << send.Error();
  close(peer);
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
  ASSERT_TRUE(listener.WaitForError("listening on COM0 (" + End(Side::B) + ")", 5s))
      << listener.Error();
  EXPECT_EQ(listener.Error().find("Bluetooth"), std::string::npos) << listener.Error();
  WriteWholeFile(Scratch("plain.txt"), "plain");
  ASSERT_EQ(Run(Side::A, {"send", Scratch("plain.txt")}).status, 0);
  EXPECT_EQ(listener.Wait(5s), 0) << listener.Error();
}

}  // namespace
}  // namespace tarvel::testing
