#include "fetch.h"

#include <cstdio>

#include "link_session.h"
#include "progress_display.h"
#include "status_watch.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

std::string Seconds(std::chrono::milliseconds span) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", span.count() / 1000.0);
  return text;
}

}  // namespace

int FetchFile(const CommonOptions& options, const std::string& remote, const std::string& local,
              std::chrono::milliseconds idleLimit) {
  TerminalProgress progress("receiving " + remote);
  NullProgress silent;
  StatusWatcher watcher(options.quiet ? static_cast<ProgressSink&>(silent) : progress);
  watcher.Blank();
  TarvelGetFile(Utf8ToWide(local).c_str(), Utf8ToWide(remote).c_str());
  // The listener reports the file under the save path, or the requested name.
  const std::string expected = "RECV: " + (local.empty() ? remote : local);
  std::string status = CurrentStatus();
  if (ReportedFailure(status)) return 1;
  for (;;) {
    switch (watcher.Next(idleLimit, &status)) {
      case WaitEnd::Stopped:
        return StoppedExitStatus();
      case WaitEnd::TimedOut:
        return Complain("no answer for " + remote + " within " + Seconds(idleLimit) +
                        " (is the peer listening, and does it have that file?)");
      case WaitEnd::NewStatus:
        if (status == expected) return 0;
        if (ReportedFailure(status)) return 1;
        // Something else the peer sent meanwhile: show it and keep waiting.
        Tell(options, "peer: " + status);
        watcher.Blank();
        break;
    }
  }
}

}  // namespace tarvel_cli
