#include "event_watch.h"

#include <vector>

#include "link_session.h"
#include "stop_signal.h"
#include "tarvel.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

// Every event text fits in this many units, terminator included.
constexpr int kEventTextCapacity = 2000;
// While progress is shown, the longest an idle wait blocks in the library
// before it looks whether a transfer has started.
constexpr int kIdleWaitMs = 1000;
// While a transfer runs, the display is brought up to date this often.
constexpr int kTransferWaitMs = 200;

bool TransferInProgress() {
  return TarvelProgress(nullptr, nullptr) != 0;
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

std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return shown;
}

std::string Describe(const LinkEvent& event) {
  switch (event.kind) {
    case TARVEL_EVENT_RECEIVED:
      return "RECV: " + event.text;
    case TARVEL_EVENT_SENT:
      return "SENT: " + event.text;
    case TARVEL_EVENT_GET_ANSWERED:
      return "FILE: " + event.text;
    case TARVEL_EVENT_LISTED:
      return "LIST: " + event.text;
    case TARVEL_EVENT_FAILURE:
      return "FAIL: " + event.text;
    case TARVEL_EVENT_DROPPED:
      return "LOST: " + event.text + " results, the queue was full";
    case TARVEL_EVENT_POLLED_FILE:
      return "POLLED FILE: " + Printable(event.text);
    default:
      return "TEXT: " + Printable(event.text);
  }
}

void ShowNotice(const std::string& text) {
  Complain(Printable(text));
}

NoticePrinter::NoticePrinter() {
  thread_ = std::thread([this] {
    std::vector<tarvel_wchar> text(kEventTextCapacity);
    // A look every 100 ms, for as long as the command's one call runs.
    for (bool last = false; !last;) {
      last = stop_.load();
      int kind = TarvelNextEvent(last ? 0 : 100, text.data(), static_cast<int>(text.size()));
      if (kind == TARVEL_EVENT_NOTICE) ShowNotice(WideToUtf8(text.data()));
      if (kind != TARVEL_EVENT_NONE) last = false;
    }
  });
}

NoticePrinter::~NoticePrinter() {
  stop_.store(true);
  thread_.join();
}

EventWatcher::EventWatcher(ProgressSink& progress)
    : progress_(progress),
      showsProgress_(progress.Shows()),
      endWaitOnStop_([] { TarvelStopWaiting(); }) {}

void EventWatcher::Discard() {
  std::vector<tarvel_wchar> text(kEventTextCapacity);
  for (;;) {
    int kind = TarvelNextEvent(0, text.data(), static_cast<int>(text.size()));
    if (kind == TARVEL_EVENT_NONE) return;
    if (kind == TARVEL_EVENT_NOTICE) ShowNotice(WideToUtf8(text.data()));
  }
}

WaitEnd EventWatcher::Next(std::chrono::milliseconds idleLimit, LinkEvent* event) {
  std::vector<tarvel_wchar> text(kEventTextCapacity);
  auto lastActivity = std::chrono::steady_clock::now();
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
    int kind = TarvelNextEvent(wait, text.data(), static_cast<int>(text.size()));
    bool moved = progress_.Tick();
    if (kind == TARVEL_EVENT_NOTICE) {
      ShowNotice(WideToUtf8(text.data()));
      continue;
    }
    if (kind != TARVEL_EVENT_NONE) {
      progress_.Finish();
      *event = {kind, WideToUtf8(text.data())};
      return WaitEnd::Event;
    }
    if (StopRequested()) return WaitEnd::Stopped;
    if (moved) lastActivity = std::chrono::steady_clock::now();
    if (idleLimit.count() > 0 && std::chrono::steady_clock::now() - lastActivity >= idleLimit) {
      progress_.Finish();
      return WaitEnd::TimedOut;
    }
  }
}

}  // namespace tarvel_cli
