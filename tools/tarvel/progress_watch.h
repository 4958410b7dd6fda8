// Reading the library's transfer progress (TarvelProgress) into a display.
#pragma once

#include <atomic>
#include <thread>

#include "progress_display.h"

namespace tarvel_cli {

class ProgressWatch {
 public:
  explicit ProgressWatch(ProgressSink& sink) : sink_(sink) {}
  ProgressWatch(const ProgressWatch&) = delete;
  ProgressWatch& operator=(const ProgressWatch&) = delete;
  ~ProgressWatch() { Finish(); }

  // Passes the current progress on; true when bytes moved since the last tick.
  bool Tick();
  // Ends a transfer still shown.
  void Finish();

 private:
  ProgressSink& sink_;
  bool inTransfer_ = false;
  long long done_ = 0;
  long long total_ = 0;
};

// Ticks a watch on a thread of its own, for the library calls that block the
// caller until a whole file has gone out.
class BackgroundProgress {
 public:
  explicit BackgroundProgress(ProgressSink& sink);
  BackgroundProgress(const BackgroundProgress&) = delete;
  BackgroundProgress& operator=(const BackgroundProgress&) = delete;
  ~BackgroundProgress();

 private:
  ProgressWatch watch_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarvel_cli
