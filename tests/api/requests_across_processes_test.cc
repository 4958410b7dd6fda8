// SPDX-License-Identifier: MIT
// The road of a get request with the library loaded in two processes, each
// with its own module-wide state, driven only through the exported functions
// as a host drives them. The test process forks both devices before it calls
// the library at all and before its cable starts relaying: a child of a
// process with threads must not start threads of its own (ThreadSanitizer
// refuses it), and the devices start their listeners.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "support/pty.h"
#include "support/temp_dir.h"
#include "tarvel.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::u16string StatusText() {
  tarvel_wchar buffer[2000];
  TarvelStatusCopy(buffer, 2000);
  return buffer;
}

// The status text for a report line; the texts used here are plain ASCII.
std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

// Takes events until one of `kind` comes: whether its text is `wanted`.
bool WaitForEvent(int kind, const std::u16string& wanted, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  tarvel_wchar text[2000];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int got = TarvelNextEvent(static_cast<int>(std::max<long long>(left.count(), 0)), text, 2000);
    if (got == TARVEL_EVENT_NONE) return false;
    if (got == kind) return text == wanted;
  }
}

// One device: a forked process that sets its settings, runs `host`, and
// reports one line per step to the test. It lives until the test lets it go,
// so that its port stays open while the peer still reads.
class DeviceProcess {
 public:
  using Host = std::function<void(const std::function<void(const std::string&)>& report)>;

  // Forks the device; it waits for its tty (see Plug) before it runs `host`.
  DeviceProcess(const std::string& root, const Host& host) {
    int reports[2], release[2], plug[2];
    if (pipe(reports) != 0 || pipe(release) != 0 || pipe(plug) != 0) {
      throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      close(reports[0]);
      close(release[1]);
      close(plug[1]);
      std::string tty;
      char byte;
      while (read(plug[0], &byte, 1) == 1 && byte != '\n') tty += byte;
      if (tty.empty()) _exit(0);  // the test ended before it plugged the device in
      setenv("TARVEL_ROOT", root.c_str(), 1);
      setenv("TARVEL_COM3", tty.c_str(), 1);
      host([&](const std::string& line) {
        std::string text = line + "\n";
        if (write(reports[1], text.data(), text.size()) < 0) _exit(3);
      });
      while (read(release[0], &byte, 1) > 0) {
      }
      _exit(0);
    }
    close(reports[1]);
    close(release[0]);
    close(plug[0]);
    reports_ = reports[0];
    release_ = release[1];
    plug_ = plug[1];
  }

  // Hands the device the tty its port 3 stands for, and lets it run.
  void Plug(const std::string& tty) {
    std::string line = tty + "\n";
    if (write(plug_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::runtime_error("cannot plug the device in");
    }
    close(plug_);
    plug_ = -1;
  }

  ~DeviceProcess() {
    if (plug_ >= 0) close(plug_);
    close(release_);
    if (!Finished(5000)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(reports_);
  }

  // The next line the device reports; empty when none comes within `timeoutMs`.
  std::string NextReport(int timeoutMs) {
    std::string line;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      pollfd ready{reports_, POLLIN, 0};
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (poll(&ready, 1, left > 0 ? left : 0) <= 0) break;
      char byte;
      if (read(reports_, &byte, 1) != 1) break;
      if (byte == '\n') return line;
      line += byte;
    }
    return line.empty() ? "" : "(cut) " + line;
  }

 private:
  // Waits for the process to end on its own; true when it ended cleanly.
  bool Finished(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  pid_t pid_ = -1;
  int reports_ = -1;
  int release_ = -1;
  int plug_ = -1;
};

TEST(RequestsAcrossProcesses, AGetRequestCrossesBetweenTwoLoadedLibraries) {
  TempDir rootA, rootB;
  const std::string data = RandomBytes(650, 5);
  WriteWholeFile(rootB / "data.bin", data);

  DeviceProcess b(rootB.path(), [](const auto& report) {
    if (TarvelPortOpen(3) != TARVEL_DONE) return report("B: port did not open");
    TarvelServer();
    report("B listening");
    bool answered = WaitForEvent(TARVEL_EVENT_GET_ANSWERED, u"\\data.bin", 10000);
    report(answered ? "B answered" : "B: status " + Narrow(StatusText()));
  });
  DeviceProcess a(rootA.path(), [](const auto& report) {
    if (TarvelPortOpen(3) != TARVEL_DONE) return report("A: port did not open");
    TarvelServer();
    if (TarvelGetFile(u"\\copy.bin", u"\\data.bin") != TARVEL_DONE) return report("A: not done");
    if (!WaitForEvent(TARVEL_EVENT_ANSWER, u"\\copy.bin", 10000)) {
      return report("A: status " + Narrow(StatusText()));
    }
    // The host reads the same text in place through both text functions.
    const tarvel_wchar* text = TarvelCheckText(0);
    bool inPlace = text == TarvelPortRead() && std::u16string(text).empty() &&
                   std::u16string(TarvelCheckText(1)) == u" ";
    report(inPlace ? "A received" : "A: the status pointer moved or kept its text");
  });

  PtyCable cable;
  b.Plug(cable.endB());
  ASSERT_EQ(b.NextReport(5000), "B listening");
  a.Plug(cable.endA());

  EXPECT_EQ(a.NextReport(10000), "A received");
  EXPECT_EQ(b.NextReport(10000), "B answered");
  EXPECT_EQ(ReadWholeFile(rootA / "copy.bin"), data);
  EXPECT_FALSE(FileExists(rootB / "copy.bin"));
}

}  // namespace
}  // namespace tarvel::testing
