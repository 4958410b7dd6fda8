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
  ~ProgressWatch() { FinishAsSampled(); }

  // Passes the current progress on; true when bytes moved since the last tick.
  // A transfer the library no longer reports stays open until Finish: how it
  // ended is for the call's result or the event that follows to tell.
  bool Tick();
  // Ends a transfer still shown, as `how`.
  void Finish(TransferEnd how);
  // Ends it with nothing but the samples to go by: complete only when the
  // last one had every byte.
  void FinishAsSampled();

 private:
  ProgressSink& sink_;
  bool inTransfer_ = false;
  long long done_ = 0;
  long long total_ = 0;
  long long lastDone_ = 0;  // of the transfer in hand, as last sampled
  long long lastTotal_ = 0;
};

// Ticks a watch on a thread of its own, for the library calls that block the
// caller until a whole file has gone out.
class BackgroundProgress {
 public:
  explicit BackgroundProgress(ProgressSink& sink);
  BackgroundProgress(const BackgroundProgress&) = delete;
  BackgroundProgress& operator=(const BackgroundProgress&) = delete;
  // Without an End, the transfer ends as sampled.
  ~BackgroundProgress();

  // Stops ticking and ends the transfer shown as `how`.
  void End(TransferEnd how);

 private:
  void Stop();

  ProgressWatch watch_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarvel_cli
