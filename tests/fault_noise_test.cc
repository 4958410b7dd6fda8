// SPDX-License-Identifier: MIT
// Ten thousand random pieces thrown at a running listener as fast as it takes
// them: garbage, texts, requests and headers with hostile names and sizes. A
// canary tree beside the device root (and reachable through a symbolic link
// in it) must not change, nothing the listener writes may come from outside
// the root, and a well-formed transfer right after must still succeed.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"
#include "wire/wire_format.h"

namespace tarvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kReads = 10000;
constexpr int kLargestAnnounced = 300;
// The listener pauses after every header and the sender after answering a
// get request, so these few carry much of the time.
constexpr int kHeaderBudget = 16;
constexpr int kAnsweredGetBudget = 2;

// Short, because the listener takes at most one read per poll: ten thousand
// pieces must fit into a few seconds of polls.
const std::vector<std::string> kHostileNames = {
    "a",  "\\sub\\", "..\\x",    "\\out\\c", "/e",    "C:x",      "",
    "\\", "\\..\\",  "\\.\\.\\", "*",        "?\\..", "\\out\\*", "\\\\s"};

// Random pieces for a peer to throw. Most are requests that end cleanly, so
// the listener takes many of them from one read; a few texts, garbage bytes
// and unfinished requests break such a run by swallowing the rest of a read.
class RandomReads {
 public:
  explicit RandomReads(unsigned seed) : random_(seed) {}

  std::string Next() {
    lastRefused_ = false;
    size_t roll = Pick(1000);
    if (roll < 3) return Garbage();
    if (roll < 6) return Letters();
    if (roll < 8) return Fragment() + Letters();
    if (roll < 10) return std::string(1 + Pick(3), '\0') + "FILE: x|1|";
    if (roll < 12) return std::string("GILE: a\0|", 9);
    if (roll < 15) return (Pick(2) == 0 ? "LIST: " : "GILE: ") + Name();  // no "|"
    if (roll < 18 && headers_ < kHeaderBudget) return Header();
    if (roll < 520) return "LIST: " + Name() + (Pick(2) == 0 ? "\\*" : "") + "|";
    return GetRequest();
  }

  // Whether the last piece was a header whose size is refused: everything
  // after it is thrown away until the line has been quiet.
  bool LastWasRefused() const { return lastRefused_; }

  // Files named by one header each, with the content it carried.
  std::map<std::string, std::string> ownFiles;

 private:
  size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

  std::string ShortName() { return kHostileNames[Pick(kHostileNames.size())]; }

  std::string Name() {
    // Now and then a name too long for the listener's buffers.
    if (Pick(500) == 0) return std::string(200 + Pick(100), 'n');
    return ShortName();
  }

  std::string Garbage() {
    std::string bytes(1 + Pick(8), '\0');
    for (char& c : bytes) c = static_cast<char>(Pick(256));
    return bytes;
  }

  std::string Letters() {
    std::string text(1 + Pick(8), ' ');
    for (char& c : text) c = static_cast<char>('a' + Pick(26));
    return text;
  }

  // Command words cut short or in the wrong case: text, never a header.
  std::string Fragment() {
    static const std::vector<std::string> kFragments = {"FIL",  "FILE", "file:", "File:", "GIL",
                                                        "GILE", "LIS",  "LIST",  " FILE:"};
    return kFragments[Pick(kFragments.size())];
  }

  std::string GetRequest() {
    if (answeredGets_ < kAnsweredGetBudget && Pick(2000) == 0) {
      ++answeredGets_;
      return "GILE: \\have.bin|";
    }
    // Only the budgeted requests name a file that exists: every answer
    // costs the sender's pause, and headers may have made plain names.
    static const std::vector<std::string> kGetNames = {
        "\\missing", "..\\x", "\\out\\c", "\\out\\canary.txt",  "C:x", "\\..\\",
        "\\sub\\",   "",      "\\",       "\\sub\\..\\have.bin"};
    if (Pick(500) == 0) return "GILE: " + std::string(100 + Pick(200), 'n') + "|";
    return "GILE: " + kGetNames[Pick(kGetNames.size())] + "|";
  }

  // A header and its content. Half name a file of their own, which no later
  // header replaces; the others a hostile name, some with odd sizes.
  std::string Header() {
    ++headers_;
    lastRefused_ = false;
    size_t announced = Pick(kLargestAnnounced + 1);
    std::string content = RandomBytes(announced, static_cast<unsigned>(Pick(1u << 30)));
    if (Pick(2) == 0) {
      std::string name = "own" + std::to_string(headers_) + ".bin";
      ownFiles[name] = content;
      return "FILE: \\sub\\" + name + "|" + std::to_string(announced) + "|" + content;
    }
    static const std::vector<std::string> kOddSizes = {"-5", "abc", "99999999999", "", " 7x"};
    std::string size = Pick(3) == 0 ? kOddSizes[Pick(kOddSizes.size())] : std::to_string(announced);
    lastRefused_ = size == "-5" || size == "99999999999";
    return "FILE: " + ShortName() + "|" + size + "|" + content;
  }

  std::mt19937 random_;
  int headers_ = 0;
  int answeredGets_ = 0;
  bool lastRefused_ = false;
};

// The listener's polls, gaps and pauses cut to a fraction, so that thousands of
// reads take seconds, not half a minute. The test throws each batch only once
// the listener has taken the last, so nothing here depends on the wire's own
// values.
LinkTiming NoiseTiming() {
  LinkTiming timing;
  timing.pollIntervalMs = 5;
  timing.readQuietGapMs = 20;
  timing.receiverPauseMs = 20;
  timing.senderPauseMs = 100;
  timing.quietLineLimitMs = 2000;
  timing.writeStallLimitMs = 2000;
  timing.refusedDiscardQuietMs = 200;
  return timing;
}

