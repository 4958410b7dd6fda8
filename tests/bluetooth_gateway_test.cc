// SPDX-License-Identifier: MIT
// A link whose incoming port serves several Bluetooth peers at once, through
// the stand-in for bluetoothd: each peer pushes, asks for files and for
// listings on its own connection while the others do, its results come to the
// gateway link's queue with its address, a peer over the limit is refused, and
// one that leaves frees its place and takes its link's thread with it.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "link/bluetooth_ports.h"
#include "platform/codepage.h"
#include "support/bluetooth_fixture.h"
#include "support/temp_dir.h"
#include "transfer/gateway.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

const std::vector<std::string> kAddresses = {"00:00:5E:00:53:01", "00:00:5E:00:53:02",
                                             "00:00:5E:00:53:03", "00:00:5E:00:53:04"};

struct PeerEvent {
  int kind = 0;
  std::string text;
  std::string peer;
};

// A file answer as it comes on a peer's connection: its header, then as many
// bytes as the header announces.
std::string ReadAnswer(int fd) {
  std::string header = ReadFor(fd, 6, 5000);
  int bars = 0;
  while (bars < 2 && header.size() < 300) {
    std::string byte = ReadFor(fd, 1, 5000);
    if (byte.empty()) return header;
    header += byte;
    if (byte == "|") ++bars;
  }
  size_t sizeAt = header.rfind('|', header.size() - 2) + 1;
  size_t size = std::stoul(header.substr(sizeAt));
  return header + ReadFor(fd, size, 10000);
}

// Whether the file at `path` is there and holds `content`.
bool Holds(const std::string& path, const std::string& content) {
  try {
    return ReadWholeFile(path) == content;
  } catch (const std::exception&) {
    return false;
  }
}

// Connects a peer of `address` once the gateway has a place for it.
int ConnectAs(FakeBluez& bluez, const std::string& address, std::string* refusal) {
  int peer = -1;
  for (int attempt = 0; attempt < 50 && peer < 0; ++attempt) {
    peer = bluez.ConnectPeer(refusal, address);
    if (peer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return peer;
}

size_t ThreadCount() {
  size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

class GatewayLink : public ::testing::Test {
 protected:
  GatewayLink()
      : device("/nonexistent/tty",
               {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}, {"TARVEL_PEERS", "3"}}) {}

  LinkState& state() { return *device.state; }

  void Listen() {
    ASSERT_EQ(PortCreate(state()), 999);
    ASSERT_EQ(PortOpen(state(), 0), 999);
    ASSERT_EQ(Server(state()), 999);
  }

  // Connects the peers of the first `count` addresses, each on its own connection.
  void ConnectPeers(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      std::string refusal;
      peers.push_back(std::make_unique<Peer>(bluez.ConnectPeer(&refusal, kAddresses[i])));
      ASSERT_GE(peers.back()->fd(), 0) << kAddresses[i] << ": " << refusal;
    }
  }

  // Takes events until `done` holds for those taken; every event taken stays in `seen`.
  bool AwaitEvents(const std::function<bool()>& done, int timeoutMs = 15000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && Clock::now() < deadline) {
      std::optional<Event> event = state().Reports().Events().Next(std::chrono::milliseconds(200));
      if (event) {
        seen.push_back({static_cast<int>(event->kind), Utf16ToUtf8(event->text), event->peer});
      }
    }
    return done();
  }
  size_t CountSeen(EventKind kind, const std::string& peer) const {
    return std::count_if(seen.begin(), seen.end(), [&](const PeerEvent& event) {
      return event.kind == static_cast<int>(kind) && event.peer == peer;
    });
  }
  std::string Seen() const {
    std::string all;
    for (const PeerEvent& event : seen) {
      all += std::to_string(event.kind) + " [" + event.peer + "] " + event.text + "\n";
    }
    return all;
  }

  FakeBluez bluez;
  TestDevice device;
  std::vector<std::unique_ptr<Peer>> peers;
  std::vector<PeerEvent> seen;
};

