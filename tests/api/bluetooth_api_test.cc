// SPDX-License-Identifier: MIT
// A host serving Bluetooth peers through the exported functions alone, as a
// program linked with the library does: TarvelPortCreate, TarvelPortOpen(0)
// and TarvelServer, then results from the event queue. Against a stand-in for
// bluetoothd on a private system bus; the library keeps one state per
// process, so the whole host's life is one case.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/fake_bluez.h"
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
  return {kind, reinterpret_cast<const char16_t*>(buffer)};
}

// The next event that is not a failure of the caller's own making.
HostEvent NextOfKind(int kind, int timeoutMs) {
  HostEvent event{TARVEL_EVENT_NONE, u""};
  for (int step = 0; step < 20 && event.kind != kind; ++step) event = Next(timeoutMs);
  return event;
}

std::string Failure() {
  tarvel_wchar buffer[2000];
  if (TarvelLastFailure(buffer, 2000) != 1) return "";
  std::string text;
  for (tarvel_wchar* c = buffer; *c; ++c) text += static_cast<char>(*c);
  return text;
}

class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

TEST(BluetoothHost, ServesIncomingPeersAndConnectsOut) {
  FakeBluez bluez;
  TempDir root, config;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress().c_str(), 1);
  setenv("TARVEL_ROOT", root.path().c_str(), 1);
  setenv("TARVEL_REGISTRY", (config / "registry.reg").c_str(), 1);
  unsetenv("TARVEL_COM0");
  // A peer limit in the environment is for links of the host's own making:
  // the flat functions keep serving one peer at a time.
  setenv("TARVEL_PEERS", "4", 1);
  setenv("TARVEL_COM3", (std::string("bluetooth:") + kFakeDeviceAddress).c_str(), 1);

  // Registered once, however often the host asks.
  EXPECT_EQ(TarvelPortCreate(), 999);
  EXPECT_EQ(TarvelPortCreate(), 999);
  EXPECT_EQ(Failure(), "");
  EXPECT_EQ(TarvelIncomingPort(), 1);
  std::string registered = bluez.Registrations();
  EXPECT_EQ(registered.find("\"uuid\""), registered.rfind("\"uuid\"")) << registered;

  // Open at once with no peer; a send fails at once, saying why.
  ASSERT_EQ(TarvelPortOpen(0), 999);
  std::u16string hello = u"hello";
  EXPECT_EQ(TarvelPortSend(reinterpret_cast<const tarvel_wchar*>(hello.c_str())), 999);
  EXPECT_NE(Failure().find("no peer connected"), std::string::npos) << Failure();
  EXPECT_EQ(NextOfKind(TARVEL_EVENT_FAILURE, 0).kind, TARVEL_EVENT_FAILURE);

  ASSERT_EQ(TarvelServer(), 999);
  {
    Peer peer(bluez.ConnectPeer());
    ASSERT_GE(peer.fd(), 0);
    std::string content = RandomBytes(2500, 3);
    WriteAll(peer.fd(), "FILE: pushed.bin|2500|");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteAll(peer.fd(), content);
    HostEvent received = NextOfKind(TARVEL_EVENT_RECEIVED, 10000);
    EXPECT_EQ(received.text, u"pushed.bin");
    EXPECT_TRUE(ReadWholeFile(root / "pushed.bin") == content);

    WriteAll(peer.fd(), "GILE: \\pushed.bin|");
    EXPECT_EQ(ReadFor(peer.fd(), 23, 5000), "FILE: \\pushed.bin|2500|");
    EXPECT_TRUE(ReadFor(peer.fd(), 2500, 5000) == content);
  }
  // The first peer hung up: the same listener serves the next.
  int next = -1;
  for (int attempt = 0; attempt < 50 && next < 0; ++attempt) {
    next = bluez.ConnectPeer();
    if (next < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Peer second(next);
  ASSERT_GE(second.fd(), 0);
  WriteAll(second.fd(), "the second peer");
  EXPECT_EQ(NextOfKind(TARVEL_EVENT_PEER_TEXT, 5000).text, u"the second peer");
  // The flat functions' port 0 serves one peer at a time, though the process
  // shares its profile with every link: another peer is refused, as always.
  std::string refusal;
  Peer third(bluez.ConnectPeer(&refusal, "00:00:5E:00:53:09"));
  EXPECT_LT(third.fd(), 0);
  EXPECT_NE(refusal.find("one peer at a time"), std::string::npos) << refusal;
  WriteAll(second.fd(), "still the second");
  EXPECT_EQ(NextOfKind(TARVEL_EVENT_PEER_TEXT, 5000).text, u"still the second");

  // Out to the paired peer, through the same variable a user sets, while the
  // incoming port is registered: outgoing connections register no profile of
  // their own, so this kernel's lack of Bluetooth sockets is what stops it.
  int socketFd = socket(31 /* AF_BLUETOOTH */, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
  bool hasSockets = socketFd >= 0 || errno != EAFNOSUPPORT;
  if (socketFd >= 0) close(socketFd);
  if (!hasSockets) {
    EXPECT_EQ(TarvelPortOpen(3), 1);
    EXPECT_NE(Failure().find("this system has no Bluetooth sockets"), std::string::npos)
        << Failure();
    EXPECT_EQ(bluez.Registrations(), registered);
  }
  TarvelPortClose();
}

}  // namespace
}  // namespace tarvel::testing