// Waits until the listener has taken what the peer just wrote. The bytes
// reach the device's side of the pty a moment after the write, so they are
// first seen waiting and then gone; bytes never seen within a while were
// taken at once. False when they stay waiting: the listener has hung.
bool WaitUntilTaken(const PtyPair& peer, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  bool seen = false;
  for (;;) {
    int waiting = 0;
    if (ioctl(peer.slaveFd(), FIONREAD, &waiting) != 0) return false;
    seen = seen || waiting > 0;
    auto elapsed = Clock::now() - start;
    if (waiting == 0 && (seen || elapsed > std::chrono::milliseconds(300))) return true;
    if (elapsed > std::chrono::milliseconds(timeoutMs)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(ListenerUnderNoise, TenThousandRandomReadsChangeNothingOutsideTheRoot) {
  TempDir workspace;
  const std::string root = workspace / "root";
  const std::string canary = workspace / "canary";
  fs::create_directories(root + "/sub");
  fs::create_directories(canary + "/inner");
  const std::string secret = "canary " + RandomBytes(64, 31);
  WriteWholeFile(canary + "/canary.txt", secret);
  WriteWholeFile(canary + "/inner/deep.txt", RandomBytes(500, 32));
  WriteWholeFile(workspace / "beside.txt", "beside the root");
  fs::create_directory_symlink(canary, root + "/out");
  const std::string have = RandomBytes(450, 33);
  WriteWholeFile(root + "/have.bin", have);
  auto outside = [&] {
    auto entries = Snapshot(workspace.path());
    for (auto it = entries.begin(); it != entries.end();) {
      it = it->first.rfind("root", 0) == 0 ? entries.erase(it) : std::next(it);
    }
    return entries;
  };
  const auto before = outside();

  PtyPair peer;
  TestDevice device(peer.slavePath(), {{"TARVEL_ROOT", root}}, NoiseTiming());
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  ASSERT_EQ(Server(*device.state), 999);

  // What the device sends back, drained as it comes so that its writes never stall.
  std::atomic<bool> stop{false};
  std::mutex sentLock;
  std::string sent;
  std::thread drain([&] {
    while (!stop) {
      std::string got = peer.ReadUntilQuiet(50, 200);
      std::lock_guard<std::mutex> lock(sentLock);
      sent += got;
    }
  });

  // The pieces go out in reads of their own: a batch of whole pieces that fits
  // one read, the next batch only once the listener has taken the last one.
  // A listener that stops taking them has hung.
  RandomReads reads(1234);
  std::string batch;
  int batches = 0;
  bool refusedInBatch = false;
  auto throwBatch = [&] {
    peer.Write(batch);
    batch.clear();
    ++batches;
    bool taken = WaitUntilTaken(peer, 15000);
    // After a refused header the listener drops everything until the line
    // has been quiet; the next batch waits for that, or it would be lost too.
    if (refusedInBatch) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(device.state->timing().refusedDiscardQuietMs + 100));
    }
    refusedInBatch = false;
    return taken;
  };
  for (int i = 0; i < kReads; ++i) {
    std::string piece = reads.Next();
    if (batch.size() + piece.size() > wire::kMaxRead) {
      ASSERT_TRUE(throwBatch()) << "the listener stopped taking reads";
    }
    batch += piece;
    refusedInBatch = refusedInBatch || reads.LastWasRefused();
  }
  ASSERT_TRUE(throwBatch()) << "the listener stopped taking reads";
  ::testing::Test::RecordProperty("reads", batches);
  // More than any header announced, so that every receive completes; then a
  // marker that must come through as text.
  peer.Write(std::string(2 * kLargestAnnounced, 'z'));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write("end of noise");
  auto endsWithMarker = [](const std::string& s) {
    return s.size() >= 12 && s.compare(s.size() - 12, 12, "end of noise") == 0;
  };
  ASSERT_TRUE(device.WaitForStatus(endsWithMarker, 30000)) << "hung? " << device.Status();

  std::string content = RandomBytes(3000, 34);
  SendAsPeer(peer, "final.bin", content);
  ASSERT_TRUE(device.WaitForStatus("RECV: final.bin", 10000)) << device.Status();
  EXPECT_TRUE(ReadWholeFile(root + "/final.bin") == content);
  stop = true;
  drain.join();

  EXPECT_EQ(outside(), before);
  EXPECT_EQ(sent.find(secret), std::string::npos) << "a canary file went out on the wire";
  // Whatever was received is whole: a file of its own holds exactly what its
  // header carried, any other is no larger than a header can announce.
  int ownReceived = 0;
  for (auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    std::string name = entry.path().filename();
    EXPECT_EQ(name.find(".tarvel-"), std::string::npos) << "temporary left: " << name;
    if (name == "Tarvel.txt" || name == "final.bin") continue;
    if (name == "have.bin" && ReadWholeFile(entry.path()) == have) continue;
    auto own = reads.ownFiles.find(name);
    if (own == reads.ownFiles.end()) {
      EXPECT_LE(entry.file_size(), static_cast<uintmax_t>(kLargestAnnounced)) << entry.path();
    } else {
      ++ownReceived;
      EXPECT_TRUE(ReadWholeFile(entry.path()) == own->second) << entry.path();
    }
  }
  ::testing::Test::RecordProperty("own_files_received", ownReceived);
  ::testing::Test::RecordProperty("own_files_sent", static_cast<int>(reads.ownFiles.size()));
}

}  // namespace
}  // namespace tarvel::testing
