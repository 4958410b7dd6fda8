// SPDX-License-Identifier: MIT
// What the quiet kept between messages costs: texts written one after another,
// and small files sent one after another as `tarvel send a b c ...` does, over
// a pty pair to a reader thread that drains the master. Each runs with the
// gap the wire uses and with no gap, which stands for the time before there
// was one (the device's line record is kept either way, so the difference is
// the gap's alone, and the "gap 0" row also shows what the record costs).
//
//   message_gap_bench [benchmark flags]
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTexts = 10;
constexpr int kFiles = 20;
constexpr size_t kFileSize = 1024;

// Drains the master until told to stop; counts the bytes.
class Drain {
 public:
  explicit Drain(int master)
      : thread_([this, master] {
          char buffer[4096];
          while (!stop_.load()) {
            pollfd entry{master, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) bytes_ += static_cast<size_t>(got);
          }
        }) {}
  ~Drain() {
    stop_.store(true);
    thread_.join();
  }
  size_t Bytes() const { return bytes_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<size_t> bytes_{0};
  std::thread thread_;
};

LinkTiming GapOf(int gapMs) {
  LinkTiming timing;
  timing.messageGapMs = gapMs;
  return timing;
}

double Seconds(Clock::duration span) {
  return std::chrono::duration<double>(span).count();
}

// kTexts texts in a row; the time is per text, from the first call to the
// return of the last.
void BM_Texts(benchmark::State& state) {
  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, GapOf(static_cast<int>(state.range(0)))};
  if (PortOpen(*device.state, kTestPort) != kDone) return state.SkipWithError("cannot open");
  Drain drain(peer.masterFd());
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kTexts; ++i) PortSend(*device.state, u"a short text");
    state.SetIterationTime(Seconds(Clock::now() - start) / kTexts);
  }
}

// kFiles files of kFileSize bytes in a row, the time for all of them. Each
// file already waits the sender's 1000 ms pause after its header.
void BM_SmallFiles(benchmark::State& state) {
  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, GapOf(static_cast<int>(state.range(0)))};
  if (PortOpen(*device.state, kTestPort) != kDone) return state.SkipWithError("cannot open");
  std::vector<std::u16string> names;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i) + ".bin";
    WriteWholeFile(device.Path(name), RandomBytes(kFileSize, static_cast<unsigned>(i)));
    names.push_back(Utf8ToUtf16(device.Path(name)));
  }
  Drain drain(peer.masterFd());
  for (auto _ : state) {
    auto start = Clock::now();
    for (const std::u16string& name : names) SendFile(*device.state, name.c_str(), u"f.bin");
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
  if (device.Status().rfind("SENT: ", 0) != 0) state.SkipWithError(device.Status().c_str());
}

}  // namespace
}  // namespace tarvel::testing

int main(int argc, char** argv) {
  using namespace tarvel::testing;
  const int wire = tarvel::LinkTiming().messageGapMs;
  benchmark::RegisterBenchmark("Texts_per_text/gap_ms", BM_Texts)
      ->Arg(0)
      ->Arg(wire)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("SmallFiles_20x1KiB/gap_ms", BM_SmallFiles)
      ->Arg(0)
      ->Arg(wire)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
