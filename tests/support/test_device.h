// SPDX-License-Identifier: MIT
// A device for tests of the library's internals: its own state, device root
// and settings, with port 3 mapped onto a tty path.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "link/link_state.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace tarvel::testing {

inline constexpr int kTestPort = 3;

// The wire's timing with its long limits cut short: a receive gives up after
// 1 s of quiet, a stalled write after 0.5 s, a refused header's content is
// discarded until 0.4 s of quiet, and after a file that stopped short the line
// stays quiet 1.1 s, past such a peer's limit. The polls, the read's quiet gap and the
// pauses keep their values, so messages group and keep apart as on the wire.
inline LinkTiming ShortLimits() {
  LinkTiming timing;
  timing.quietLineLimitMs = 1000;
  timing.writeStallLimitMs = 500;
  timing.refusedDiscardQuietMs = 400;
  timing.shortFileHoldMs = 1100;
  return timing;
}

class TestDevice {
 public:
  explicit TestDevice(const std::string& ttyPath, std::map<std::string, std::string> extra = {},
                      LinkTiming timing = LinkTiming()) {
    std::map<std::string, std::string> settings = {
        {"TARVEL_ROOT", root.path()},
        {"TARVEL_COM" + std::to_string(kTestPort), ttyPath},
        {"TARVEL_REGISTRY", config / "registry.reg"},
        // Each device keeps its line records apart from every other test's.
        {"TARVEL_LINE_RECORDS", config / "lines"},
    };
    for (auto& [name, value] : extra) settings[name] = value;
    state = std::make_unique<LinkState>(FixedEnvironment(settings), timing);
  }

  // The path of a file in the device root.
  std::string Path(const std::string& name) const { return root / name; }

  std::string Status() const { return Utf16ToUtf8(state->Reports().Status()); }

  // The next event as "<kind>: <text>", or "no event" after `timeout`.
  std::string NextEvent(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const {
    std::optional<Event> event = state->Reports().Events().Next(timeout);
    if (!event) return "no event";
    return std::to_string(static_cast<int>(event->kind)) + ": " + Utf16ToUtf8(event->text);
  }

  // Takes events until one of `kind` comes and returns its text. Events of
  // other kinds are passed over; when none of `kind` comes within `timeout`
  // the test fails, naming what came instead, and the text is empty.
  std::string WaitForEvent(
      EventKind kind, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string passed;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      std::optional<Event> event =
          state->Reports().Events().Next(std::max(left, std::chrono::milliseconds(0)));
      if (!event) break;
      if (event->kind == kind) return Utf16ToUtf8(event->text);
      passed +=
          "\n  " + std::to_string(static_cast<int>(event->kind)) + ": " + Utf16ToUtf8(event->text);
    }
    ADD_FAILURE() << "no event of kind " << static_cast<int>(kind) << " within " << timeout.count()
                  << " ms; the status reads \"" << Status() << "\""
                  << (passed.empty() ? std::string("; no other event came")
                                     : "; other events:" + passed);
    return "";
  }

  // Waits until the status text satisfies `done`; false after `timeoutMs`.
  bool WaitForStatus(const std::function<bool(const std::string&)>& done, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done(Status())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done(Status());
  }
  bool WaitForStatus(const std::string& text, int timeoutMs) const {
    return WaitForStatus([&](const std::string& s) { return s == text; }, timeoutMs);
  }

  TempDir root;
  TempDir config;
  std::unique_ptr<LinkState> state;
};

}  // namespace tarvel::testing
