// Learning results the library's way: polling its status text. Each result
// replaces the text whole, so a result shows as a text that differs from the
// one seen before; blanking the text first lets a repeat of the same text show.
#pragma once

#include <chrono>
#include <string>

#include "progress_display.h"
#include "progress_watch.h"
#include "text_codec.h"

namespace tarvel_cli {

// The status text as UTF-8, copied under the library's lock.
std::string CurrentStatus();

// Sets the status to " " (TarvelCheckText(1)), so that the next result shows.
void BlankStatus();

// Failures the library reports read "FAIL: <reason>".
bool IsFailure(const std::string& status);
std::string FailureReason(const std::string& status);

// Whether `text` begins with `prefix`.
bool StartsWith(const std::string& text, const std::string& prefix);

enum class WaitEnd { NewStatus, TimedOut, Stopped };

class StatusWatcher {
 public:
  // `progress` shows the transfers that run while waiting.
  explicit StatusWatcher(ProgressSink& progress);

  // Sets the status to " " (TarvelCheckText(1)) and counts that as seen.
  void Blank();
  // Waits until the status differs from the one seen last, and returns it.
  // Gives up after `idleLimit` with neither a new status nor transfer bytes
  // moving; a zero limit waits until a stop signal.
  WaitEnd Next(std::chrono::milliseconds idleLimit, std::string* status);

 private:
  ProgressWatch progress_;
  WideString seen_;
};

}  // namespace tarvel_cli
