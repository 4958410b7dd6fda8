#include "status_watch.h"

#include <thread>
#include <vector>

#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// Short against the listener's 100 ms polls, long enough to cost nothing.
constexpr auto kPollEvery = std::chrono::milliseconds(25);

WideString CopyStatus() {
  std::vector<tarvel_wchar> buffer(2000);
  for (;;) {
    int length = TarvelStatusCopy(buffer.data(), static_cast<int>(buffer.size()));
    if (length < static_cast<int>(buffer.size())) return WideString(buffer.data(), length);
    buffer.resize(length + 1);  // replaced by a longer text meanwhile: copy again
  }
}

}  // namespace

std::string CurrentStatus() {
  return WideToUtf8(CopyStatus());
}

void BlankStatus() {
  TarvelCheckText(1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsFailure(const std::string& status) {
  return StartsWith(status, "FAIL: ");
}

std::string FailureReason(const std::string& status) {
  return IsFailure(status) ? status.substr(6) : status;
}

StatusWatcher::StatusWatcher(ProgressSink& progress) : progress_(progress), seen_(CopyStatus()) {}

void StatusWatcher::Blank() {
  BlankStatus();
  seen_ = CopyStatus();
}

WaitEnd StatusWatcher::Next(std::chrono::milliseconds idleLimit, std::string* status) {
  auto lastActivity = std::chrono::steady_clock::now();
  for (;;) {
    bool moved = progress_.Tick();
    WideString now = CopyStatus();
    if (now != seen_) {
      progress_.Finish();
      seen_ = now;
      *status = WideToUtf8(now);
      return WaitEnd::NewStatus;
    }
    if (StopRequested()) return WaitEnd::Stopped;
    if (moved) lastActivity = std::chrono::steady_clock::now();
    if (idleLimit.count() > 0 && std::chrono::steady_clock::now() - lastActivity >= idleLimit) {
      progress_.Finish();
      return WaitEnd::TimedOut;
    }
    std::this_thread::sleep_for(kPollEvery);
  }
}

}  // namespace tarvel_cli
