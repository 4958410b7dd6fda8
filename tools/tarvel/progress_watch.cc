#include "progress_watch.h"

#include <chrono>

#include "command_link.h"
#include "tarvel.h"

namespace tarvel_cli {

bool ProgressWatch::Tick() {
  long long done = 0;
  long long total = 0;
  bool active = TarvelLinkProgress(CommandLink(), &done, &total) != 0;
  bool moved = active && (done != done_ || total != total_);
  if (active) {
    inTransfer_ = true;
    lastDone_ = done;
    lastTotal_ = total;
    sink_.Update(done, total);
  }
  done_ = done;
  total_ = total;
  return moved;
}

void ProgressWatch::Finish(TransferEnd how) {
  if (!inTransfer_) return;
  inTransfer_ = false;
  sink_.End(how);
}

void ProgressWatch::FinishAsSampled() {
  Finish(lastDone_ >= lastTotal_ ? TransferEnd::Complete : TransferEnd::Short);
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
  Stop();
  watch_.FinishAsSampled();
}

void BackgroundProgress::End(TransferEnd how) {
  Stop();
  watch_.Finish(how);
}

void BackgroundProgress::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
}

}  // namespace tarvel_cli
