#include "event_watch.h"

#include <cstdio>
#include <vector>

#include "command_link.h"
#include "json_lines.h"
#include "link_session.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "terminal_text.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// Every event text fits in this many units, terminator included.
constexpr int kEventTextCapacity = 2000;
// A Bluetooth address and its terminator.
constexpr int kPeerCapacity = 18;
// While progress is shown, the longest an idle wait blocks in the library
// before it looks whether a transfer has started.
constexpr int kIdleWaitMs = 1000;
// While a transfer runs, the display is brought up to date this often.
constexpr int kTransferWaitMs = 200;

bool TransferInProgress() {
  return TarvelLinkProgress(CommandLink(), nullptr, nullptr) != 0;
}

}  // namespace

std::optional<std::string> CallFailure() {
  std::vector<tarvel_wchar> reason(kEventTextCapacity);
  if (TarvelLastFailure(reason.data(), static_cast<int>(reason.size())) == 0) return std::nullopt;
  return WideToUtf8(reason.data());
}

bool CallFailed() {
  std::optional<std::string> reason = CallFailure();
  if (!reason) return false;
  Complain(*reason);
  return true;
}

std::string Describe(const LinkEvent& event) {
  std::string shown = Shown(event.text);
  switch (event.kind) {
    case TARVEL_EVENT_RECEIVED:
    case TARVEL_EVENT_ANSWER:
      return "RECV: " + shown;
    case TARVEL_EVENT_SENT:
      return "SENT: " + shown;
    case TARVEL_EVENT_GET_ANSWERED:
      return "FILE: " + shown;
    case TARVEL_EVENT_LISTED:
      return "LIST: " + shown;
    case TARVEL_EVENT_FAILURE:
      return "FAIL: " + shown;
    case TARVEL_EVENT_DROPPED:
      return "LOST: " + shown + " results, the queue was full";
    case TARVEL_EVENT_POLLED_FILE:
      return "POLLED FILE: " + shown;
    case TARVEL_EVENT_NOTICE:
      return "NOTE: " + shown;
    default:
      return "TEXT: " + shown;
  }
}

void ShowNotice(const std::string& text) {
  if (JsonLines()) return EmitJsonEvent({TARVEL_EVENT_NOTICE, text});
  std::fprintf(stderr, "tarvel: note: %s\n", Shown(text).c_str());
  std::fflush(stderr);
}

void DiscardEvents(bool showNotices) {
  std::vector<tarvel_wchar> text(kEventTextCapacity);
  for (;;) {
    int kind = TarvelLinkNextEvent(CommandLink(), 0, text.data(), static_cast<int>(text.size()));
    if (kind == TARVEL_EVENT_NONE) return;
    if (kind == TARVEL_EVENT_NOTICE && showNotices) ShowNotice(WideToUtf8(text.data()));
  }
}

NoticePrinter::NoticePrinter(bool showNotices) : showNotices_(showNotices) {
  thread_ = std::thread([this] {
    std::vector<tarvel_wchar> text(kEventTextCapacity);
    // A look every 100 ms while the call runs, and once more after it, so
    // that what it queued last is taken too.
    for (bool last = false; !last;) {
      last = stop_.load();
      int kind = TarvelLinkNextEvent(CommandLink(), last ? 0 : 100, text.data(),
                                     static_cast<int>(text.size()));
      if (kind == TARVEL_EVENT_NONE) continue;
      last = false;
      if (kind != TARVEL_EVENT_NOTICE) {
        kept_.push_back({kind, WideToUtf8(text.data())});
      } else if (showNotices_) {
        ShowNotice(WideToUtf8(text.data()));
      }
    }
  });
}

std::vector<LinkEvent> NoticePrinter::Stop() {
  if (!thread_.joinable()) return {};
  stop_.store(true);
  thread_.join();
  return std::move(kept_);
}

EventWatcher::EventWatcher(ProgressSink& progress, bool showNotices)
    : progress_(progress),
      showNotices_(showNotices),
      showsProgress_(progress.Shows()),
      endWaitOnStop_([] { TarvelLinkStopWaiting(CommandLink()); }) {}

void EventWatcher::Discard() {
  DiscardEvents(showNotices_);
}

void EventWatcher::Replay(std::vector<LinkEvent> events) {
  replayed_.insert(replayed_.end(), events.begin(), events.end());
}

void EventWatcher::EndTransfer(int kind) {
  switch (kind) {
    case TARVEL_EVENT_RECEIVED:
    case TARVEL_EVENT_ANSWER:
    case TARVEL_EVENT_SENT:
    case TARVEL_EVENT_GET_ANSWERED:
    case TARVEL_EVENT_POLLED_FILE:
      return progress_.Finish(TransferEnd::Complete);
    case TARVEL_EVENT_FAILURE:
      return progress_.Finish(TransferEnd::Short);
    case TARVEL_EVENT_DROPPED:
      return progress_.FinishAsSampled();
    default:
      // A text, a listing or a notice comes between transfers, or beside one.
      return;
  }
}

WaitEnd EventWatcher::Next(std::chrono::milliseconds idleLimit, LinkEvent* event) {
  std::vector<tarvel_wchar> text(kEventTextCapacity);
  tarvel_wchar peer[kPeerCapacity];
  auto lastActivity = std::chrono::steady_clock::now();
  if (!replayed_.empty()) {
    *event = replayed_.front();
    replayed_.pop_front();
    EndTransfer(event->kind);
    return WaitEnd::Event;
  }
  for (;;) {
    // A negative wait has no limit: an event or a stop signal ends it.
    int wait = -1;
    if (TransferInProgress()) {
      wait = kTransferWaitMs;
    } else if (showsProgress_) {
      wait = kIdleWaitMs;
    }
    if (idleLimit.count() > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      lastActivity + idleLimit - std::chrono::steady_clock::now())
                      .count();
      left = std::max<long long>(0, left);
      wait = static_cast<int>(wait < 0 ? left : std::min<long long>(wait, left));
    }
    int kind = TarvelLinkNextPeerEvent(CommandLink(), wait, text.data(),
                                       static_cast<int>(text.size()), peer, kPeerCapacity);
    if (kind == TARVEL_EVENT_NOTICE) {
      if (showNotices_) ShowNotice(WideToUtf8(text.data()));
    } else if (kind != TARVEL_EVENT_NONE) {
      // The event tells how the transfer shown so far ended; a tick now
      // could only take the start of the next one for part of it.
      EndTransfer(kind);
      *event = {kind, WideToUtf8(text.data()), WideToUtf8(peer)};
      return WaitEnd::Event;
    }
    bool moved = progress_.Tick();
    if (StopRequested()) {
      progress_.FinishAsSampled();
      return WaitEnd::Stopped;
    }
    if (moved) lastActivity = std::chrono::steady_clock::now();
    if (idleLimit.count() > 0 && std::chrono::steady_clock::now() - lastActivity >= idleLimit) {
      progress_.FinishAsSampled();
      return WaitEnd::TimedOut;
    }
  }
}

}  // namespace tarvel_cli