TEST_F(GatewayLink, ThreePeersAtOnceEachPushAskAndListTheirOwnInInterleavedOrder) {
  const std::vector<std::string> prefixes = {"alpha", "beta", "gamma"};
  for (const std::string& prefix : prefixes) {
    WriteWholeFile(device.Path(prefix + "-1.txt"), prefix);
    WriteWholeFile(device.Path(prefix + "-2.txt"), prefix + prefix);
  }
  std::string shared = RandomBytes(3000, 5);
  WriteWholeFile(device.Path("shared.bin"), shared);
  Listen();
  ConnectPeers(3);

  // All three push and ask at once, each on its own thread as a real peer would.
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 3; ++i) contents.push_back(RandomBytes(20000 + i * 777, 40 + i));
  std::vector<std::string> answers(3);
  std::vector<std::thread> working;
  for (size_t i = 0; i < 3; ++i) {
    working.emplace_back([&, i] {
      std::string name = "from-" + std::to_string(i) + ".bin";
      peers[i]->PushFile(name, contents[i]);
      // Asked once the file is in, so that the request is no part of its content.
      for (int look = 0; look < 500 && !Holds(device.Path(name), contents[i]); ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      WriteAll(peers[i]->fd(), "GILE: \\shared.bin|");
      answers[i] = ReadAnswer(peers[i]->fd());
    });
  }
  for (auto& thread : working) thread.join();
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(answers[i] == "FILE: \\shared.bin|3000|" + shared) << kAddresses[i];
    EXPECT_TRUE(ReadWholeFile(device.Path("from-" + std::to_string(i) + ".bin")) == contents[i]);
  }
  ASSERT_TRUE(AwaitEvents([&] {
    for (size_t i = 0; i < 3; ++i) {
      if (CountSeen(EventKind::Received, kAddresses[i]) != 1 ||
          CountSeen(EventKind::GetAnswered, kAddresses[i]) != 1) {
        return false;
      }
    }
    return true;
  })) << Seen();
  for (const PeerEvent& event : seen) {
    if (event.kind != static_cast<int>(EventKind::Received)) continue;
    size_t i = std::find(kAddresses.begin(), kAddresses.end(), event.peer) - kAddresses.begin();
    EXPECT_EQ(event.text, "from-" + std::to_string(i) + ".bin");
  }

  // Listings asked in one order and fetched in another: each peer gets its own.
  for (size_t i = 0; i < 3; ++i) {
    WriteAll(peers[i]->fd(), "LIST: \\" + prefixes[i] + "*|");
    ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::Listed, kAddresses[i]) == 1; }))
        << Seen();
  }
  for (size_t i : {2, 0, 1}) {
    WriteAll(peers[i]->fd(), "GILE: \\Tarvel.txt|");
    std::string listing = ReadAnswer(peers[i]->fd());
    ASSERT_TRUE(StartsWith(listing, "FILE: \\Tarvel.txt|")) << listing;
    for (size_t other = 0; other < 3; ++other) {
      EXPECT_EQ(Count(listing, prefixes[other] + "-"), other == i ? 2u : 0u)
          << kAddresses[i] << " got:\n"
          << listing;
    }
  }
}

TEST_F(GatewayLink, APeerOverTheLimitIsRefusedAndOneThatLeavesFreesItsPlaceAndThread) {
  Listen();
  ConnectPeers(3);
  std::string refusal;
  Peer fourth(bluez.ConnectPeer(&refusal, kAddresses[3]));
  EXPECT_LT(fourth.fd(), 0);
  EXPECT_TRUE(StartsWith(refusal, "org.bluez.Error.Rejected")) << refusal;
  EXPECT_NE(refusal.find("at most 3"), std::string::npos) << refusal;

  // The third peer is on a peer link of its own: its leaving ends that
  // link's listener thread.
  size_t threads = ThreadCount();
  peers[2]->HangUp();
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (ThreadCount() >= threads && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ThreadCount(), threads - 1);

  fourth = ConnectAs(bluez, kAddresses[3], &refusal);
  ASSERT_GE(fourth.fd(), 0) << refusal;
  WriteAll(fourth.fd(), "the fourth peer");
  ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::PeerText, kAddresses[3]) == 1; }))
      << Seen();

  // The service's disconnect of one peer frees its place as a hang-up does.
  ASSERT_TRUE(bluez.Command("disconnect " + kAddresses[1]).ok);
  char byte = 0;
  EXPECT_EQ(read(peers[1]->fd(), &byte, 1), 0);
  Peer again(ConnectOnceFree(bluez));
  ASSERT_GE(again.fd(), 0);
  WriteAll(again.fd(), "in the freed place");
  ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::PeerText, kFakeDeviceAddress) == 1; }))
      << Seen();
  // The peers that stayed were served all along.
  WriteAll(peers[0]->fd(), "the first stays");
  ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::PeerText, kAddresses[0]) == 1; }))
      << Seen();
}

TEST_F(GatewayLink, DestroyingTheGatewayLinkHangsUpOnEveryPeerAndLeavesNoThread) {
  // A sanitizer's runtime starts a thread of its own with the process's first
  // thread: one started and joined first keeps it out of the count.
  std::thread([] {}).join();
  size_t before = ThreadCount();
  Listen();
  ConnectPeers(3);
  WriteAll(peers[2]->fd(), "before the end");
  ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::PeerText, kAddresses[2]) == 1; }))
      << Seen();
  device.state.reset();
  for (auto& peer : peers) {
    char byte = 0;
    EXPECT_EQ(ReadFor(peer->fd(), 1, 3000), "");
    EXPECT_EQ(read(peer->fd(), &byte, 1), 0);
  }
  // The bus's own thread went with the last link that held it.
  EXPECT_LE(ThreadCount(), before);
}

// Links on one bus share the process's one registration.
TEST_F(GatewayLink, TwoLinksRegisterOneProfileAndTheOtherKeepsItWhenOneGoes) {
  auto other = std::make_unique<TestDevice>(
      "/nonexistent/tty",
      std::map<std::string, std::string>{{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}});
  ASSERT_EQ(PortCreate(*other->state), 999);
  Listen();
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u) << bluez.Registrations();
  EXPECT_TRUE(other->state->Bluetooth().IncomingPortExists());
  other.reset();
  ConnectPeers(1);
  WriteAll(peers[0]->fd(), "still registered");
  ASSERT_TRUE(AwaitEvents([&] { return CountSeen(EventKind::PeerText, kAddresses[0]) == 1; }))
      << Seen();
  EXPECT_EQ(Count(bluez.Registrations(), "\"uuid\""), 1u);
}

}  // namespace
}  // namespace tarvel::testing
