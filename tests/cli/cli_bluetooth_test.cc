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
#include <vector>

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

// Peers the command serves at once: each result names its peer, in the
// human lines and in --json, and one over --peers is refused.
TEST_F(CliBluetooth, ListenServesSeveralPeersAtOnceAndNamesEachResultsPeer) {
  for (bool json : {false, true}) {
    std::vector<std::string> arguments = {"--root", root.path(), "listen", "--peers", "2"};
    if (json) arguments.push_back("--json");
    TarvelProcess listen(arguments, Environment());
    ASSERT_TRUE(listen.WaitForError("(up to 2 at once)", 10s)) << listen.Error();
    std::string refusal;
    int first = bluez.ConnectPeer(&refusal, "00:00:5E:00:53:21");
    int second = bluez.ConnectPeer(&refusal, "00:00:5E:00:53:22");
    ASSERT_GE(first, 0) << refusal;
    ASSERT_GE(second, 0) << refusal;
    EXPECT_LT(bluez.ConnectPeer(&refusal, "00:00:5E:00:53:23"), 0);
    EXPECT_NE(refusal.find("at most 2"), std::string::npos) << refusal;
    WriteAll(second, "from the second");
    WriteAll(first, "from the first");
    if (json) {
      EXPECT_TRUE(listen.WaitForOutput(
          R"("text":"from the second","path":null,"peer":"00:00:5E:00:53:22")", 10s))
          << listen.Output();
      EXPECT_TRUE(listen.WaitForOutput(
          R"("text":"from the first","path":null,"peer":"00:00:5E:00:53:21")", 10s))
          << listen.Output();
    } else {
      EXPECT_TRUE(listen.WaitForOutput(" 00:00:5E:00:53:22 TEXT: from the second\n", 10s))
          << listen.Output();
      EXPECT_TRUE(listen.WaitForOutput(" 00:00:5E:00:53:21 TEXT: from the first\n", 10s))
          << listen.Output();
    }
    close(first);
    close(second);
    listen.Signal(SIGINT);
    EXPECT_EQ(listen.Wait(10s), std::optional<int>(0));
  }
}

TEST_F(CliBluetooth, ListenWithOnePeerRefusesTheSecondAsBefore) {
  TarvelProcess listen({"--root", root.path(), "listen", "--peers", "1"}, Environment());
  ASSERT_TRUE(listen.WaitForError("waiting for a Bluetooth peer on the incoming serial port;", 10s))
      << listen.Error();
  int first = bluez.ConnectPeer();
  ASSERT_GE(first, 0);
  std::string refusal;
  EXPECT_LT(bluez.ConnectPeer(&refusal, "00:00:5E:00:53:22"), 0);
  EXPECT_NE(refusal.find("one peer at a time"), std::string::npos) << refusal;
  close(first);
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
