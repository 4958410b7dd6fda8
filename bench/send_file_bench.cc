// SPDX-License-Identifier: MIT
// Sends one large file with SendFile over a pty pair to a reader thread on the
// master side, and reports how fast the content moved and what it cost in CPU.
//
//   send_file_bench [--size_mib=64[,16,...]] [benchmark flags]
//
// The reported time (and so bytes_per_second) is the content's time: from the
// first content byte to the last at the reader, without the sender's fixed
// 1000 ms pause, which wall_s includes.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kReaderIdleLimitMs = 30000;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// What the peer saw of one transfer.
struct Received {
  size_t headerBytes = 0;
  size_t contentBytes = 0;
  Clock::time_point firstContent, lastContent;
  double cpuSeconds = 0;  // the reader thread's own
};

// Reads the header's `headerSize` bytes and then `contentSize` bytes from the
// master, keeping none of them: the peer's cost should be the reads alone.
void ReadTransfer(int master, size_t headerSize, size_t contentSize, Received& out) {
  double cpuBefore = CpuSeconds(RUSAGE_THREAD);
  std::vector<char> buffer(64 * 1024);
  while (out.contentBytes < contentSize) {
    size_t headerLeft = headerSize - out.headerBytes;
    size_t want =
        headerLeft > 0 ? headerLeft : std::min(buffer.size(), contentSize - out.contentBytes);
    ssize_t got = read(master, buffer.data(), want);
    if (got > 0) {
      if (headerLeft > 0) {
        out.headerBytes += static_cast<size_t>(got);
        continue;
      }
      if (out.contentBytes == 0) out.firstContent = Clock::now();
      out.contentBytes += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd entry{master, POLLIN, 0};
    if (poll(&entry, 1, kReaderIdleLimitMs) <= 0) break;
  }
  out.lastContent = Clock::now();
  out.cpuSeconds = CpuSeconds(RUSAGE_THREAD) - cpuBefore;
}

void BM_SendFile(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  PtyPair peer;
  TestDevice device{peer.slavePath()};
  if (PortOpen(*device.state, kTestPort) != kDone) {
    state.SkipWithError("cannot open the pty");
    return;
  }
  WriteWholeFile(device.Path("big.bin"), RandomBytes(size, 1));
  const std::u16string local = Utf8ToUtf16(device.Path("big.bin"));
  const size_t headerSize = std::string("FILE: big.bin|" + std::to_string(size) + "|").size();

  double wall = 0, senderCpu = 0, readerCpu = 0, processCpu = 0;
  for (auto _ : state) {
    Received received;
    double processBefore = CpuSeconds(RUSAGE_SELF);
    double senderBefore = CpuSeconds(RUSAGE_THREAD);
    auto start = Clock::now();
    std::thread reader(ReadTransfer, peer.masterFd(), headerSize, size, std::ref(received));
    SendFile(*device.state, local.c_str(), u"big.bin");
    senderCpu += CpuSeconds(RUSAGE_THREAD) - senderBefore;
    reader.join();
    processCpu += CpuSeconds(RUSAGE_SELF) - processBefore;
    wall += Seconds(received.lastContent - start);
    readerCpu += received.cpuSeconds;
    if (received.contentBytes != size || device.Status().rfind("SENT: ", 0) != 0) {
      state.SkipWithError(("transfer failed: " + device.Status()).c_str());
      return;
    }
    state.SetIterationTime(size > 0 ? Seconds(received.lastContent - received.firstContent) : 0);
  }
  const double iterations = static_cast<double>(state.iterations());
  const double mebibytes = size / kMiB * iterations;
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
  state.counters["wall_s"] = wall / iterations;
  state.counters["sender_cpu_s_per_MiB"] = senderCpu / mebibytes;
  state.counters["reader_cpu_s_per_MiB"] = readerCpu / mebibytes;
  state.counters["process_cpu_s_per_MiB"] = processCpu / mebibytes;
}

// --size_mib=64,16: the file sizes to send, taken out of argv before the
// benchmark library sees it.
std::vector<int64_t> TakeSizes(int& argc, char** argv) {
  std::vector<int64_t> sizes;
  const std::string flag = "--size_mib=";
  int kept = 0;
  for (int at = 0; at < argc; ++at) {
    std::string argument = argv[at];
    if (argument.rfind(flag, 0) != 0) {
      argv[kept++] = argv[at];
      continue;
    }
    for (size_t from = flag.size(); from <= argument.size();) {
      size_t comma = std::min(argument.find(',', from), argument.size());
      double mib = std::atof(argument.substr(from, comma - from).c_str());
      if (mib > 0) sizes.push_back(static_cast<int64_t>(mib * kMiB));
      from = comma + 1;
    }
  }
  argc = kept;
  if (sizes.empty()) sizes.push_back(64 << 20);
  return sizes;
}

}  // namespace
}  // namespace tarvel::testing

int main(int argc, char** argv) {
  using namespace tarvel::testing;
  std::vector<int64_t> sizes = TakeSizes(argc, argv);
  auto* bench = benchmark::RegisterBenchmark("SendFile", BM_SendFile);
  for (int64_t size : sizes) bench->Arg(size);
  // Each run already takes over a second (the sender's pause): one iteration.
  bench->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
