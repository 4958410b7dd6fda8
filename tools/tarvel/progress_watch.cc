#include "progress_watch.h"

#include <chrono>

#include "tarvel.h"

namespace tarvel_cli {

bool ProgressWatch::Tick() {
  long long done = 0;
  long long total = 0;
  bool active = TarvelProgress(&done, &total) != 0;
  bool moved = active && (done != done_ || total != total_);
  if (active) {
    inTransfer_ = true;
    sink_.Update(done, total);
  } else if (inTransfer_) {
    inTransfer_ = false;
    sink_.End();
  }
  done_ = done;
  total_ = total;
  return moved;
}

void ProgressWatch::Finish() {
  if (!inTransfer_) return;
  inTransfer_ = false;
  sink_.End();
}

BackgroundProgress::BackgroundProgress(ProgressSink& sink) : watch_(sink) {
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      watch_.Tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
}

BackgroundProgress::~BackgroundProgress() {
  stop_.store(true);
  thread_.join();
  watch_.Finish();
}

}  // namespace tarvel_cli
