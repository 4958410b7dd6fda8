#include "fetch.h"

#include <cstdio>

#include "command_link.h"
#include "event_watch.h"
#include "json_lines.h"
#include "link_session.h"
#include "progress_display.h"
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

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace

Fetched AwaitFile(const CommonOptions& options, const std::string& remote, const std::string& local,
                  std::chrono::milliseconds idleLimit, const std::string& label) {
  TerminalProgress progress(label);
  NullProgress silent;
  EventWatcher watcher(options.quiet ? static_cast<ProgressSink&>(silent) : progress,
                       !options.quiet);
  watcher.Discard();
  {
    // The request may wait for the line to be quiet: that is told as it
    // begins, and a stop signal ends it. The events taken meanwhile are
    // handled below, in their order.
    NoticePrinter notices(!options.quiet);
    StopClosesPort interruptible;
    TarvelLinkGetFile(CommandLink(), Utf8ToWide(local).c_str(), Utf8ToWide(remote).c_str());
    watcher.Replay(notices.Stop());
  }
  if (StopRequested()) return {StoppedExitStatus(), ""};
  if (std::optional<std::string> reason = CallFailure()) return {1, *reason};
  // The answer is reported under the save path, or the requested name.
  const std::string expected = local.empty() ? remote : local;
  Verbose(options, "asked the peer for " + remote + ", to be saved at " + expected +
                       "; waiting up to " + Seconds(idleLimit) + " with nothing arriving");
  const auto asked = std::chrono::steady_clock::now();
  for (;;) {
    LinkEvent event;
    switch (watcher.Next(idleLimit, &event)) {
      case WaitEnd::Stopped:
        return {StoppedExitStatus(), ""};
      case WaitEnd::TimedOut:
        return {1,
                "no answer for " + remote + " within " + Seconds(idleLimit) +
                    " (is the peer listening, and does it have that file?)",
                true};
      case WaitEnd::Event:
        if (JsonLines()) EmitJsonEvent(event);
        if (event.kind == TARVEL_EVENT_ANSWER && event.text == expected) {
          Verbose(options, "the answer came after " + Seconds(Since(asked)));
          return {0, ""};
        }
        if (event.kind == TARVEL_EVENT_FAILURE) return {1, event.text};
        // Something else the peer sent meanwhile, a file it pushed included:
        // show it and keep waiting.
        if (!JsonLines()) Tell(options, "peer: " + Describe(event));
        break;
    }
  }
}

int FetchFile(const CommonOptions& options, const std::string& remote, const std::string& local,
              std::chrono::milliseconds idleLimit) {
  Fetched fetched = AwaitFile(options, remote, local, idleLimit, "receiving " + remote);
  if (fetched.status != 0 && !fetched.failure.empty()) Complain(fetched.failure);
  return fetched.status;
}

}  // namespace tarvel_cli
