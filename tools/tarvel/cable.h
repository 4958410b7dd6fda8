// SPDX-License-Identifier: MIT
// A virtual null-modem cable: two pseudo-terminals whose masters are joined by
// a relay, so that what one device writes to its end the other reads from its
// own. Each end is a tty that the library opens like any serial port.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "unique_fd.h"

namespace tarvel_cli {

class Cable {
 public:
  // Two pty pairs with raw slaves; nothing, saying why, when they cannot be made.
  static std::unique_ptr<Cable> Make(std::string* error);

  const std::string& EndA() const { return a_.path; }
  const std::string& EndB() const { return b_.path; }

  // Relays bytes both ways until `stopped` returns true (checked every 50 ms).
  void Relay(const std::function<bool()>& stopped);

 private:
  struct End {
    UniqueFd master;
    // Held open for the cable's life: with no slave open the master reads EIO,
    // and bytes for an end nobody holds would be lost.
    UniqueFd slave;
    std::string path;
  };
  Cable() = default;
  static bool MakeEnd(End& end, std::string* error);

  End a_;
  End b_;
};

// A cable relaying on a thread of its own, stopped and joined on destruction.
class RunningCable {
 public:
  explicit RunningCable(std::unique_ptr<Cable> cable);
  ~RunningCable();
  RunningCable(const RunningCable&) = delete;
  RunningCable& operator=(const RunningCable&) = delete;
  const Cable& cable() const { return *cable_; }

 private:
  std::unique_ptr<Cable> cable_;
  std::atomic<bool> stop_{false};
  std::thread relay_;
};

}  // namespace tarvel_cli
