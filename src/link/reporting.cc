// SPDX-License-Identifier: MIT
#include "link/reporting.h"

#include <algorithm>
#include <utility>

#include "link/link_text.h"

namespace tarvel {
namespace {

// The status text that shows a result of `kind`.
std::u16string_view StatusPrefix(EventKind kind) {
  switch (kind) {
    case EventKind::Received:
    case EventKind::Answer:
      return u"RECV: ";
    case EventKind::Sent:
      return u"SENT: ";
    case EventKind::GetAnswered:
      return u"FILE: ";
    case EventKind::Listed:
      return u"LIST: ";
    case EventKind::Failure:
      return u"FAIL: ";
    default:
      return u"";
  }
}

}  // namespace

Reporting::Reporting(PeerOf currentPeer) : currentPeer_(std::move(currentPeer)) {}

std::u16string Reporting::Status() const {
  MutexLock lock(statusLock_);
  return std::u16string(status_);
}

void Reporting::SetStatus(std::u16string_view text) {
  // Every text the library writes fits; refuse rather than cut one that would not.
  if (text.size() >= wire::kStatusCapacity) {
    SetStatus(u"FAIL: status text too long");
    return;
  }
  MutexLock lock(statusLock_);
  std::copy(text.begin(), text.end(), status_);
  status_[text.size()] = u'\0';
}

void Reporting::Report(EventKind kind, std::u16string_view text) {
  std::u16string shown = std::u16string(StatusPrefix(kind)) + std::u16string(text);
  if (shown.size() >= wire::kStatusCapacity) {
    Fail("status text too long");
    return;
  }
  SetStatus(shown);
  events_.Push(kind, text, currentPeer_ ? currentPeer_() : std::string());
}

void Reporting::Fail(std::string_view reason) {
  std::u16string wide = Utf8ToStatus(reason);
  SetLastFailure(wide);
  Report(EventKind::Failure, wide);
}

void Reporting::Notify(std::string_view text) {
  events_.Push(EventKind::Notice, Utf8ToStatus(text));
}

void Reporting::SetProgress(long long done, long long total) {
  MutexLock lock(progressLock_);
  progressDone_ = done;
  progressTotal_ = total;
}

void Reporting::Progress(long long& done, long long& total) const {
  MutexLock lock(progressLock_);
  done = progressDone_;
  total = progressTotal_;
}

}  // namespace tarvel
