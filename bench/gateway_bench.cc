// SPDX-License-Identifier: MIT
// One gateway link serving Bluetooth peers through the stand-in for bluetoothd
// (a private dbus-daemon and tests/support/fake_bluez.py, whose connections
// are socket pairs): one peer pushing a file alone, then eight pushing one
// each at once; the memory each connected peer's link takes; and what eight
// connected, silent peers cost while nothing moves (the context switches of
// every thread of the process but the sleeping main one). Not a test: run by
// hand, `build/bench/gateway_bench [MiB per peer]`.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "support/fake_bluez.h"
#include "support/temp_dir.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPeers = 8;
// The pause a sender makes between a file's header and its content.
constexpr auto kSenderPause = std::chrono::milliseconds(1000);

std::string Address(int i) {
  char text[18];
  std::snprintf(text, sizeof text, "00:00:5E:00:53:%02X", i + 1);
  return text;
}

long StatusField(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return 0;
}

long RssKiB() {
  return StatusField("/proc/self/status", "VmRSS");
}

// Context switches of every thread but the calling (main) one.
long OtherThreadsSwitches() {
  long total = 0;
  DIR* tasks = opendir("/proc/self/task");
  std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(tasks)) {
    std::string tid = entry->d_name;
    if (tid[0] == '.' || tid == self) continue;
    std::string status = "/proc/self/task/" + tid + "/status";
    total += StatusField(status, "voluntary_ctxt_switches") +
             StatusField(status, "nonvoluntary_ctxt_switches");
  }
  closedir(tasks);
  return total;
}

int Threads() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// Pushes a file as the wire's senders do: header, pause, then the content in
// pieces of 200 bytes, each its own write. `contentStart` is when the content
// began.
void Push(int fd, const std::string& name, const std::string& content,
          Clock::time_point* contentStart) {
  WriteAll(fd, "FILE: " + name + "|" + std::to_string(content.size()) + "|");
  std::this_thread::sleep_for(kSenderPause);
  *contentStart = Clock::now();
  constexpr size_t kPiece = 200;
  for (size_t at = 0; at < content.size(); at += kPiece) {
    ssize_t wrote = 0;
    size_t piece = std::min(kPiece, content.size() - at);
    for (size_t done = 0; done < piece; done += static_cast<size_t>(wrote)) {
      wrote = write(fd, content.data() + at + done, piece - done);
      if (wrote <= 0) {
        std::perror("write");
        std::exit(1);
      }
    }
  }
}

class Bench {
 public:
  Bench()
      : state(FixedEnvironment({{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()},
                                {"TARVEL_ROOT", root.path()},
                                {"TARVEL_REGISTRY", config / "registry.reg"},
                                {"TARVEL_LINE_RECORDS", config / "lines"},
                                {"TARVEL_PEERS", std::to_string(kPeers)}})) {
    PortCreate(state);
    PortOpen(state, 0);
    Server(state);
  }

  int Connect(int i) {
    std::string refusal;
    for (int attempt = 0; attempt < 100; ++attempt) {
      int fd = bluez.ConnectPeer(&refusal, Address(i));
      if (fd >= 0) return fd;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "peer %d not connected: %s\n", i, refusal.c_str());
    std::exit(1);
  }

  // Every peer of `fds` pushes `content` at once; the seconds from the first
  // content byte written until the last file is saved.
  double PushAll(const std::vector<int>& fds, const std::string& content) {
    std::vector<Clock::time_point> starts(fds.size(), Clock::time_point::max());
    std::vector<std::thread> pushing;
    for (size_t i = 0; i < fds.size(); ++i) {
      pushing.emplace_back(
          [&, i] { Push(fds[i], "peer-" + std::to_string(i) + ".bin", content, &starts[i]); });
    }
    size_t saved = 0;
    while (saved < fds.size()) {
      std::optional<Event> event = state.Reports().Events().Next(std::chrono::seconds(120));
      if (!event) break;
      if (event->kind == EventKind::Received) ++saved;
      if (event->kind == EventKind::Failure) {
        std::fprintf(stderr, "failure: %s\n", Utf16ToUtf8(event->text).c_str());
      }
    }
    auto ended = Clock::now();
    for (auto& thread : pushing) thread.join();
    double seconds =
        std::chrono::duration<double>(ended - *std::min_element(starts.begin(), starts.end()))
            .count();
    if (saved != fds.size()) {
      std::fprintf(stderr, "only %zu of %zu files saved\n", saved, fds.size());
      std::exit(1);
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (ReadWholeFile(root / ("peer-" + std::to_string(i) + ".bin")) != content) {
        std::fprintf(stderr, "peer %zu's file differs\n", i);
        std::exit(1);
      }
    }
    return seconds;
  }

  FakeBluez bluez;
  TempDir root;
  TempDir config;
  LinkState state;
};

void Report(const char* what, double seconds, double mib) {
  std::printf("%-22s %6.0f MiB in %6.2f s of content: %6.1f MiB/s\n", what, mib, seconds,
              mib / seconds);
}

int Run(int mibPerPeer) {
  std::string content = RandomBytes(static_cast<size_t>(mibPerPeer) << 20, 7);
  Bench bench;
  std::printf("%d MiB per peer, %d peers at most\n", mibPerPeer, kPeers);

  int alone = bench.Connect(0);
  Report("one peer alone", bench.PushAll({alone}, content), mibPerPeer);
  close(alone);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  long rssBefore = RssKiB();
  long vmBefore = StatusField("/proc/self/status", "VmSize");
  int threadsBefore = Threads();
  std::vector<int> fds;
  for (int i = 0; i < kPeers; ++i) fds.push_back(bench.Connect(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long rssAfter = RssKiB();
  long vmAfter = StatusField("/proc/self/status", "VmSize");
  int threadsAfter = Threads();
  // The first peer takes the gateway link's own port; each other gets a link.
  const int links = kPeers - 1;
  std::printf(
      "memory: RSS +%ld KiB for %d connected peers: %ld KiB per peer link (%d links, +%d "
      "threads); address space +%ld KiB per link, mostly thread stack reserved\n",
      rssAfter - rssBefore, kPeers, (rssAfter - rssBefore) / links, links,
      threadsAfter - threadsBefore, (vmAfter - vmBefore) / links);

  long switches = OtherThreadsSwitches();
  const int idleSeconds = 10;
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  long idle = OtherThreadsSwitches() - switches;
  std::printf("idle: %ld wake-ups of the process's other %d threads in %d s with %d silent peers\n",
              idle, Threads() - 1, idleSeconds, kPeers);

  double together = bench.PushAll(fds, content);
  Report("eight peers at once", together, static_cast<double>(mibPerPeer) * kPeers);
  for (int fd : fds) close(fd);
  return 0;
}

}  // namespace
}  // namespace tarvel::testing

int main(int argc, char** argv) {
  int mib = argc > 1 ? std::atoi(argv[1]) : 16;
  return tarvel::testing::Run(mib > 0 ? mib : 16);
}
